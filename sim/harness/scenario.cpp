// SPDX-License-Identifier: MIT
#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>
#include <unistd.h>

namespace vh {

namespace {

#ifndef VH_DAEMON_BINARY
#define VH_DAEMON_BINARY ""
#endif

std::string describe_writes(const std::vector<FakeSysfs::Write> &writes) {
    if (writes.empty())
        return "  (none)\n";
    std::ostringstream text;
    for (const FakeSysfs::Write &write : writes)
        text << "  #" << write.seq << " " << write.path << " <- \"" << write.text << "\""
             << (write.error != 0 ? " (failed: errno " + std::to_string(write.error) + ")" : "")
             << "\n";
    return text.str();
}

std::string shown(const std::optional<std::string> &content) {
    return content ? "\"" + *content + "\"" : "(absent)";
}

} // namespace

std::filesystem::path default_daemon_binary() {
    if (const char *chosen = std::getenv("VH_DAEMON"); chosen != nullptr && *chosen != '\0')
        return chosen;
    return VH_DAEMON_BINARY;
}

const std::vector<std::pair<std::string, std::regex>> &status_file_formats() {
    static const std::vector<std::pair<std::string, std::regex>> formats = {
        {"ac_status", std::regex("Connected|Connected slow|Disconnected")},
        {"battery_percent", std::regex("[0-9]+\\.0")},
        {"battery_status", std::regex("Unknown|Charging|Discharging|Not charging|Full")},
        {"secs_until_shutdown_request", std::regex("-?[0-9]+")},
        {"secs_until_battery_full", std::regex("-?[0-9]+")},
        {"typec_contract", std::regex("Valid=[01], Voltage=-?[0-9]+mV, Current=-?[0-9]+mA")}};
    return formats;
}

std::vector<std::string> default_daemon_launcher() {
    std::vector<std::string> launcher;
    const char *text = std::getenv("VH_DAEMON_LAUNCHER");
    std::istringstream words(text != nullptr ? text : "");
    for (std::string word; words >> word;)
        launcher.push_back(word);
    return launcher;
}

std::filesystem::path default_daemon_time_warp_library() {
    const char *chosen = std::getenv("VH_DAEMON_TIMEWARP_LIBRARY");
    return chosen != nullptr ? chosen : "";
}

namespace {

ScenarioOptions with_headset(const HeadsetConfig &config) {
    ScenarioOptions options;
    options.headset = config;
    return options;
}

} // namespace

Scenario::Scenario(const HeadsetConfig &config) : Scenario(with_headset(config)) {}

Scenario::Scenario(ScenarioOptions options)
    : options_(std::move(options)), temp_("vh-"), workdir_(temp_.path() / "work") {
    std::filesystem::create_directory(workdir_);
    watchdog_ = std::make_unique<WatchdogCapture>(temp_.path() / "notify.sock");
    headset_ = std::make_unique<Headset>(options_.headset);
    headset_->mount("/sys");
}

Scenario::~Scenario() {
    daemon_.reset();
    headset_.reset();
    watchdog_.reset();
}

Daemon &Scenario::start() {
    if (daemon_ && daemon_->running())
        throw std::logic_error("the daemon is already running");
    if (options_.daemon_binary.empty())
        throw std::runtime_error("the daemon is not built (no charged target); set VH_DAEMON "
                                 "to run another binary");
    DaemonOptions run{.binary = options_.daemon_binary,
                      .argv0 = options_.argv0,
                      .args = options_.args,
                      .workdir = workdir_,
                      .notify_socket = watchdog_->path(),
                      .bcl_l0 = options_.bcl_l0,
                      .bcl_l1 = options_.bcl_l1,
                      .time_warp = options_.time_warp,
                      .time_warp_library = options_.daemon_time_warp_library,
                      .launcher = options_.daemon_launcher,
                      .env = options_.env,
                      .blocked_signals = options_.blocked_signals,
                      .without_capabilities = options_.without_capabilities,
                      .stdout_file = options_.stdout_file,
                      .stderr_file = options_.stderr_file,
                      .on_output = options_.on_output};
    daemon_.reset();
    daemon_ = std::make_unique<Daemon>(std::move(run));
    daemon_->start();
    return *daemon_;
}

ExitStatus Scenario::stop(int signal, std::source_location where) {
    return daemon().stop(signal, options_.timeout, where);
}

Daemon &Scenario::daemon() {
    if (!daemon_)
        throw std::logic_error("the daemon was not started");
    return *daemon_;
}

bool Scenario::expect_err(std::string_view text, std::source_location where) {
    return daemon().expect_err(text, options_.timeout, where);
}

bool Scenario::expect_out(std::string_view text, std::source_location where) {
    return daemon().expect_out(text, options_.timeout, where);
}

bool Scenario::expect_err_line(std::string_view line, std::source_location where) {
    return daemon().expect_err_line(line, options_.timeout, where);
}

bool Scenario::expect_out_line(std::string_view line, std::source_location where) {
    return daemon().expect_out_line(line, options_.timeout, where);
}

bool Scenario::expect_write(const std::string &path, std::string_view text,
                            std::source_location where) {
    FakeSysfs &fs = headset_->fs();
    const std::string wanted(text);
    if (fs.wait_for_write(path, wanted, options_.timeout, write_cursor_)) {
        for (const FakeSysfs::Write &write : fs.writes_to(path)) {
            if (write.seq > write_cursor_ && write.text == wanted) {
                write_cursor_ = write.seq;
                return true;
            }
        }
    }
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "no write of \"" << wanted << "\" to " << path << " after write #" << write_cursor_
        << " within " << options_.timeout.count() << " ms.\nWrites to it after the cursor:\n"
        << describe_writes(writes_since_cursor(path)) << "Daemon output:\n"
        << (daemon_ ? daemon_->transcript_text(60) : "  (not started)\n");
    return false;
}

std::optional<FakeSysfs::Write> Scenario::next_write_to(const std::string &path,
                                                        std::source_location where) {
    const auto writes = headset_->fs().wait_for_writes_to(path, options_.timeout, write_cursor_);
    if (!writes.empty()) {
        write_cursor_ = writes.front().seq;
        return writes.front();
    }
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "no write to " << path << " after write #" << write_cursor_ << " within "
        << options_.timeout.count() << " ms.\nDaemon output:\n"
        << (daemon_ ? daemon_->transcript_text(60) : "  (not started)\n");
    return std::nullopt;
}

std::vector<FakeSysfs::Write> Scenario::writes_since_cursor(const std::string &path) const {
    std::vector<FakeSysfs::Write> result;
    for (FakeSysfs::Write &write : headset_->fs().writes_to(path))
        if (write.seq > write_cursor_)
            result.push_back(std::move(write));
    return result;
}

std::optional<std::string> Scenario::read_file(const std::string &name) const {
    std::ifstream in(file(name), std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string Scenario::read_status_file(const std::string &name) const {
    return read_file(name).value_or("");
}

std::optional<std::string> Scenario::read_link(const std::string &name) const {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(file(name), error);
    if (error)
        return std::nullopt;
    return target.string();
}

void Scenario::write_file(const std::string &name, const std::string &content) {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + file(name).string());
}

void Scenario::remove_file(const std::string &name) {
    std::filesystem::remove(file(name));
}

bool Scenario::wait_for_workdir(const std::function<bool()> &condition) {
    const int watch_fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch_fd >= 0)
        inotify_add_watch(watch_fd, workdir_.c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MODIFY);
    const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
    bool met = condition();
    while (!met && std::chrono::steady_clock::now() < deadline) {
        // The watch wakes us on every change; the short bound only guards against a missed
        // event (an inotify queue overflow).
        pollfd fd{watch_fd, POLLIN, 0};
        poll(&fd, watch_fd >= 0 ? 1 : 0, 50);
        std::array<char, 4096> events{};
        while (watch_fd >= 0 && read(watch_fd, events.data(), events.size()) > 0) {
        }
        met = condition();
    }
    if (watch_fd >= 0)
        close(watch_fd);
    return met;
}

bool Scenario::wait_for_file(const std::string &name) {
    return wait_for_workdir([&] {
        std::error_code ignored;
        return std::filesystem::exists(std::filesystem::symlink_status(file(name), ignored));
    });
}

bool Scenario::wait_for_file_content(const std::string &name, const std::string &content) {
    return wait_for_workdir([&] { return read_file(name) == content; });
}

std::optional<std::string>
Scenario::wait_for_file_change(const std::string &name,
                               const std::optional<std::string> &previous) {
    std::optional<std::string> current;
    wait_for_workdir([&] {
        current = read_file(name);
        return current != previous;
    });
    return current;
}

bool Scenario::expect_file(const std::string &name, const std::string &content,
                           std::source_location where) {
    if (wait_for_file_content(name, content))
        return true;
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "the file \"" << name << "\" did not hold \"" << content << "\" within "
        << options_.timeout.count() << " ms; it holds " << shown(read_file(name))
        << ".\nDaemon output:\n"
        << (daemon_ ? daemon_->transcript_text(60) : "  (not started)\n");
    return false;
}

bool Scenario::expect_heartbeats(int n, std::source_location where) {
    if (watchdog_->wait_for_count(n, options_.timeout))
        return true;
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << "expected at least " << n << " watchdog heartbeats within " << options_.timeout.count()
        << " ms, got " << watchdog_->count() << ".\nDaemon output:\n"
        << (daemon_ ? daemon_->transcript_text(60) : "  (not started)\n");
    return false;
}

} // namespace vh
