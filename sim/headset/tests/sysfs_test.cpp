// SPDX-License-Identifier: MIT
// The fake sysfs behaves like kernfs where a client can tell: poll semantics, whole-value
// reads, replacing writes, permissions, vanishing nodes, symlinks, fault injection.
#include "headset/sysfs.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

const std::string device = "/sys/devices/platform/soc@0/widget/power_supply/widget";
const std::string attr = "/sys/class/power_supply/widget/level";

class FakeSysfsTest : public testing::Test {
  protected:
    void SetUp() override {
        fs.add_dir(device);
        fs.add_symlink("/sys/class/power_supply/widget", device);
        fs.add_attr(device + "/level", "1");
        fs.add_attr(device + "/serial", "W-17", 0444);
        fs.add_attr(device + "/secret", "x", 0200);
        fs.mount("/sys");
    }
    void TearDown() override {
        for (int fd : fds) {
            close(fd);
        }
    }

    int open_path(const std::string &path, int flags) {
        const int fd = open(path.c_str(), flags | O_CLOEXEC);
        if (fd >= 0) {
            fds.push_back(fd);
        }
        return fd;
    }

    // Reads the whole value from offset 0, as a client re-arming its notification does.
    static std::string read_from_start(int fd) {
        char buffer[128];
        const ssize_t n = pread(fd, buffer, sizeof(buffer), 0);
        return n < 0 ? std::string("<error>") : std::string(buffer, static_cast<size_t>(n));
    }

    static short poll_now(int fd) {
        pollfd p{fd, POLLPRI | POLLERR, 0};
        return poll(&p, 1, 0) == 1 ? p.revents : static_cast<short>(0);
    }

    static int epoll_wait_ms(int epfd, int timeout_ms) {
        epoll_event event{};
        return epoll_wait(epfd, &event, 1, timeout_ms);
    }

    int watch(int fd, uint32_t events) {
        const int epfd = epoll_create1(EPOLL_CLOEXEC);
        fds.push_back(epfd);
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        EXPECT_EQ(epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &event), 0) << std::strerror(errno);
        return epfd;
    }

    vh::FakeSysfs fs;
    std::vector<int> fds;
};

TEST_F(FakeSysfsTest, NeverReadHandleReportsChangeAtOnce) {
    const int fd = open_path(attr, O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(poll_now(fd) & (POLLPRI | POLLERR), POLLPRI | POLLERR);
    EXPECT_EQ(read_from_start(fd), "1\n");
    EXPECT_EQ(poll_now(fd), 0);
}

TEST_F(FakeSysfsTest, LevelTriggeredEpollWakesOnChangeUntilReread) {
    const int fd = open_path(attr, O_RDONLY);
    ASSERT_GE(fd, 0);
    read_from_start(fd);
    const int epfd = watch(fd, EPOLLPRI | EPOLLERR);
    EXPECT_EQ(epoll_wait_ms(epfd, 0), 0);
    ASSERT_EQ(fs.poll_waiters(attr), 1u);

    // The waiter blocks first; the change must wake it through the poll notification.
    std::thread changer([this] {
        while (fs.poll_waiters(attr) == 0) {
            std::this_thread::yield();
        }
        fs.set(attr, "0");
    });
    EXPECT_EQ(epoll_wait_ms(epfd, 5000), 1);
    changer.join();
    EXPECT_EQ(epoll_wait_ms(epfd, 0), 1) << "level-triggered keeps reporting until re-read";
    EXPECT_EQ(read_from_start(fd), "0\n");
    EXPECT_EQ(epoll_wait_ms(epfd, 0), 0);
}

TEST_F(FakeSysfsTest, EdgeTriggeredEpollReportsEachChangeOnce) {
    const int fd = open_path(attr, O_RDONLY);
    ASSERT_GE(fd, 0);
    read_from_start(fd);
    const int epfd = watch(fd, EPOLLPRI | EPOLLERR | EPOLLET);
    EXPECT_EQ(epoll_wait_ms(epfd, 0), 0);
    for (const char *value : {"0", "1"}) {
        fs.set(attr, value);
        EXPECT_EQ(epoll_wait_ms(epfd, 5000), 1) << value;
        EXPECT_EQ(epoll_wait_ms(epfd, 0), 0) << "edge-triggered reports a change once";
    }
}

TEST_F(FakeSysfsTest, ReadAtLaterOffsetDoesNotRearm) {
    const int fd = open_path(attr, O_RDONLY);
    ASSERT_GE(fd, 0);
    char buffer[8];
    EXPECT_EQ(pread(fd, buffer, sizeof(buffer), 1), 1); // the newline only
    EXPECT_NE(poll_now(fd) & POLLPRI, 0);
    EXPECT_EQ(pread(fd, buffer, sizeof(buffer), 2), 0); // end of the value
}

TEST_F(FakeSysfsTest, SetSilentlyStoresWithoutNotification) {
    const int fd = open_path(attr, O_RDONLY);
    read_from_start(fd);
    fs.set_silently(attr, "7");
    EXPECT_EQ(poll_now(fd), 0);
    EXPECT_EQ(read_from_start(fd), "7\n");
}

TEST_F(FakeSysfsTest, WritesReplaceTheValueAndAreLogged) {
    const int fd = open_path(attr, O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "12345", 5), 5);
    EXPECT_EQ(pwrite(fd, "9", 1, 3), 1); // the offset does not matter to a store
    EXPECT_EQ(fs.value(attr), "9");

    const auto log = fs.writes_to(attr);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].path, device + "/level");
    EXPECT_EQ(log[0].text, "12345");
    EXPECT_EQ(log[1].text, "9");
    EXPECT_LT(log[0].seq, log[1].seq);
    EXPECT_EQ(log[1].seq, fs.last_seq());
    EXPECT_LE(log[0].when, log[1].when);
    EXPECT_TRUE(fs.wait_for_write(device + "/level", "9", 0ms));
    EXPECT_FALSE(fs.wait_for_write(attr, "9", 0ms, log[1].seq));
}

