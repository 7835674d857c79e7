// SPDX-License-Identifier: MIT
// The console's journal prefixes: which JOURNAL_STREAM names a stream, which piece of output
// starts a line and so carries its level, and that any other stream gets the text unchanged.
#include "util/console.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(Console, LevelPrefixesAreSyslogs) {
    const struct {
        console_level level;
        const char *prefix;
    } cases[] = {{console_level::err, "<3>"},
                 {console_level::warning, "<4>"},
                 {console_level::info, "<6>"},
                 {console_level::debug, "<7>"}};
    for (const auto &c : cases) {
        EXPECT_EQ(console_level_prefix(c.level), c.prefix);
    }
    // What the journal takes: "<" the level ">".
    static_assert(console_level_prefix(console_level::err) == "<3>");
}

TEST(Console, JournalStreamNamesOneDeviceAndInode) {
    const struct {
        const char *text;
        bool names_8_1234;
    } cases[] = {
        {"8:1234", true},
        {"8:1235", false},
        {"9:1234", false},
        {"1234:8", false},
        {"08:01234", true}, // decimal, leading zeros are still the number
        {"", false},
        {"8", false},
        {"8:", false},
        {":1234", false},
        {"8:1234 ", false},
        {" 8:1234", false},
        {"8:1234:5", false},
        {"+8:1234", false},
        {"-8:1234", false},
        {"0x8:1234", false},
        {"8;1234", false},
        {"18446744073709551624:1234", false}, // 2^64 + 8 overflows, never wraps to 8
    };
    for (const auto &c : cases) {
        EXPECT_EQ(journal_stream_names(c.text, 8, 1234), c.names_8_1234) << "\"" << c.text << "\"";
    }
    EXPECT_FALSE(journal_stream_names(nullptr, 8, 1234));
    EXPECT_TRUE(
        journal_stream_names("18446744073709551615:18446744073709551615", UINT64_MAX, UINT64_MAX));
}

int temporary_file() {
    char path[] = "/tmp/console-test-XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    return fd;
}

std::string content(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t count = 0;
    lseek(fd, 0, SEEK_SET);
    while ((count = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(count));
    }
    return text;
}

// Standard error sent to one temporary file and standard output to the same or another one,
// for the length of one case, with JOURNAL_STREAM naming standard error's file or nothing.
class CapturedConsole {
  public:
    CapturedConsole(bool journal, bool one_file)
        : err_fd_(temporary_file()), out_fd_(one_file ? dup(err_fd_) : temporary_file()) {
        std::fflush(stdout);
        saved_err_ = dup(STDERR_FILENO);
        saved_out_ = dup(STDOUT_FILENO);
        dup2(err_fd_, STDERR_FILENO);
        dup2(out_fd_, STDOUT_FILENO);
        struct stat status {};
        fstat(err_fd_, &status);
        const std::string named =
            journal ? std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) : "1:1";
        setenv("JOURNAL_STREAM", named.c_str(), 1);
        console_init();
    }
    ~CapturedConsole() {
        restore();
        close(err_fd_);
        close(out_fd_);
    }
    CapturedConsole(const CapturedConsole &) = delete;
    CapturedConsole &operator=(const CapturedConsole &) = delete;

    // What each file received, with the console back on the test's own streams.
    std::string finish_err() {
        restore();
        return content(err_fd_);
    }
    std::string out() const { return content(out_fd_); }

  private:
    void restore() {
        if (saved_err_ < 0) {
            return;
        }
        std::fflush(stdout);
        dup2(saved_err_, STDERR_FILENO);
        dup2(saved_out_, STDOUT_FILENO);
        close(saved_err_);
        close(saved_out_);
        saved_err_ = -1;
        saved_out_ = -1;
        unsetenv("JOURNAL_STREAM");
        console_init();
    }

    int err_fd_;
    int out_fd_;
    int saved_err_ = -1;
    int saved_out_ = -1;
};

struct piece {
    FILE *stream; // nullptr: the signal handler's line
    console_level level;
    const char *text;
};

