// SPDX-License-Identifier: MIT
#include "harness/daemon.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <locale>
#include <ostream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

namespace vh {

namespace {

#ifndef VH_TIMEWARP_LIBRARY
#define VH_TIMEWARP_LIBRARY ""
#endif

std::string errno_text(int error) {
    return std::strerror(error);
}

// Sanitizer settings of the caller reach the daemon; the time warp must be allowed to come
// before the AddressSanitizer runtime in the library order.
std::string with_option(std::string options, std::string_view option) {
    if (!options.empty())
        options += ':';
    options += option;
    return options;
}

void set_variable(std::vector<std::string> &environment, const std::string &name,
                  const std::string &value) {
    const std::string prefix = name + "=";
    std::erase_if(environment, [&](const std::string &entry) { return entry.starts_with(prefix); });
    environment.push_back(prefix + value);
}

bool warped(const DaemonOptions &options) {
    return options.time_warp > 1.0;
}

std::string time_warp_library(const DaemonOptions &options) {
    const std::string library = options.time_warp_library.empty()
                                    ? host_time_warp_library().string()
                                    : options.time_warp_library.string();
    if (library.empty())
        throw std::runtime_error("no time warp: libfaketime.so.1 (Debian package libfaketime) "
                                 "was not found when the build was configured");
    if (access(library.c_str(), R_OK) != 0)
        throw std::runtime_error("no time warp: cannot read " + library + ": " + errno_text(errno));
    return library;
}

// The daemon never sets a locale, so libfaketime reads the factor with a decimal point.
std::string factor_text(double factor) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << factor;
    return text.str();
}

// qemu-user takes the guest's argv[0] and preload as options of its own; any other launcher
// (valgrind) is given the binary and passes the environment on.
bool launched_by_emulator(const DaemonOptions &options) {
    return !options.launcher.empty() &&
           std::filesystem::path(options.launcher.front()).filename().string().starts_with("qemu-");
}

std::vector<std::string> build_environment(const DaemonOptions &options) {
    std::vector<std::string> environment;
    const char *path = std::getenv("PATH");
    set_variable(environment, "PATH", path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
    // libudev only accepts devices on the real sysfs unless told not to check.
    set_variable(environment, "SYSTEMD_DEVICE_VERIFY_SYSFS", "0");
    if (!options.notify_socket.empty())
        set_variable(environment, "NOTIFY_SOCKET", options.notify_socket.string());
    if (options.bcl_l0)
        set_variable(environment, "BCL_L0", *options.bcl_l0);
    if (options.bcl_l1)
        set_variable(environment, "BCL_L1", *options.bcl_l1);

    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char *value = std::getenv(name);
        std::string text = value != nullptr ? value : "";
        if (warped(options) && std::string_view(name) == "ASAN_OPTIONS")
            text = with_option(text, "verify_asan_link_order=0");
        if (!text.empty())
            set_variable(environment, name, text);
    }
    if (warped(options)) {
        // Only FAKETIME is set: none of libfaketime's other switches (a monotonic clock left
        // alone, a disabled cache, shared time across children) may reach the daemon, and the
        // environment starts empty, so none does. Under an emulator the preload goes to the
        // guest only (see start()).
        if (!launched_by_emulator(options))
            set_variable(environment, "LD_PRELOAD", time_warp_library(options));
        // No offset ("+0"), the clocks running factor times as fast.
        set_variable(environment, "FAKETIME", "+0 x" + factor_text(options.time_warp));
        // The factor by itself, for whoever inspects the daemon's environment.
        set_variable(environment, "VH_TIMEWARP_FACTOR", factor_text(options.time_warp));
    }
    for (const auto &[name, value] : options.env)
        set_variable(environment, name, value);
    return environment;
}

// The command line that runs the binary: the binary itself, the emulator with the guest's
// argv[0], its preload and then the binary, or another tool (valgrind) with the binary.
std::vector<std::string> command_line(const DaemonOptions &options) {
    const std::string argv0 = options.argv0.empty() ? options.binary.string() : options.argv0;
    std::vector<std::string> command;
    if (options.launcher.empty()) {
        command.push_back(argv0);
    } else if (!launched_by_emulator(options)) {
        command = options.launcher;
        command.push_back(options.binary.string());
    } else {
        command = options.launcher;
        if (warped(options))
            command.insert(command.end(), {"-E", "LD_PRELOAD=" + time_warp_library(options)});
        command.insert(command.end(), {"-0", argv0, options.binary.string()});
    }
    command.insert(command.end(), options.args.begin(), options.args.end());
    return command;
}

// The program to execute: the launcher looked up in PATH like a shell would, or the binary.
std::string program_to_execute(const DaemonOptions &options) {
    if (options.launcher.empty())
        return options.binary.string();
    const std::string &name = options.launcher.front();
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    throw std::runtime_error("cannot find the launcher " + name + " in PATH");
}

// libfaketime keeps a semaphore and a shared memory object per process in /dev/shm and removes
// them when the process exits normally. A killed process leaves them behind, and a later
// process that gets the same pid would then fail to start.
void remove_time_warp_leftovers(pid_t pid) {
    std::error_code ignored;
    const std::string id = std::to_string(pid);
    std::filesystem::remove("/dev/shm/faketime_shm_" + id, ignored);
    std::filesystem::remove("/dev/shm/sem.faketime_sem_" + id, ignored);
}

std::vector<char *> pointers_to(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (auto &text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The descriptor the child gets for a stream: the capture's pipe, or the file in its place.
int output_descriptor(const std::filesystem::path &file, int pipe_fd) {
    if (file.empty())
        return pipe_fd;
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot open " + file.string() + ": " + errno_text(errno));
    return fd;
}

void move_to(int fd, int target) {
    if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

struct ChildSetup {
    const char *workdir;
    const char *binary;
    char **argv;
    char **envp;
    sigset_t blocked;
    pid_t parent;
    int stdin_fd, stdout_fd, stderr_fd, report_fd;
    bool without_capabilities;
};

// A root process keeps after execve only what the bounding set allows, plus its inheritable
// and ambient sets: all three emptied, the program starts with none. Returns 0 or an errno.
int drop_all_capabilities() {
    for (unsigned long capability = 0; capability < 64; ++capability)
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL)
            return errno;
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0)
        return errno;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0)
        return errno;
    for (__user_cap_data_struct &word : data)
        word.inheritable = 0;
    if (syscall(SYS_capset, &header, data.data()) != 0)
        return errno;
    return 0;
}

// Runs in the forked child of a multi-threaded process: only async-signal-safe calls.
[[noreturn]] void exec_child(const ChildSetup &setup) {
    // The daemon dies with the harness, even when the harness is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != setup.parent)
        _exit(127);
    // Its own process group: a terminal's Ctrl-C reaches the harness only.
    setpgid(0, 0);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            sigaction(signal, &default_action, nullptr);
    sigprocmask(SIG_SETMASK, &setup.blocked, nullptr);

    int error = 0;
    if (chdir(setup.workdir) != 0) {
        error = errno;
    } else if (setup.without_capabilities && (error = drop_all_capabilities()) != 0) {
        // reported below
    } else {
        move_to(setup.stdin_fd, 0);
        move_to(setup.stdout_fd, 1);
        move_to(setup.stderr_fd, 2);
        syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        execve(setup.binary, setup.argv, setup.envp);
        error = errno;
    }
    while (write(setup.report_fd, &error, sizeof(error)) < 0 && errno == EINTR) {
    }
    _exit(127);
}

std::string quoted(std::string_view text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '\n')
            result += "\\n";
        else if (c == '"')
            result += "\\\"";
        else
            result += c;
    }
    return result + "\"";
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

} // namespace