TEST_F(FakeSysfsTest, WaitForWriteSeesAWriteFromAnotherThread) {
    const uint64_t before = fs.last_seq();
    std::thread writer([] {
        const int fd = open(attr.c_str(), O_WRONLY | O_CLOEXEC);
        (void)!write(fd, "change", 6);
        close(fd);
    });
    EXPECT_TRUE(fs.wait_for_write(attr, "change", 5000ms, before));
    writer.join();
    EXPECT_EQ(fs.wait_for_writes_to(attr, 0ms, before).size(), 1u);
}

TEST_F(FakeSysfsTest, WriteHookRunsAfterTheStoreAndMayChangeValues) {
    fs.add_attr(device + "/echo", "");
    fs.on_write(attr, [this](const std::string &text) { fs.set(device + "/echo", "got " + text); });
    const int fd = open_path(attr, O_WRONLY);
    ASSERT_EQ(write(fd, "5", 1), 1);
    EXPECT_EQ(fs.value(device + "/echo"), "got 5");
}

TEST_F(FakeSysfsTest, ReadProviderSuppliesLiveContent) {
    int calls = 0;
    fs.on_read(attr, [&calls] { return "CALL=" + std::to_string(++calls) + "\n"; });
    const int fd = open_path(attr, O_RDONLY);
    EXPECT_EQ(read_from_start(fd), "CALL=1\n");
    EXPECT_EQ(read_from_start(fd), "CALL=2\n");
}

