// SPDX-License-Identifier: MIT
// A scripted stand-in for the daemon, for the harness's own tests. Each argument is one step,
// run in order:
//   out:TEXT err:TEXT    write TEXT ("\n" in it is a newline) to stdout / stderr, unbuffered
//   exit:N               exit with status N
//   raise:SIGNAL         raise SIGNAL with its default action
//   trap                 catch SIGTERM, SIGINT and SIGHUP from now on (blocked, recorded)
//   await-signal         wait until a trapped signal arrived; print "signal N\n" to stdout
//   notify:TEXT          sd_notify(0, TEXT)
//   env:NAME             print "NAME=value\n" or "NAME unset\n" to stdout
//   argv0                print argv[0] to stdout
//   cwd                  print the working directory to stdout
//   file:NAME=TEXT       replace the file NAME with TEXT through NAME.tmpfile and a rename
//   write:PATH=TEXT      open PATH, write TEXT in one call, close; failures go to stderr
//   wait:METHOD:MS       wait MS milliseconds with METHOD (epoll_wait, epoll_pwait,
//                        epoll_pwait2, poll, ppoll, select, pselect, nanosleep, clock_nanosleep,
//                        clock_nanosleep_abs, usleep, sleep, timerfd, timerfd_abs); print
//                        "waited real_ms=R mono_ms=M boot_ms=B\n" to stdout
//   wait-fifo:PATH:MS    make a FIFO at PATH, print "waiting\n", epoll_pwait up to MS for data
//                        in it; print "woke events=N real_ms=R mono_ms=M\n"
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t last_signal = 0;
std::string program_name;

void record_signal(int signal) {
    last_signal = signal;
}

std::int64_t now_ms(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Real time, asked of the kernel itself: a time warp preloaded into this program scales every
// clock that the C library reports, the wall clock included.
std::int64_t real_now_ms() {
    timespec ts{};
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

timespec ms_to_timespec(long ms) {
    return {ms / 1000, (ms % 1000) * 1000000};
}

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
}

std::string unescape(std::string_view text) {
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            result += '\n';
            ++i;
        } else {
            result += text[i];
        }
    }
    return result;
}

void print(int fd, const std::string &text) {
    write_all(fd, text);
}

int timed_wait(std::string_view method, long ms) {
    const int epfd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    sigset_t mask;
    sigemptyset(&mask);
    timespec relative = ms_to_timespec(ms);
    if (method == "epoll_wait")
        return epoll_wait(epfd, &event, 1, static_cast<int>(ms));
    if (method == "epoll_pwait")
        return epoll_pwait(epfd, &event, 1, static_cast<int>(ms), &mask);
    if (method == "epoll_pwait2")
        return epoll_pwait2(epfd, &event, 1, &relative, &mask);
    if (method == "poll")
        return poll(nullptr, 0, static_cast<int>(ms));
    if (method == "ppoll")
        return ppoll(nullptr, 0, &relative, &mask);
    if (method == "select") {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        return select(0, nullptr, nullptr, nullptr, &tv);
    }
    if (method == "pselect")
        return pselect(0, nullptr, nullptr, nullptr, &relative, &mask);
    if (method == "nanosleep")
        return nanosleep(&relative, nullptr);
    if (method == "clock_nanosleep")
        return clock_nanosleep(CLOCK_MONOTONIC, 0, &relative, nullptr);
    if (method == "clock_nanosleep_abs") {
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += relative.tv_sec;
        deadline.tv_nsec += relative.tv_nsec;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000;
        }
        return clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
    if (method == "usleep")
        return usleep(static_cast<useconds_t>(ms * 1000));
    if (method == "sleep")
        return static_cast<int>(sleep(static_cast<unsigned>(ms / 1000)));
    if (method == "timerfd" || method == "timerfd_abs") {
        const int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        itimerspec setting{};
        setting.it_value = relative;
        int flags = 0;
        if (method == "timerfd_abs") {
            clock_gettime(CLOCK_MONOTONIC, &setting.it_value);
            setting.it_value.tv_sec += ms / 1000;
            flags = TFD_TIMER_ABSTIME;
        }
        timerfd_settime(tfd, flags, &setting, nullptr);
        std::uint64_t expirations = 0;
        return static_cast<int>(read(tfd, &expirations, sizeof(expirations)));
    }
    print(2, "unknown wait method " + std::string(method) + "\n");
    exit(2);
}