std::filesystem::path host_time_warp_library() {
    return VH_TIMEWARP_LIBRARY;
}

const char *stream_name(Stream stream) {
    return stream == Stream::out ? "out" : "err";
}

std::string ExitStatus::describe() const {
    if (exited)
        return "exit status " + std::to_string(code);
    return "killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

std::ostream &operator<<(std::ostream &out, const ExitStatus &status) {
    return out << status.describe();
}

Daemon::Daemon(DaemonOptions options) : options_(std::move(options)) {}

Daemon::~Daemon() {
    if (started() && !status_) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    join_reader(2s);
    for (int fd : {pidfd_, stop_fd_, out_.fd, err_.fd})
        if (fd >= 0)
            close(fd);
}

void Daemon::start() {
    if (started())
        throw std::runtime_error("the process was already started");
    if (options_.binary.empty())
        throw std::runtime_error("no program to run (is the daemon built?)");
    if (access(options_.binary.c_str(), X_OK) != 0)
        throw std::runtime_error("cannot run " + options_.binary.string() + ": " +
                                 errno_text(errno));
    if (options_.workdir.empty()) {
        owned_workdir_ = std::make_unique<TempDir>("vh-run-");
        workdir_ = owned_workdir_->path();
    } else {
        std::filesystem::create_directories(options_.workdir);
        workdir_ = options_.workdir;
    }
    environment_ = build_environment(options_);

    std::vector<std::string> arguments = command_line(options_);
    std::vector<std::string> environment = environment_;
    std::vector<char *> argv = pointers_to(arguments);
    std::vector<char *> envp = pointers_to(environment);
    const std::string binary = program_to_execute(options_);
    const std::string workdir = workdir_.string();

    std::array<int, 2> out{-1, -1}, err{-1, -1}, report{-1, -1};
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0 || pipe2(out.data(), O_CLOEXEC) != 0 || pipe2(err.data(), O_CLOEXEC) != 0 ||
        pipe2(report.data(), O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create pipes: " + errno_text(errno));

    // A stream sent to a file leaves its pipe without a writer: the capture ends at once.
    int stdout_fd = -1, stderr_fd = -1;
    try {
        stdout_fd = output_descriptor(options_.stdout_file, out[1]);
        stderr_fd = output_descriptor(options_.stderr_file, err[1]);
    } catch (const std::runtime_error &) {
        for (int fd : {null_fd, out[0], out[1], err[0], err[1], report[0], report[1], stdout_fd})
            if (fd >= 0)
                close(fd);
        throw;
    }

    ChildSetup setup{workdir.c_str(),
                     binary.c_str(),
                     argv.data(),
                     envp.data(),
                     {},
                     getpid(),
                     null_fd,
                     stdout_fd,
                     stderr_fd,
                     report[1],
                     options_.without_capabilities};
    sigemptyset(&setup.blocked);
    for (int signal : options_.blocked_signals)
        sigaddset(&setup.blocked, signal);

    const pid_t pid = fork();
    if (pid == 0)
        exec_child(setup);
    const int fork_error = errno;
    for (int fd : {null_fd, out[1], err[1], report[1]})
        close(fd);
    if (stdout_fd != out[1])
        close(stdout_fd);
    if (stderr_fd != err[1])
        close(stderr_fd);
    if (pid < 0) {
        for (int fd : {out[0], err[0], report[0]})
            close(fd);
        throw std::runtime_error("fork: " + errno_text(fork_error));
    }
    pid_ = pid;

    int child_error = 0;
    ssize_t got;
    do
        got = read(report[0], &child_error, sizeof(child_error));
    while (got < 0 && errno == EINTR);
    close(report[0]);
    if (got == static_cast<ssize_t>(sizeof(child_error))) {
        close(out[0]);
        close(err[0]);
        reap(true);
        throw std::runtime_error("cannot run " + binary + " in " + workdir + ": " +
                                 errno_text(child_error));
    }

    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    if (stop_fd_ < 0)
        throw std::runtime_error("eventfd: " + errno_text(errno));
    out_.fd = out[0];
    err_.fd = err[0];
    reader_ = std::thread([this] { read_loop(); });
}

void Daemon::read_loop() {
    std::array<char, 65536> buffer{};
    for (;;) {
        std::array<pollfd, 3> fds{};
        std::array<Stream, 2> streams{};
        nfds_t count = 0;
        {
            std::lock_guard lock(mutex_);
            for (Stream stream : {Stream::out, Stream::err}) {
                if (!state(stream).eof) {
                    fds[count] = {state(stream).fd, POLLIN, 0};
                    streams[count++] = stream;
                }
            }
        }
        if (count == 0)
            return;
        fds[count] = {stop_fd_, POLLIN, 0};
        if (poll(fds.data(), count + 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[count].revents != 0)
            return;
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0)
                continue;
            const ssize_t length = read(fds[i].fd, buffer.data(), buffer.size());
            if (length < 0 && errno == EINTR)
                continue;
            append(streams[i],
                   std::string_view(buffer.data(), length > 0 ? static_cast<size_t>(length) : 0));
        }
    }
}

// Stores a piece of output (empty: end of file) and completes the lines it ends.
void Daemon::append(Stream stream, std::string_view data) {
    // Live display first: a test or story that waits for this text and then prints something
    // of its own should find the text already shown.
    if (options_.on_output) {
        for (std::string_view rest = data; !rest.empty();) {
            const std::size_t end = std::min(rest.find('\n'), rest.size() - 1) + 1;
            options_.on_output(stream, rest.substr(0, end));
            rest.remove_prefix(end);
        }
    }
    {
        std::lock_guard lock(mutex_);
        StreamState &s = state(stream);
        s.text.append(data);
        std::size_t newline;
        while ((newline = s.text.find('\n', s.line_start)) != std::string::npos) {
            transcript_.push_back(
                {stream, s.text.substr(s.line_start, newline - s.line_start), true});
            s.line_start = newline + 1;
        }
        if (data.empty()) {
            s.eof = true;
            close(s.fd);
            s.fd = -1;
            if (s.line_start < s.text.size())
                transcript_.push_back({stream, s.text.substr(s.line_start), false});
        }
    }
    changed_.notify_all();
}

bool Daemon::output_finished() const {
    return out_.eof && err_.eof;
}

void Daemon::join_reader(std::chrono::milliseconds timeout) {
    if (!reader_.joinable())
        return;
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return output_finished(); });
    }
    // When something else still holds the pipes open, stop reading without their end.
    const std::uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof one) < 0) {
        // An eventfd write only fails on overflow, which a single stop cannot reach.
    }
    reader_.join();
}

