// SPDX-License-Identifier: MIT
// The process driver: runs the daemon binary (or any program) in a fresh working directory with
// a controlled environment, captures its standard output and standard error, lets a test wait
// for what it prints, sends signals and collects the exit status. The process is killed when the
// driver goes, so nothing is left behind, whatever path the test takes.
#pragma once

#include "harness/temp_dir.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

namespace vh {

using namespace std::chrono_literals;

// Generous: scenario tests run under AddressSanitizer on a shared two-core machine.
inline constexpr std::chrono::milliseconds default_timeout = 10s;

enum class Stream { out, err };
const char *stream_name(Stream stream); // "out" / "err"

// How a process ended, as waitpid reports it.
struct ExitStatus {
    bool exited = false; // ended through exit(); code is valid
    int code = 0;        // low 8 bits of the exit code (-12 reads as 244)
    int signal = 0;      // the signal that ended it when !exited

    static ExitStatus with_code(int code) { return {true, code & 0xff, 0}; }
    static ExitStatus killed_by(int signal) { return {false, 0, signal}; }
    bool operator==(const ExitStatus &) const = default;
    std::string describe() const; // "exit status 0", "killed by signal 9 (Killed)"
};
std::ostream &operator<<(std::ostream &out, const ExitStatus &status);

// The host's time warp library (Debian's libfaketime), found when the build was configured;
// empty when it was not there.
std::filesystem::path host_time_warp_library();

struct DaemonOptions {
    std::filesystem::path binary;
    std::string argv0;             // argv[0]; empty: the binary's path
    std::vector<std::string> args; // after argv[0] (the daemon takes none; helper programs do)
    // Working directory; empty: a fresh directory under /tmp, removed when the driver goes.
    std::filesystem::path workdir;
    std::filesystem::path notify_socket; // NOTIFY_SOCKET; empty: not set
    std::optional<std::string> bcl_l0;   // BCL_L0; not set by default
    std::optional<std::string> bcl_l1;   // BCL_L1
    // Above 1: the daemon's clocks and waits run this many times faster (Debian's libfaketime,
    // preloaded: its monotonic clocks advance F times as fast and its relative waits last 1/F).
    double time_warp = 1.0;
    // The preload library of the time warp for the binary's architecture; empty: the host's
    // libfaketime, found when the build was configured.
    std::filesystem::path time_warp_library;
    // A qemu-user emulator that runs a binary of another architecture, with its own options
    // (e.g. {"qemu-aarch64"}); empty: the binary runs directly. The guest gets argv[0] through
    // -0 and the time warp's preload through -E, so qemu itself is never preloaded. Any other
    // launcher ({"valgrind", "--leak-check=full"}) is given the binary and its arguments.
    std::vector<std::string> launcher;
    std::vector<std::pair<std::string, std::string>> env; // further variables
    std::vector<int> blocked_signals; // signals the process starts with blocked (default none)
    // Root without any capability, as the systemd unit runs the daemon: empty bounding,
    // inheritable and ambient sets, so the program starts with no capability at all.
    bool without_capabilities = false;
    // A stream sent to a file (opened for writing, created and emptied if it is a regular
    // file) instead of the capture, which then stays empty; e.g. "/dev/full", where every
    // write fails with ENOSPC. Empty: captured.
    std::filesystem::path stdout_file;
    std::filesystem::path stderr_file;
    // Called on the reader thread with every piece of output as it arrives; a piece ends at a
    // newline or wherever the process stopped writing. For live display (the demo).
    std::function<void(Stream, std::string_view)> on_output;
};

class Daemon {
  public:
    explicit Daemon(DaemonOptions options); // does not start the process
    ~Daemon();                              // SIGKILL if still running, reap, clean up
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts the process. Throws std::runtime_error when it cannot (missing binary, exec
    // failure with its errno, already started).
    void start();
    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    const std::filesystem::path &workdir() const { return workdir_; }
    const DaemonOptions &options() const { return options_; }
    // The environment the process was started with, "NAME=value" each.
    const std::vector<std::string> &environment() const { return environment_; }

    // Signals and the end of the process.
    void send_signal(int signal);
    // Waits for the process to end and for its output to drain; nullopt on timeout.
    std::optional<ExitStatus> wait_exit(std::chrono::milliseconds timeout = default_timeout);
    // send_signal + wait_exit; if the process outlives the timeout it is killed (SIGKILL), a
    // test failure is recorded, and the status of the killed process is returned.
    ExitStatus stop(int signal, std::chrono::milliseconds timeout = default_timeout,
                    std::source_location where = std::source_location::current());
    bool running(); // started and not yet ended
    std::optional<ExitStatus> exit_status() const;

    // Captured output. Lines are complete lines without their newline.
    std::string text(Stream stream) const; // everything so far, raw
    std::vector<std::string> lines(Stream stream) const;
    std::vector<std::string> lines_err() const { return lines(Stream::err); }
    std::vector<std::string> lines_out() const { return lines(Stream::out); }
    std::string partial_line(Stream stream) const; // text after the last newline
    struct Line {
        Stream stream;
        std::string text;
        bool complete; // false for an unfinished last line at the end of the process
    };
    // Complete lines of both streams in the order they arrived.
    std::vector<Line> transcript() const;
    // The transcript as text, "err| ..." / "out| ...", the last max_lines lines plus any
    // unfinished line: for failure messages.
    std::string transcript_text(std::size_t max_lines = 300) const;
    // Occurrences of text anywhere in the stream (from the start, ignoring the cursor).
    int count(Stream stream, std::string_view text) const;

    // Waiting for output. Each stream has a cursor (a byte offset, 0 at start): a wait looks
    // only at output after it, and a match moves it past the match, so consecutive waits
    // assert order. The waits return false on timeout, or at once when the process has ended
    // and no more output can come.
    //   wait_for_text: the text anywhere in the raw stream, unfinished lines included.
    //   wait_for_line: a complete line equal to line (without its newline), ending after the
    //                  cursor (a line the cursor is inside of counts).
    bool wait_for_text(Stream stream, std::string_view text,
                       std::chrono::milliseconds timeout = default_timeout);
    bool wait_for_line(Stream stream, std::string_view line,
                       std::chrono::milliseconds timeout = default_timeout);
    std::size_t cursor(Stream stream) const;
    void skip_to_end(Stream stream); // moves the cursor past everything printed so far

    // The same as test expectations: a miss records a (non-fatal) GoogleTest failure at the
    // caller's line with the captured output, and returns false. Wrap in ASSERT_TRUE to stop
    // the test there.
    bool expect_err(std::string_view text, std::chrono::milliseconds timeout = default_timeout,
                    std::source_location where = std::source_location::current());
    bool expect_out(std::string_view text, std::chrono::milliseconds timeout = default_timeout,
                    std::source_location where = std::source_location::current());
    bool expect_err_line(std::string_view line, std::chrono::milliseconds timeout = default_timeout,
                         std::source_location where = std::source_location::current());
    bool expect_out_line(std::string_view line, std::chrono::milliseconds timeout = default_timeout,
                         std::source_location where = std::source_location::current());

  private:
    struct StreamState {
        int fd = -1;
        bool eof = false;
        std::string text;
        std::size_t cursor = 0;
        std::size_t line_start = 0; // offset of the unfinished line
    };
    StreamState &state(Stream stream) { return stream == Stream::out ? out_ : err_; }
    const StreamState &state(Stream stream) const { return stream == Stream::out ? out_ : err_; }
    void read_loop();
    void append(Stream stream, std::string_view data);
    bool output_finished() const; // both streams at end of file (mutex held)
    bool reap(bool block);
    template <typename Finder>
    bool wait_for(Stream stream, std::chrono::milliseconds timeout, Finder find);
    bool expect(Stream stream, std::string_view what, bool whole_line,
                std::chrono::milliseconds timeout, std::source_location where);
    void join_reader(std::chrono::milliseconds timeout);

    DaemonOptions options_;
    std::unique_ptr<TempDir> owned_workdir_;
    std::filesystem::path workdir_;
    std::vector<std::string> environment_;
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stop_fd_ = -1; // ends the reader thread when output does not end by itself
    std::optional<ExitStatus> status_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    StreamState out_, err_;
    std::vector<Line> transcript_;
    std::thread reader_;
};

} // namespace vh
