// SPDX-License-Identifier: MIT
#include "util/util.hpp"

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class UtilFiles : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/charged-util-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string &name, const std::string &content) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    static std::string content_of(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    int open_file(const std::string &name, const std::string &content, int flags = O_RDONLY) {
        const int fd = open(file(name, content).c_str(), flags | O_CLOEXEC);
        EXPECT_GE(fd, 0);
        return fd;
    }

    fs::path dir_;
};

} // namespace

TEST(ParseDecimal, FollowsStrtollSemanticsAndNarrows) {
    struct Case {
        const char *text;
        int64_t wide;
        int32_t narrow;
    };
    const Case cases[] = {
        {"42\n", 42, 42},
        {"  \t-17abc", -17, -17},
        {"+8800000", 8800000, 8800000},
        {"", 0, 0},
        {"abc", 0, 0},
        {"- 5", 0, 0},
        {"2147483647", 2147483647, 2147483647},
        {"-2147483648", -2147483648LL, INT32_MIN},
        {"99999999999", 99999999999LL, static_cast<int32_t>(99999999999LL & 0xffffffff)},
        {"99999999999999999999999", INT64_MAX, -1},
        {"-99999999999999999999999", INT64_MIN, 0},
        {"\xff"
         "12",
         0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(parse_decimal64(c.text), c.wide) << c.text;
        EXPECT_EQ(parse_decimal(c.text), c.narrow) << c.text;
    }
    EXPECT_EQ(parse_decimal64(nullptr), 0);
}

TEST_F(UtilFiles, SysfsReadIntRereadsFromOffsetZero) {
    int32_t value = -5;
    const int fd = open_file("number", "8800000\n");
    EXPECT_EQ(sysfs_read_int(fd, value), 0);
    EXPECT_EQ(value, 8800000);
    value = 0;
    EXPECT_EQ(sysfs_read_int(fd, value), 0);
    EXPECT_EQ(value, 8800000);
    close(fd);

    const int empty = open_file("empty", "");
    EXPECT_EQ(sysfs_read_int(empty, value), 0);
    EXPECT_EQ(value, 0);
    close(empty);

    // A read error leaves the value untouched and prints nothing.
    const int write_only = open_file("wo", "12", O_WRONLY);
    value = 77;
    CaptureStderr();
    EXPECT_EQ(sysfs_read_int(write_only, value), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(value, 77);
    close(write_only);
}

TEST_F(UtilFiles, SysfsReadIntTakesAtMost64Bytes) {
    const int fd = open_file("long", std::string(64, '1') + "999");
    int32_t value = 0;
    EXPECT_EQ(sysfs_read_int(fd, value), 0);
    EXPECT_EQ(value, parse_decimal(std::string(64, '1').c_str()));
    close(fd);
}

TEST_F(UtilFiles, SysfsReadStringAsBoolTrimsWhiteSpaceOnly) {
    struct Case {
        const char *content;
        bool expected;
    };
    const Case cases[] = {
        {"enabled", true},     {"enabled \t\n\r\v\f", true}, {"Enabled", false},
        {"disabled\n", false}, {" enabled", false},          {"", false},
        {"   \n", false},      {"enabledx", false},
    };
    for (const Case &c : cases) {
        const int fd = open_file("state", c.content);
        bool result = !c.expected;
        EXPECT_EQ(sysfs_read_string_as_bool(fd, "enabled", result), 0) << c.content;
        EXPECT_EQ(result, c.expected) << '"' << c.content << '"';
        close(fd);
    }
    // A read error leaves the flag as it was.
    const int write_only = open_file("wo", "enabled", O_WRONLY);
    bool result = true;
    EXPECT_EQ(sysfs_read_string_as_bool(write_only, "enabled", result), -1);
    EXPECT_TRUE(result);
    close(write_only);
}

TEST_F(UtilFiles, SysfsWriteIntWritesDecimalWithoutNewline) {
    struct Case {
        int32_t value;
        const char *text;
    };
    const Case cases[] = {{-1, "-1"}, {2800, "2800"}, {INT32_MIN, "-2147483648"}};
    for (const Case &c : cases) {
        const std::string path = file("out", "");
        const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(sysfs_write_int(fd, c.value), 0);
        close(fd);
        EXPECT_EQ(content_of(path), c.text);
    }
    const int read_only = open_file("ro", "");
    CaptureStderr();
    EXPECT_EQ(sysfs_write_int(read_only, 5), -1);
    EXPECT_EQ(GetCapturedStderr(), "Write '5' failed on -1\n");
    close(read_only);
}

TEST_F(UtilFiles, WriteFileNeverCreatesOrTruncates) {
    const std::string missing = (dir_ / "missing").string();
    CaptureStderr();
    EXPECT_EQ(write_file(missing.c_str(), "1"), -1);
    EXPECT_EQ(GetCapturedStderr(), "Open " + missing + " failed on -1\n");
    EXPECT_FALSE(fs::exists(missing));

    const std::string existing = file("existing", "10\n");
    EXPECT_EQ(write_file(existing.c_str(), "0"), 0);
    EXPECT_EQ(content_of(existing), "00\n");
}

TEST_F(UtilFiles, WriteFileReportsAFailedWrite) {
    // A directory opens read-only only, so use a file that refuses writes: /dev/full.
    CaptureStderr();
    EXPECT_EQ(write_file("/dev/full", "change"), -1);
    EXPECT_EQ(GetCapturedStderr(), "Write change to /dev/full failed on -1\n");
}

TEST_F(UtilFiles, ReadAttrStringTrimsSpacesAndNewlinesOnly) {
    struct Case {
        const char *content;
        const char *text;
    };
    const Case cases[] = {
        {"Charging \n \n", "Charging"},
        {"word\t\n", "word\t"},
        {"word\r\n", "word\r"},
        {" \n \n", ""},
        {"", ""},
        {"a b\n", "a b"},
    };
    for (const Case &c : cases) {
        const std::string path = file("attr", c.content);
        char buffer[64];
        EXPECT_EQ(read_attr_string(path.c_str(), buffer, sizeof buffer), 0);
        EXPECT_STREQ(buffer, c.text) << '"' << c.content << '"';
    }
}

TEST_F(UtilFiles, ReadAttrStringLimitsAndFailures) {
    const std::string path = file("attr", "abcdefgh");
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(read_attr_string(path.c_str(), buffer, 0), -22);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(read_attr_string(path.c_str(), buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "abc");

    const std::string missing = (dir_ / "nope").string();
    CaptureStderr();
    EXPECT_EQ(read_attr_string(missing.c_str(), buffer, sizeof buffer), -1);
    EXPECT_EQ(GetCapturedStderr(), "Open " + missing + " failed on -1\n");

    const std::string directory = dir_.string();
    CaptureStderr();
    EXPECT_EQ(read_attr_string(directory.c_str(), buffer, sizeof buffer), -1);
    EXPECT_EQ(GetCapturedStderr(), "Read " + directory + " failed on -1\n");
}

TEST_F(UtilFiles, ReadAttrInt) {
    int32_t value = 9;
    EXPECT_EQ(read_attr_int(file("n", "-1500\n").c_str(), value), 0);
    EXPECT_EQ(value, -1500);
    EXPECT_EQ(read_attr_int(file("n", "none").c_str(), value), 0);
    EXPECT_EQ(value, 0);
    value = 9;
    CaptureStderr();
    EXPECT_EQ(read_attr_int((dir_ / "missing").c_str(), value), -1);
    GetCapturedStderr();
    EXPECT_EQ(value, 9);
}

TEST_F(UtilFiles, ReadAttrBool) {
    struct Case {
        const char *content;
        bool expected;
    };
    const Case cases[] = {{"1\n", true}, {"10", true}, {"0", false}, {" 1", false}, {"", false}};
    for (const Case &c : cases) {
        EXPECT_EQ(read_attr_bool(file("flag", c.content).c_str()), c.expected) << c.content;
    }
    CaptureStderr();
    EXPECT_FALSE(read_attr_bool((dir_ / "missing").c_str()));
    EXPECT_FALSE(read_attr_bool(dir_.c_str()));
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(read_attr_bool(fifo.c_str()));
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(UtilFiles, StatTestsFollowLinks) {
    const std::string regular = file("regular", "");
    const std::string link = (dir_ / "link").string();
    ASSERT_EQ(symlink(dir_.c_str(), link.c_str()), 0);
    EXPECT_TRUE(is_regular_file(regular.c_str()));
    EXPECT_FALSE(is_directory(regular.c_str()));
    EXPECT_TRUE(is_directory(link.c_str()));
    EXPECT_FALSE(is_regular_file(link.c_str()));
    EXPECT_FALSE(is_directory((dir_ / "missing").c_str()));
}

TEST_F(UtilFiles, ReplaceSymlink) {
    const std::string link = (dir_ / "BAT0").string();
    const std::string target = "/sys/class/power_supply/max1720x_bat_3-36/";

    CaptureStderr();
    EXPECT_EQ(replace_symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), "symlink created for " + link + " -> " + target + "\n");
    EXPECT_EQ(fs::read_symlink(link), target);

    // An older link and a plain file are both replaced.
    CaptureStderr();
    EXPECT_EQ(replace_symlink("/elsewhere/", link.c_str()), 0);
    file("BAT0", "plain");
    EXPECT_EQ(replace_symlink(target.c_str(), link.c_str()), 0);
    GetCapturedStderr();
    EXPECT_EQ(fs::read_symlink(link), target);

    const std::string directory = (dir_ / "dir").string();
    fs::create_directory(directory);
    CaptureStderr();
    EXPECT_EQ(replace_symlink(target.c_str(), directory.c_str()), -1);
    EXPECT_EQ(GetCapturedStderr(),
              "failed to create symlink for " + directory + " -> " + target + "\n");

    CaptureStderr();
    EXPECT_EQ(replace_symlink(nullptr, link.c_str()), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(UtilDeathTest, NegativeDescriptorIsAProgrammingError) {
    int32_t value = 0;
    EXPECT_DEATH(sysfs_read_int(-1, value), "sysfs_read_int.*Assertion `0' failed");
    EXPECT_DEATH(sysfs_write_int(-1, 1), "sysfs_write_int.*Assertion `0' failed");
}

TEST(DeviceAttrPath, RefusesAPathThatDoesNotFit) {
    char path[256];
    EXPECT_TRUE(device_attr_path(path, "/sys/devices/platform/hwmon0", "in0_min"));
    EXPECT_STREQ(path, "/sys/devices/platform/hwmon0/in0_min");

    // 255 characters fit with the terminator; one more would be cut into another name.
    const std::string dir(255 - 1 - 7, 'd');
    EXPECT_TRUE(device_attr_path(path, dir.c_str(), "in0_min"));
    EXPECT_EQ(std::string(path).size(), 255U);
    const std::string longer_dir = dir + "d";
    EXPECT_FALSE(device_attr_path(path, longer_dir.c_str(), "in0_min"));
}

TEST(SysfsAttrPathJoin, ReservesTheTerminator) {
    constexpr size_t capacity = sizeof sysfs_attr_path::text;
    const std::string dir(capacity - 1 - 4, 'd');
    // Exactly one byte short of the buffer leaves room for the NUL; a full buffer does not.
    EXPECT_TRUE(sysfs_attr_path_fits(dir, "attr"));
    EXPECT_FALSE(sysfs_attr_path_fits(dir + "d", "attr"));
    EXPECT_FALSE(sysfs_attr_path_fits(std::string(capacity, 'd'), ""));

    constexpr sysfs_attr_path joined = sysfs_attr_path_join("/sys/devices/x/", "status");
    EXPECT_STREQ(joined.text, "/sys/devices/x/status");
}