bool Daemon::reap(bool block) {
    if (status_)
        return true;
    int raw = 0;
    pid_t result;
    do
        result = waitpid(pid_, &raw, block ? 0 : WNOHANG);
    while (result < 0 && errno == EINTR);
    if (result != pid_)
        return false;
    status_ = WIFEXITED(raw) ? ExitStatus::with_code(WEXITSTATUS(raw))
                             : ExitStatus::killed_by(WTERMSIG(raw));
    if (warped(options_))
        remove_time_warp_leftovers(pid_);
    return true;
}

void Daemon::send_signal(int signal) {
    if (!started())
        throw std::runtime_error("the process was not started");
    // A reaped pid may belong to another process by now.
    if (!status_)
        kill(pid_, signal);
}

std::optional<ExitStatus> Daemon::wait_exit(std::chrono::milliseconds timeout) {
    if (!started())
        throw std::runtime_error("the process was not started");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reap(false)) {
        const int left = remaining_ms(deadline);
        if (left == 0)
            return std::nullopt;
        if (pidfd_ >= 0) {
            pollfd fd{pidfd_, POLLIN, 0};
            poll(&fd, 1, left);
        } else {
            usleep(10000);
        }
    }
    join_reader(2s);
    return status_;
}

ExitStatus Daemon::stop(int signal, std::chrono::milliseconds timeout, std::source_location where) {
    send_signal(signal);
    if (auto status = wait_exit(timeout))
        return *status;
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << options_.binary.filename().string() << " did not end within " << timeout.count()
        << " ms after signal " << signal << "; killing it.\nCaptured output:\n"
        << transcript_text();
    kill(pid_, SIGKILL);
    reap(true);
    join_reader(2s);
    return *status_;
}

