// SPDX-License-Identifier: MIT
// One scenario: the virtual headset mounted over /sys, the watchdog socket bound, and the
// unchanged daemon binary started in a fresh working directory. Reads like the hardware story:
//
//   vh::Scenario s;                          // or vh::Scenario s{config} / s{options}
//   s.start();
//   s.hs().usb.plug(9_V, 3_A, vh::usb_type::pd);
//   s.expect_err("Triggering AICL\n");
//   s.expect_write(vh::path::charger + "/aicl_rerun", "1");
//   s.hs().charger.finish_aicl();
//   s.expect_err("AICL Complete - Entering QPH2\n");
//   EXPECT_EQ(s.stop(SIGTERM), vh::ExitStatus::with_code(0));
//
// Must run inside the sandbox (vh::enter_sandbox, done by the scenario tests' main): the fake
// tree is mounted at /sys. Destruction kills the daemon first, then unmounts and removes the
// temporary files, on every path out of a test.
#pragma once

#include "harness/daemon.hpp"
#include "harness/temp_dir.hpp"
#include "harness/watchdog.hpp"
#include "headset/headset.hpp"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vh {

// The daemon binary the scenarios run: $VH_DAEMON when set, else the charged target of this
// build; empty when neither exists.
std::filesystem::path default_daemon_binary();
// For a daemon built for another architecture: the qemu-user emulator that runs it,
// $VH_DAEMON_LAUNCHER split at spaces (e.g. "qemu-aarch64"), empty when unset; and the time
// warp's preload library for that architecture, $VH_DAEMON_TIMEWARP_LIBRARY (empty: the host's).
std::vector<std::string> default_daemon_launcher();
std::filesystem::path default_daemon_time_warp_library();

// Every status file by name with the format of its whole content, as other software may
// rely on it: a read that does not match saw a partial or empty file.
const std::vector<std::pair<std::string, std::regex>> &status_file_formats();

struct ScenarioOptions {
    HeadsetConfig headset{};
    std::filesystem::path daemon_binary = default_daemon_binary();
    std::vector<std::string> daemon_launcher = default_daemon_launcher();
    std::filesystem::path daemon_time_warp_library = default_daemon_time_warp_library();
    std::string argv0;                 // empty: the binary's path
    std::vector<std::string> args;     // after argv[0]: the daemon takes none (for probes)
    double time_warp = 1.0;            // e.g. 20: the 20 s loop timeout takes 1 s
    std::optional<std::string> bcl_l0; // BCL_L0 for the daemon; unset by default
    std::optional<std::string> bcl_l1; // BCL_L1
    std::vector<std::pair<std::string, std::string>> env; // further variables
    std::vector<int> blocked_signals;                     // blocked at the daemon's start
    bool without_capabilities = false; // root without any capability, as under systemd
    std::filesystem::path stdout_file; // a stream sent there instead of the capture, e.g.
    std::filesystem::path stderr_file; // "/dev/full" (see DaemonOptions); empty: captured
    std::chrono::milliseconds timeout = default_timeout;     // default for every wait below
    std::function<void(Stream, std::string_view)> on_output; // live output (the demo)
};

class Scenario {
  public:
    explicit Scenario(const HeadsetConfig &config = {});
    explicit Scenario(ScenarioOptions options);
    ~Scenario();
    Scenario(const Scenario &) = delete;
    Scenario &operator=(const Scenario &) = delete;

    // Starts the daemon. Again after it ended: a new process in the same working directory.
    // Throws std::runtime_error when the daemon is not built or cannot run.
    Daemon &start();
    // Sends the signal and returns the exit status (see Daemon::stop).
    ExitStatus stop(int signal = SIGTERM,
                    std::source_location where = std::source_location::current());

    Daemon &daemon(); // throws std::logic_error before start()
    Headset &hs() { return *headset_; }
    FakeSysfs &fs() { return headset_->fs(); }
    WatchdogCapture &watchdog() { return *watchdog_; }
    ScenarioOptions &options() { return options_; } // changes apply at the next start()
    const std::filesystem::path &workdir() const { return workdir_; }
    std::chrono::milliseconds timeout() const { return options_.timeout; }

    // Daemon output, from the stream's cursor (see Daemon): substring and whole-line forms.
    bool expect_err(std::string_view text,
                    std::source_location where = std::source_location::current());
    bool expect_out(std::string_view text,
                    std::source_location where = std::source_location::current());
    bool expect_err_line(std::string_view line,
                         std::source_location where = std::source_location::current());
    bool expect_out_line(std::string_view line,
                         std::source_location where = std::source_location::current());

    // Writes of the daemon to the fake sysfs, in order. A write cursor (a sequence number of
    // the write log, 0 at first) works like the output cursors: expect_write looks at writes
    // after it and moves it to the matched write, so consecutive calls assert the order of
    // writes across attributes. path may be any path naming the attribute (class or devices).
    bool expect_write(const std::string &path, std::string_view text,
                      std::source_location where = std::source_location::current());
    // Waits for any write to path after the cursor and returns it (moving the cursor there).
    std::optional<FakeSysfs::Write>
    next_write_to(const std::string &path,
                  std::source_location where = std::source_location::current());
    // Writes to path after the cursor, without waiting or moving the cursor.
    std::vector<FakeSysfs::Write> writes_since_cursor(const std::string &path) const;
    uint64_t write_cursor() const { return write_cursor_; }
    void set_write_cursor(uint64_t seq) { write_cursor_ = seq; }
    void skip_writes() { write_cursor_ = headset_->fs().last_seq(); } // past all so far

    // Files in the daemon's working directory: status files, BAT0/BAT1 links, manual
    // control files. Status files are replaced whole by rename, so a read sees old or new.
    std::filesystem::path file(const std::string &name) const { return workdir_ / name; }
    std::optional<std::string> read_file(const std::string &name) const;  // nullopt: absent
    std::string read_status_file(const std::string &name) const;          // "" when absent
    std::optional<std::string> read_link(const std::string &name) const;  // link target
    void write_file(const std::string &name, const std::string &content); // manual controls
    void remove_file(const std::string &name);
    // Waits until the file exists / holds exactly content / differs from previous.
    bool wait_for_file(const std::string &name);
    bool wait_for_file_content(const std::string &name, const std::string &content);
    std::optional<std::string> wait_for_file_change(const std::string &name,
                                                    const std::optional<std::string> &previous);
    bool expect_file(const std::string &name, const std::string &content,
                     std::source_location where = std::source_location::current());

    // Watchdog heartbeats so far / at least n of them within the timeout.
    bool expect_heartbeats(int n, std::source_location where = std::source_location::current());

  private:
    // Waits until condition() holds, re-checking whenever the working directory changes.
    bool wait_for_workdir(const std::function<bool()> &condition);

    ScenarioOptions options_;
    TempDir temp_;
    std::filesystem::path workdir_;
    std::unique_ptr<WatchdogCapture> watchdog_;
    std::unique_ptr<Headset> headset_;
    std::unique_ptr<Daemon> daemon_; // destroyed first: the daemon dies before the tree goes
    uint64_t write_cursor_ = 0;
};

} // namespace vh