TEST(Console, LinesCarryTheirLevelAndContinuedLinesKeepTheirFirst) {
    const struct {
        const char *name;
        bool one_file; // standard output and error are one file, as under systemd
        std::vector<piece> pieces;
        const char *journal; // what the journal's stream (standard error) receives
        const char *out;     // what standard output receives when it is another file
    } cases[] = {
        {"an error, then a report line",
         false,
         {{stderr, console_level::err, "Open disable_cross_charging failed on -1\n"},
          {stderr, console_level::info, "---- Current State ----\n"}},
         "<3>Open disable_cross_charging failed on -1\n<6>---- Current State ----\n",
         ""},
        {"every level",
         false,
         {{stderr, console_level::debug, "Searching for %s\n"},
          {stderr, console_level::warning, "SUBSYSTEM: NULL\n"},
          {stderr, console_level::err, "Read %s failed on %d\n"}},
         "<7>Searching for %s\n<4>SUBSYSTEM: NULL\n<3>Read %s failed on %d\n",
         ""},
        {"a message without a newline is continued by the next one",
         false,
         {{stderr, console_level::err, "ERROR: epoll open a failed: No such file or directory"},
          {stderr, console_level::err, "ERROR: epoll open b failed: No such file or directory"},
          {stderr, console_level::debug, "Opened c\n"},
          {stderr, console_level::info, "QPH2 Entered\n"}},
         "<3>ERROR: epoll open a failed: No such file or directoryERROR: epoll open b failed: "
         "No such file or directoryOpened c\n<6>QPH2 Entered\n",
         ""},
        {"the signal handler's line continues one, then starts its own",
         false,
         {{stderr, console_level::err, "Tavlock: failed to set power source, invalid request"},
          {nullptr, console_level::info, "Caught Signal: 15\n"},
          {nullptr, console_level::info, "Caught Signal: 1\n"},
          {stderr, console_level::info, "Received SIGTERM. Exiting...\n"}},
         "<3>Tavlock: failed to set power source, invalid requestCaught Signal: 15\n"
         "<6>Caught Signal: 1\n<6>Received SIGTERM. Exiting...\n",
         ""},
        {"standard output is another file: its lines stand alone, unprefixed",
         false,
         {{stderr, console_level::err, "Tavlock: failed to set power source, invalid request"},
          {stdout, console_level::info, "Tavlock status: ok\n"},
          {stderr, console_level::info, "\n"}},
         "<3>Tavlock: failed to set power source, invalid request\n",
         "Tavlock status: ok\n"},
        {"one file for both: standard output continues standard error's line",
         true,
         {{stderr, console_level::err, "Tavlock: failed to set power source, invalid request"},
          {stdout, console_level::info, "Uninitializing mp2652 charger\n"},
          {stdout, console_level::info, "Found Tavlock Headstrap\n"}},
         "<3>Tavlock: failed to set power source, invalid requestUninitializing mp2652 "
         "charger\n<6>Found Tavlock Headstrap\n",
         ""},
    };
    for (const auto &c : cases) {
        for (const bool journal : {true, false}) {
            std::string plain;
            CapturedConsole console(journal, c.one_file);
            for (const piece &p : c.pieces) {
                if (p.stream != stdout || c.one_file) {
                    plain += p.text;
                }
                if (p.stream == nullptr) {
                    console_write_signal_line(p.level, p.text, std::string(p.text).size());
                } else {
                    console_print(p.stream, p.level, "%s", p.text);
                }
            }
            const std::string err = console.finish_err();
            // The journal strips each line's leading prefix; anything else gets the text.
            EXPECT_EQ(err, journal ? c.journal : plain) << c.name << ", journal " << journal;
            if (!c.one_file) {
                EXPECT_EQ(console.out(), c.out) << c.name << ", journal " << journal;
            }
        }
    }
}

TEST(Console, AMemoryStreamGetsTheTextWithoutAPrefix) {
    CapturedConsole console(true, true);
    char buffer[64] = {};
    FILE *memory = fmemopen(buffer, sizeof buffer, "w");
    ASSERT_NE(memory, nullptr);
    console_print(memory, console_level::err, "Open %s failed on %d\n", "x", -1);
    std::fclose(memory);
    EXPECT_EQ(console.finish_err(), "");
    EXPECT_STREQ(buffer, "Open x failed on -1\n");
}

} // namespace