bool Daemon::running() {
    return started() && !reap(false);
}

std::optional<ExitStatus> Daemon::exit_status() const {
    return status_;
}

std::string Daemon::text(Stream stream) const {
    std::lock_guard lock(mutex_);
    return state(stream).text;
}

std::vector<std::string> Daemon::lines(Stream stream) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (const Line &line : transcript_)
        if (line.stream == stream && line.complete)
            result.push_back(line.text);
    return result;
}

std::string Daemon::partial_line(Stream stream) const {
    std::lock_guard lock(mutex_);
    return state(stream).text.substr(state(stream).line_start);
}

std::vector<Daemon::Line> Daemon::transcript() const {
    std::lock_guard lock(mutex_);
    return transcript_;
}

std::string Daemon::transcript_text(std::size_t max_lines) const {
    std::lock_guard lock(mutex_);
    std::ostringstream text;
    const std::size_t first = transcript_.size() > max_lines ? transcript_.size() - max_lines : 0;
    if (first > 0)
        text << "  (" << first << " earlier lines not shown)\n";
    for (std::size_t i = first; i < transcript_.size(); ++i) {
        const Line &line = transcript_[i];
        text << "  " << stream_name(line.stream) << "| " << line.text
             << (line.complete ? "\n" : "  (no newline)\n");
    }
    for (Stream stream : {Stream::out, Stream::err}) {
        const StreamState &s = state(stream);
        if (!s.eof && s.line_start < s.text.size())
            text << "  " << stream_name(stream) << "| " << s.text.substr(s.line_start)
                 << "  (unfinished line)\n";
    }
    if (status_)
        text << "  (" << status_->describe() << ")\n";
    return text.str();
}