TEST_F(FakeSysfsTest, PermissionsRefuseEvenRoot) {
    errno = 0;
    EXPECT_LT(open_path(device + "/serial", O_WRONLY), 0);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_LT(open_path(device + "/secret", O_RDONLY), 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_GE(open_path(device + "/serial", O_RDONLY), 0);
    EXPECT_GE(open_path(device + "/secret", O_WRONLY), 0);
}

TEST_F(FakeSysfsTest, AttributesLookLikeSysfs) {
    struct stat st;
    ASSERT_EQ(stat(attr.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(lstat("/sys/class/power_supply/widget", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    char target[256] = {};
    ASSERT_GT(readlink("/sys/class/power_supply/widget", target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "../../devices/platform/soc@0/widget/power_supply/widget");

    DIR *dir = opendir("/sys/class/power_supply");
    ASSERT_NE(dir, nullptr);
    std::map<std::string, unsigned char> types;
    while (const dirent *entry = readdir(dir)) {
        types[entry->d_name] = entry->d_type;
    }
    closedir(dir);
    EXPECT_EQ(types["widget"], DT_LNK);
    EXPECT_EQ(fs.canonical(attr), device + "/level");
}

TEST_F(FakeSysfsTest, FaultInjection) {
    const int reader = open_path(attr, O_RDONLY);
    const int writer = open_path(attr, O_WRONLY);
    fs.fail_reads(attr, EIO);
    char buffer[16];
    errno = 0;
    EXPECT_EQ(pread(reader, buffer, sizeof(buffer), 0), -1);
    EXPECT_EQ(errno, EIO);
    fs.fail_reads(attr, 0);
    EXPECT_EQ(read_from_start(reader), "1\n");

    fs.fail_writes(attr, ENXIO);
    errno = 0;
    EXPECT_EQ(write(writer, "0", 1), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(fs.value(attr), "1");
    EXPECT_EQ(fs.writes_to(attr).back().error, ENXIO);
    fs.fail_writes(attr, 0);

    fs.short_writes(attr, 3);
    EXPECT_EQ(write(writer, "8900000", 7), 3);
    EXPECT_EQ(fs.value(attr), "890");
    EXPECT_EQ(fs.writes_to(attr).back().text, "8900000");
}

TEST_F(FakeSysfsTest, RemovedNodesFailLikeAVanishedDevice) {
    const int fd = open_path(attr, O_RDONLY);
    read_from_start(fd);
    const int epfd = watch(fd, EPOLLPRI | EPOLLERR);
    fs.remove(device);
    EXPECT_FALSE(fs.exists(attr));
    EXPECT_TRUE(fs.is_symlink("/sys/class/power_supply/widget")) << "the class entry dangles";
    EXPECT_EQ(epoll_wait_ms(epfd, 5000), 1);
    char buffer[16];
    errno = 0;
    EXPECT_EQ(pread(fd, buffer, sizeof(buffer), 0), -1);
    EXPECT_EQ(errno, ENODEV);
    errno = 0;
    EXPECT_LT(open_path(attr, O_RDONLY), 0);
    EXPECT_EQ(errno, ENOENT);

    // The device comes back: a fresh attribute, independent of the old handle.
    fs.add_attr(device + "/level", "3");
    const int again = open_path(attr, O_RDONLY);
    EXPECT_EQ(read_from_start(again), "3\n");
}

// A driver unbound and bound again: the class entry goes and comes with the device, the old
// handle stays dead, and the device's files come back as new files with their values.
TEST_F(FakeSysfsTest, UnbindAndBindBringTheDeviceBackAsNewFiles) {
    const int fd = open_path(attr, O_RDONLY);
    EXPECT_EQ(read_from_start(fd), "1\n");
    struct stat before {};
    ASSERT_EQ(fstat(fd, &before), 0);
    fs.unbind("/sys/class/power_supply/widget");
    EXPECT_FALSE(fs.exists(attr));
    EXPECT_FALSE(fs.is_symlink("/sys/class/power_supply/widget")) << "the class entry goes too";
    EXPECT_THROW(fs.bind("/sys/class/power_supply/other"), std::invalid_argument);

    fs.bind("/sys/class/power_supply/widget");
    const int again = open_path(attr, O_RDONLY);
    EXPECT_EQ(read_from_start(again), "1\n");
    struct stat after {};
    ASSERT_EQ(stat(attr.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    char buffer[16];
    errno = 0;
    EXPECT_EQ(pread(fd, buffer, sizeof(buffer), 0), -1);
    EXPECT_EQ(errno, ENODEV);
}

TEST_F(FakeSysfsTest, CountsOpensAndHandles) {
    const uint64_t total = fs.opens();
    const int fd = open_path(attr, O_RDONLY);
    EXPECT_EQ(fs.opens(attr), 1u);
    EXPECT_EQ(fs.opens(), total + 1);
    EXPECT_EQ(fs.open_handles(attr), 1u);
    read_from_start(fd);
    EXPECT_EQ(fs.reads(attr), 1u);
}

TEST(FakeSysfsApi, RejectsPathsOutsideSys) {
    vh::FakeSysfs fs;
    EXPECT_THROW(fs.add_attr("/proc/x", "1"), std::invalid_argument);
    EXPECT_THROW(fs.value("/sys/nothing"), std::invalid_argument);
    fs.add_attr("/sys/a/file", "1");
    EXPECT_THROW(fs.add_attr("/sys/a/file/below", "1"), std::invalid_argument);
    EXPECT_FALSE(fs.exists("/etc/passwd"));
}

} // namespace

namespace {

// A test that crashes while it holds files of its own mount must still die: nothing may
// be left behind that waits for a server that is gone.
TEST(FakeSysfsCrash, ProcessDyingWithOpenFilesExits) {
    char dir[] = "/tmp/vh-crash-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        vh::FakeSysfs fs;
        fs.add_attr("/sys/level", "1");
        fs.mount(dir);
        const int fd = open((std::string(dir) + "/level").c_str(), O_RDONLY);
        char buffer[8];
        (void)!read(fd, buffer, sizeof(buffer));
        abort();
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    pid_t done = 0;
    while ((done = waitpid(child, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(done, child) << "the crashed process hangs in its exit";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
    umount2(dir, MNT_DETACH);
    rmdir(dir);
}

} // namespace