void wait_on_fifo(const std::string &path, long ms) {
    mkfifo(path.c_str(), 0600);
    const int fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const int epfd = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    epoll_ctl(epfd, EPOLL_CTL_ADD, fifo, &event);
    sigset_t mask;
    sigemptyset(&mask);
    const auto real_start = real_now_ms(), mono_start = now_ms(CLOCK_MONOTONIC);
    print(1, "waiting\n");
    const int events = epoll_pwait(epfd, &event, 1, static_cast<int>(ms), &mask);
    print(1, "woke events=" + std::to_string(events) +
                 " real_ms=" + std::to_string(real_now_ms() - real_start) +
                 " mono_ms=" + std::to_string(now_ms(CLOCK_MONOTONIC) - mono_start) + "\n");
}

void run_step(std::string_view step) {
    const size_t colon = step.find(':');
    const std::string_view verb = step.substr(0, colon);
    const std::string_view argument = colon == std::string_view::npos ? "" : step.substr(colon + 1);
    if (verb == "out") {
        print(1, unescape(argument));
    } else if (verb == "err") {
        print(2, unescape(argument));
    } else if (verb == "exit") {
        exit(std::atoi(std::string(argument).c_str()));
    } else if (verb == "raise") {
        const int signal = std::atoi(std::string(argument).c_str());
        ::signal(signal, SIG_DFL);
        raise(signal);
    } else if (verb == "trap") {
        // Blocked outside await-signal, so that none is lost between two waits.
        sigset_t set;
        sigemptyset(&set);
        for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
            ::signal(signal, record_signal);
            sigaddset(&set, signal);
        }
        sigprocmask(SIG_BLOCK, &set, nullptr);
    } else if (verb == "await-signal") {
        sigset_t open;
        sigemptyset(&open);
        while (last_signal == 0)
            sigsuspend(&open);
        const int signal = last_signal;
        last_signal = 0;
        print(1, "signal " + std::to_string(signal) + "\n");
    } else if (verb == "notify") {
        sd_notify(0, unescape(argument).c_str());
    } else if (verb == "env") {
        const std::string name(argument);
        const char *value = getenv(name.c_str());
        print(1, value != nullptr ? name + "=" + value + "\n" : name + " unset\n");
    } else if (verb == "argv0") {
        print(1, program_name + "\n");
    } else if (verb == "file" || verb == "write") {
        const size_t equals = argument.find('=');
        const std::string name(argument.substr(0, equals));
        const std::string text = unescape(argument.substr(equals + 1));
        if (verb == "file") {
            const std::string temporary = name + ".tmpfile";
            const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            write_all(fd, text);
            close(fd);
            rename(temporary.c_str(), name.c_str());
            return;
        }
        const int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || write(fd, text.data(), text.size()) < 0)
            print(2, "write " + name + ": " + strerror(errno) + "\n");
        if (fd >= 0)
            close(fd);
    } else if (verb == "cwd") {
        char buffer[4096];
        print(1, std::string(getcwd(buffer, sizeof(buffer)) != nullptr ? buffer : "?") + "\n");
    } else if (verb == "wait" || verb == "wait-fifo") {
        const size_t split = argument.rfind(':');
        const std::string what(argument.substr(0, split));
        const long ms = std::atol(std::string(argument.substr(split + 1)).c_str());
        if (verb == "wait-fifo") {
            wait_on_fifo(what, ms);
            return;
        }
        const auto real_start = real_now_ms(), mono_start = now_ms(CLOCK_MONOTONIC),
                   boot_start = now_ms(CLOCK_BOOTTIME);
        timed_wait(what, ms);
        print(1, "waited real_ms=" + std::to_string(real_now_ms() - real_start) +
                     " mono_ms=" + std::to_string(now_ms(CLOCK_MONOTONIC) - mono_start) +
                     " boot_ms=" + std::to_string(now_ms(CLOCK_BOOTTIME) - boot_start) + "\n");
    } else {
        print(2, "unknown step " + std::string(step) + "\n");
        exit(2);
    }
}

} // namespace

int main(int argc, char **argv) {
    program_name = argv[0];
    for (int i = 1; i < argc; ++i)
        run_step(argv[i]);
    return 0;
}