int Daemon::count(Stream stream, std::string_view needle) const {
    if (needle.empty())
        return 0;
    std::lock_guard lock(mutex_);
    const std::string &text = state(stream).text;
    int found = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++found;
    return found;
}

template <typename Finder>
bool Daemon::wait_for(Stream stream, std::chrono::milliseconds timeout, Finder find) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    StreamState &s = state(stream);
    for (;;) {
        if (const std::size_t end = find(s.text, s.cursor); end != std::string::npos) {
            s.cursor = end;
            return true;
        }
        if (s.eof)
            return false; // the process is gone: nothing more will come
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            const std::size_t end = find(s.text, s.cursor);
            if (end == std::string::npos)
                return false;
            s.cursor = end;
            return true;
        }
    }
}

bool Daemon::wait_for_text(Stream stream, std::string_view needle,
                           std::chrono::milliseconds timeout) {
    return wait_for(stream, timeout, [needle](const std::string &text, std::size_t from) {
        const std::size_t at = text.find(needle, from);
        return at == std::string::npos ? at : at + needle.size();
    });
}

bool Daemon::wait_for_line(Stream stream, std::string_view line,
                           std::chrono::milliseconds timeout) {
    return wait_for(stream, timeout, [line](const std::string &text, std::size_t from) {
        // A line that the cursor is inside of (a text match ended in it) still counts.
        const std::size_t line_start = from == 0 ? 0 : text.rfind('\n', from - 1) + 1;
        for (std::size_t at = text.find(line, line_start); at != std::string::npos;
             at = text.find(line, at + 1)) {
            const std::size_t end = at + line.size();
            const bool starts_line = at == 0 || text[at - 1] == '\n';
            if (starts_line && end < text.size() && text[end] == '\n')
                return end + 1;
        }
        return std::string::npos;
    });
}

std::size_t Daemon::cursor(Stream stream) const {
    std::lock_guard lock(mutex_);
    return state(stream).cursor;
}

void Daemon::skip_to_end(Stream stream) {
    std::lock_guard lock(mutex_);
    state(stream).cursor = state(stream).text.size();
}

bool Daemon::expect(Stream stream, std::string_view what, bool whole_line,
                    std::chrono::milliseconds timeout, std::source_location where) {
    const bool seen =
        whole_line ? wait_for_line(stream, what, timeout) : wait_for_text(stream, what, timeout);
    if (seen)
        return true;
    const bool ended = [&] {
        std::lock_guard lock(mutex_);
        return state(stream).eof;
    }();
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "std" << stream_name(stream) << " did not show " << (whole_line ? "the line " : "")
        << quoted(what)
        << (ended ? " before the process ended"
                  : " within " + std::to_string(timeout.count()) + " ms")
        << " (searching from byte " << cursor(stream) << ").\nCaptured output:\n"
        << transcript_text();
    return false;
}

bool Daemon::expect_err(std::string_view text, std::chrono::milliseconds timeout,
                        std::source_location where) {
    return expect(Stream::err, text, false, timeout, where);
}

bool Daemon::expect_out(std::string_view text, std::chrono::milliseconds timeout,
                        std::source_location where) {
    return expect(Stream::out, text, false, timeout, where);
}

bool Daemon::expect_err_line(std::string_view line, std::chrono::milliseconds timeout,
                             std::source_location where) {
    return expect(Stream::err, line, true, timeout, where);
}

bool Daemon::expect_out_line(std::string_view line, std::chrono::milliseconds timeout,
                             std::source_location where) {
    return expect(Stream::out, line, true, timeout, where);
}

} // namespace vh
