// SPDX-License-Identifier: MIT
// Self-tests of the harness: the process driver, the watchdog capture and the time warp, with
// a scripted probe program in place of the daemon; then the facade with the probe and the
// fake sysfs.
#include "harness/daemon.hpp"
#include "harness/scenario.hpp"
#include "harness/temp_dir.hpp"
#include "harness/watchdog.hpp"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace vh {
namespace {

using namespace std::chrono_literals;
using Steps = std::vector<std::string>;

DaemonOptions probe(Steps steps) {
    DaemonOptions options;
    options.binary = VH_PROBE;
    options.args = std::move(steps);
    return options;
}

// The number after "name=" in text ("waited real_ms=51 mono_ms=1003" -> 51 for real_ms).
long field(const std::string &text, const std::string &name) {
    const auto at = text.find(name + "=");
    if (at == std::string::npos)
        return -1;
    return std::strtol(text.c_str() + at + name.size() + 1, nullptr, 10);
}

bool process_gone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// --- process driver -------------------------------------------------------------------------

TEST(ProcessDriver, CapturesBothStreamsLineByLineInArrivalOrder) {
    // The probe waits for a signal between streams so that the arrival order is certain.
    Daemon d(probe({"trap", "err:first\\n", "await-signal", "out:second\\n", "await-signal",
                    "err:third\\n", "exit:0"}));
    d.start();
    ASSERT_TRUE(d.expect_err_line("first"));
    d.send_signal(SIGHUP);
    ASSERT_TRUE(d.expect_out_line("second"));
    d.send_signal(SIGHUP);
    ASSERT_TRUE(d.expect_err_line("third"));
    EXPECT_EQ(d.wait_exit(), ExitStatus::with_code(0));

    EXPECT_EQ(d.lines_err(), (Steps{"first", "third"}));
    EXPECT_EQ(d.lines_out(), (Steps{"signal 1", "second", "signal 1"}));
    std::vector<std::string> order;
    for (const Daemon::Line &line : d.transcript())
        order.push_back(std::string(stream_name(line.stream)) + ":" + line.text);
    EXPECT_EQ(order,
              (Steps{"err:first", "out:signal 1", "out:second", "out:signal 1", "err:third"}));
}

TEST(ProcessDriver, CursorsAssertOrderWithinAStream) {
    Daemon d(probe({"err:one\\ntwo\\nthree\\n", "exit:0"}));
    d.start();
    EXPECT_TRUE(d.wait_for_line(Stream::err, "two"));
    EXPECT_TRUE(d.wait_for_line(Stream::err, "three"));
    // "one" came before the cursor: once the process ended it is not found again.
    EXPECT_FALSE(d.wait_for_line(Stream::err, "one"));
    // A substring is not a whole line; text matching finds it.
    Daemon e(probe({"err:alpha beta\\n", "exit:0"}));
    e.start();
    EXPECT_FALSE(e.wait_for_line(Stream::err, "beta"));
    EXPECT_TRUE(e.wait_for_text(Stream::err, "beta"));
}

TEST(ProcessDriver, PartialLinesAreVisible) {
    Daemon d(probe({"trap", "err:no newline yet", "await-signal", "err: and done\\n",
                    "err:tail without newline", "exit:0"}));
    d.start();
    ASSERT_TRUE(d.wait_for_text(Stream::err, "no newline yet"));
    EXPECT_EQ(d.partial_line(Stream::err), "no newline yet");
    EXPECT_TRUE(d.lines_err().empty());
    d.send_signal(SIGHUP);
    EXPECT_TRUE(d.expect_err_line("no newline yet and done"));
    EXPECT_TRUE(d.wait_for_text(Stream::err, "tail without newline"));
    ASSERT_EQ(d.wait_exit(), ExitStatus::with_code(0));
    EXPECT_EQ(d.text(Stream::err), "no newline yet and done\ntail without newline");
    const auto transcript = d.transcript();
    ASSERT_FALSE(transcript.empty());
    EXPECT_EQ(transcript.back().text, "tail without newline");
    EXPECT_FALSE(transcript.back().complete);
}

struct ExitCase {
    const char *step;
    ExitStatus expected;
};

TEST(ProcessDriver, CollectsExitStatuses) {
    const ExitCase cases[] = {
        {"exit:0", ExitStatus::with_code(0)},        {"exit:3", ExitStatus::with_code(3)},
        {"exit:244", ExitStatus::with_code(-12)}, // a negative code as the parent sees it
        {"raise:9", ExitStatus::killed_by(SIGKILL)}, {"raise:15", ExitStatus::killed_by(SIGTERM)},
    };
    for (const ExitCase &c : cases) {
        Daemon d(probe({c.step}));
        d.start();
        EXPECT_EQ(d.wait_exit(), c.expected) << c.step;
        EXPECT_EQ(d.exit_status(), c.expected) << c.step;
        EXPECT_FALSE(d.running());
    }
    EXPECT_EQ(ExitStatus::with_code(244).describe(), "exit status 244");
    EXPECT_EQ(ExitStatus::killed_by(SIGKILL).describe(), "killed by signal 9 (Killed)");
}

TEST(ProcessDriver, SendsSignalsAndStops) {
    Daemon d(probe({"trap", "out:ready\\n", "await-signal", "await-signal", "exit:7"}));
    d.start();
    ASSERT_TRUE(d.expect_out_line("ready"));
    EXPECT_TRUE(d.running());
    d.send_signal(SIGHUP);
    EXPECT_TRUE(d.expect_out_line("signal 1"));
    EXPECT_EQ(d.stop(SIGTERM), ExitStatus::with_code(7));
    EXPECT_EQ(d.lines_out(), (Steps{"ready", "signal 1", "signal 15"}));
}

TEST(ProcessDriver, WaitsEndAtOnceWhenTheProcessIsGone) {
    Daemon d(probe({"exit:0"}));
    d.start();
    ASSERT_TRUE(d.wait_exit());
    // Returning before its timeout is what shows it: a wait that ran it out took all of it.
    constexpr auto timeout = 10s;
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(d.wait_for_text(Stream::err, "never printed", timeout));
    EXPECT_LT(std::chrono::steady_clock::now() - before, timeout);
}

Daemon *failing_daemon = nullptr;

TEST(ProcessDriver, AMissedExpectationFailsWithTheCapturedOutput) {
    Daemon d(probe({"err:what was printed\\n", "exit:0"}));
    d.start();
    failing_daemon = &d;
    EXPECT_NONFATAL_FAILURE(failing_daemon->expect_err("Triggering AICL", 100ms),
                            "err| what was printed");
    EXPECT_NONFATAL_FAILURE(failing_daemon->expect_out_line("x", 100ms), "did not show the line");
    failing_daemon = nullptr;
}

TEST(ProcessDriver, GivesAControlledEnvironmentAndAFreshWorkingDirectory) {
    setenv("BCL_L0", "1", 1); // the caller's own settings must not leak into the daemon
    DaemonOptions options =
        probe({"argv0", "cwd", "env:SYSTEMD_DEVICE_VERIFY_SYSFS", "env:NOTIFY_SOCKET", "env:BCL_L0",
               "env:BCL_L1", "env:LD_PRELOAD", "env:EXTRA", "file:status=ok", "exit:0"});
    options.argv0 = "charged";
    options.notify_socket = "/tmp/somewhere.sock";
    options.bcl_l1 = "500";
    options.env = {{"EXTRA", "yes"}};
    std::filesystem::path workdir;
    {
        Daemon d(std::move(options));
        d.start();
        ASSERT_EQ(d.wait_exit(), ExitStatus::with_code(0));
        workdir = d.workdir();
        EXPECT_EQ(d.lines_out(),
                  (Steps{"charged", workdir.string(), "SYSTEMD_DEVICE_VERIFY_SYSFS=0",
                         "NOTIFY_SOCKET=/tmp/somewhere.sock", "BCL_L0 unset", "BCL_L1=500",
                         "LD_PRELOAD unset", "EXTRA=yes"}));
        EXPECT_TRUE(std::filesystem::exists(workdir / "status"));
    }
    unsetenv("BCL_L0");
    EXPECT_FALSE(std::filesystem::exists(workdir)) << "the working directory was left behind";
}

TEST(ProcessDriver, SendsAStreamToAFileInsteadOfTheCapture) {
    TempDir files("vh-streams-");
    DaemonOptions options = probe({"out:to the file\\n", "err:captured\\n", "exit:0"});
    options.stdout_file = files.path() / "stdout";
    Daemon d(std::move(options));
    d.start();
    ASSERT_EQ(d.wait_exit(), ExitStatus::with_code(0));
    EXPECT_EQ(d.text(Stream::out), "");
    EXPECT_EQ(d.text(Stream::err), "captured\n");
    std::ifstream in(files.path() / "stdout", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "to the file\n");
}

TEST(ProcessDriver, KillsTheProcessWhenItGoes) {
    pid_t pid = -1;
    {
        Daemon d(probe({"trap", "await-signal"}));
        d.start();
        pid = d.pid();
        EXPECT_TRUE(d.running());
    }
    EXPECT_TRUE(process_gone(pid));
}

TEST(ProcessDriver, ReportsAProgramThatCannotRun) {
    for (const char *binary : {"/nonexistent/charged", "/etc/hostname", ""}) {
        DaemonOptions options;
        options.binary = binary;
        Daemon d(std::move(options));
        EXPECT_THROW(d.start(), std::runtime_error) << binary;
    }
}

// --- watchdog -------------------------------------------------------------------------------

TEST(Watchdog, CountsHeartbeatsAndRecordsOtherMessages) {
    TempDir dir;
    WatchdogCapture watchdog(dir.path() / "notify.sock");
    DaemonOptions options =
        probe({"notify:READY=1", "notify:WATCHDOG=1", "notify:WATCHDOG=1", "exit:0"});
    options.notify_socket = watchdog.path();
    Daemon d(std::move(options));
    d.start();
    EXPECT_TRUE(watchdog.wait_for_count(2, default_timeout));
    EXPECT_EQ(d.wait_exit(), ExitStatus::with_code(0));
    EXPECT_EQ(watchdog.count(), 2);
    EXPECT_EQ(watchdog.times().size(), 2u);
    EXPECT_EQ(watchdog.other_messages(), (Steps{"READY=1"}));
    EXPECT_FALSE(watchdog.wait_for_count(3, 50ms));
}

// --- time warp ------------------------------------------------------------------------------

TEST(TimeWarp, ScalesEveryKindOfWait) {
    // 4 s of the program's time at factor 20 take 0.2 s of real time. libfaketime leaves
    // epoll_pwait2 and absolute timerfd deadlines alone; the daemon uses neither. A wait the
    // warp missed takes at least the whole 4 s of real time, however fast the machine; one it
    // scaled takes less on any machine that is not stalled for seconds.
    for (const char *method :
         {"epoll_wait", "epoll_pwait", "poll", "ppoll", "select", "pselect", "nanosleep",
          "clock_nanosleep", "clock_nanosleep_abs", "usleep", "sleep", "timerfd"}) {
        DaemonOptions options = probe({std::string("wait:") + method + ":4000", "exit:0"});
        options.time_warp = 20;
        Daemon d(std::move(options));
        d.start();
        ASSERT_TRUE(d.wait_for_text(Stream::out, "\n")) << method << d.transcript_text();
        const std::string report = d.lines_out().at(0);
        EXPECT_GE(field(report, "mono_ms"), 3900) << method << ": " << report;
        EXPECT_GE(field(report, "boot_ms"), 3900) << method << ": " << report;
        EXPECT_LT(field(report, "real_ms"), 4000) << method << ": " << report;
        EXPECT_EQ(d.wait_exit(), ExitStatus::with_code(0)) << method;
    }
}

bool has_variable(const Daemon &d, const std::string &entry) {
    return std::find(d.environment().begin(), d.environment().end(), entry) !=
           d.environment().end();
}

TEST(TimeWarp, TheLoopTimeoutOfTwentySecondsTakesAboutOneSecond) {
    // Never less than the second (a wait does not end early), and far less than the 20 s of
    // real time the wait would take unwarped: a slow machine only adds to the second.
    DaemonOptions options = probe({"wait:epoll_pwait:20000", "exit:0"});
    options.time_warp = 20;
    Daemon d(std::move(options));
    const auto started = std::chrono::steady_clock::now();
    d.start();
    ASSERT_TRUE(d.wait_for_text(Stream::out, "\n", 30s)) << d.transcript_text();
    const auto elapsed = std::chrono::steady_clock::now() - started;
    const std::string report = d.lines_out().at(0);
    EXPECT_GE(field(report, "mono_ms"), 19900) << report;
    EXPECT_GE(field(report, "real_ms"), 900) << report;
    EXPECT_LT(field(report, "real_ms"), 20000) << report;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 20s);
    EXPECT_TRUE(has_variable(d, "VH_TIMEWARP_FACTOR=20"));
    EXPECT_TRUE(has_variable(d, "FAKETIME=+0 x20"));
}

TEST(TimeWarp, AKilledProcessLeavesNothingBehindForTheNextWithItsPid) {
    // libfaketime's per-process objects in /dev/shm would make a later process with the same
    // pid fail at start.
    DaemonOptions options = probe({"out:ready\n", "wait:epoll_pwait:600000"});
    options.time_warp = 2;
    Daemon d(std::move(options));
    d.start();
    ASSERT_TRUE(d.expect_out_line("ready"));
    const std::string shared_memory = "/dev/shm/faketime_shm_" + std::to_string(d.pid());
    const std::string semaphore = "/dev/shm/sem.faketime_sem_" + std::to_string(d.pid());
    ASSERT_TRUE(std::filesystem::exists(shared_memory)) << "libfaketime made no " << shared_memory;
    EXPECT_EQ(d.stop(SIGKILL), ExitStatus::killed_by(SIGKILL));
    EXPECT_FALSE(std::filesystem::exists(shared_memory));
    EXPECT_FALSE(std::filesystem::exists(semaphore));
}

TEST(TimeWarp, AnEventStillEndsAWaitAtOnce) {
    // Factor 2: the 20 s wait would take 10 s of real time; the event ends it at once, so in
    // less than that on any machine.
    DaemonOptions options = probe({"wait-fifo:events:20000", "exit:0"});
    options.time_warp = 2;
    Daemon d(std::move(options));
    d.start();
    ASSERT_TRUE(d.expect_out_line("waiting"));
    const int fifo = open((d.workdir() / "events").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(write(fifo, "x", 1), 1);
    close(fifo);
    ASSERT_TRUE(d.expect_out("woke events=1"));
    ASSERT_TRUE(d.wait_exit());
    EXPECT_LT(field(d.lines_out().at(1), "real_ms"), 10000) << d.lines_out().at(1);
}

TEST(TimeWarp, IsOnlyPreloadedWhenAsked) {
    Daemon d(probe({"env:LD_PRELOAD", "env:VH_TIMEWARP_FACTOR", "env:FAKETIME",
                    "wait:epoll_pwait:200", "exit:0"}));
    d.start();
    ASSERT_TRUE(d.wait_exit());
    ASSERT_EQ(d.lines_out().size(), 4u) << d.transcript_text();
    EXPECT_EQ(d.lines_out()[0], "LD_PRELOAD unset");
    EXPECT_EQ(d.lines_out()[1], "VH_TIMEWARP_FACTOR unset");
    EXPECT_EQ(d.lines_out()[2], "FAKETIME unset");
    // The program's clock runs at the kernel's pace: a warp of 2 or more would show at least
    // twice the real time, however long the machine took over the wait.
    EXPECT_LT(field(d.lines_out()[3], "mono_ms"), 2 * field(d.lines_out()[3], "real_ms"))
        << d.lines_out()[3];
}

TEST(TimeWarp, ReachesAProgramRunByAnEmulatorButNotTheEmulator) {
    // qemu-user for the host's own architecture stands in for the one of the device, and a
    // shell for the daemon (the sanitized probe cannot run under qemu): the program sees its
    // argv[0] and the preload, the emulator's own environment has no preload (it would load
    // the guest's library). That a warped wait passes is shown by the scenarios of the
    // device's build.
    DaemonOptions options;
    options.binary = "/bin/bash";
    options.args = {"-c",
                    "echo \"$0\"; echo \"LD_PRELOAD=$LD_PRELOAD\"; echo \"FAKETIME=$FAKETIME\""};
    options.argv0 = "/usr/sbin/charged";
    options.launcher = {"qemu-x86_64"};
    options.time_warp = 20;
    Daemon d(std::move(options));
    d.start();
    ASSERT_EQ(d.wait_exit(), ExitStatus::with_code(0)) << d.transcript_text();
    EXPECT_EQ(d.lines_out(),
              (Steps{"/usr/sbin/charged", "LD_PRELOAD=" + host_time_warp_library().string(),
                     "FAKETIME=+0 x20"}))
        << d.transcript_text();
    EXPECT_FALSE(
        std::any_of(d.environment().begin(), d.environment().end(),
                    [](const std::string &entry) { return entry.starts_with("LD_PRELOAD="); }));
}

// --- scenario facade, with the probe as its daemon ------------------------------------------

ScenarioOptions probe_scenario(Steps steps) {
    ScenarioOptions options;
    options.daemon_binary = VH_PROBE;
    // The probe is built for the host, whatever the daemon under test was built for.
    options.daemon_launcher = {};
    options.daemon_time_warp_library = "";
    options.args = std::move(steps);
    return options;
}

const std::string charge_voltage = path::charger + "/constant_charge_voltage";
const std::string charge_current = path::charger + "/constant_charge_current";
Scenario *failing_scenario = nullptr;

TEST(ScenarioFacade, SeesWritesFilesAndHeartbeatsOfTheDaemon) {
    Scenario s(probe_scenario(
        {"notify:WATCHDOG=1", "cwd", "file:ac_status=Connected slow",
         "write:" + charge_voltage + "=8900000", "write:" + charge_current + "=1000000",
         "write:" + charge_voltage + "=8800000", "trap", "out:ready\\n", "await-signal"}));
    s.start();
    EXPECT_TRUE(s.expect_heartbeats(1));
    EXPECT_TRUE(s.expect_out_line(s.workdir().string()));
    EXPECT_TRUE(s.expect_file("ac_status", "Connected slow"));
    EXPECT_EQ(s.read_status_file("ac_status"), "Connected slow");
    EXPECT_EQ(s.read_file("battery_percent"), std::nullopt);

    // The write cursor asserts order across attributes.
    EXPECT_TRUE(s.expect_write(charge_voltage, "8900000"));
    EXPECT_TRUE(s.expect_write(charge_current, "1000000"));
    EXPECT_TRUE(s.expect_write(charge_voltage, "8800000"));
    s.set_write_cursor(0);
    const auto first = s.next_write_to(charge_voltage);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text, "8900000");
    EXPECT_EQ(s.writes_since_cursor(charge_voltage).size(), 1u);

    s.options().timeout = 300ms;
    failing_scenario = &s;
    EXPECT_NONFATAL_FAILURE(failing_scenario->expect_write(charge_current, "2700000"),
                            "<- \"1000000\"");
    EXPECT_NONFATAL_FAILURE(failing_scenario->expect_file("ac_status", "Connected"),
                            "it holds \"Connected slow\"");
    failing_scenario = nullptr;

    EXPECT_TRUE(s.expect_out_line("ready"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    EXPECT_TRUE(s.watchdog().other_messages().empty());
}

TEST(ScenarioFacade, RestartsTheDaemonInTheSameWorkingDirectory) {
    Scenario s(probe_scenario({"file:battery_percent=45.0"}));
    s.start();
    ASSERT_EQ(s.daemon().wait_exit(), ExitStatus::with_code(0));
    ASSERT_TRUE(s.expect_file("battery_percent", "45.0"));
    s.options().args = {"cwd", "file:battery_percent=46.0"};
    s.start();
    EXPECT_TRUE(s.expect_out_line(s.workdir().string()));
    EXPECT_EQ(s.wait_for_file_change("battery_percent", "45.0"), "46.0");
}

TEST(ScenarioFacade, ReportsADaemonThatIsNotBuilt) {
    ScenarioOptions options;
    options.daemon_binary = "";
    Scenario s(options);
    EXPECT_THROW(s.start(), std::runtime_error);
    EXPECT_THROW(s.daemon(), std::logic_error);
}

// --- the daemon itself ----------------------------------------------------------------------

TEST(DaemonSmoke, PrintsItsVersionAndEndsWithStatusZeroOnSigterm) {
    ScenarioOptions options;
    options.argv0 = "/usr/sbin/charged";
    Scenario s(options);
    s.start();
    ASSERT_TRUE(s.daemon().wait_for_text(Stream::err, "\n"));
    const std::string version_line = s.daemon().lines_err().at(0);
    EXPECT_TRUE(std::regex_match(version_line, std::regex("Starting /usr/sbin/charged - Version: "
                                                          "2\\.6-[a-z]+-[0-9]+-[0-9a-f]{7}")))
        << version_line;
    EXPECT_TRUE(s.expect_heartbeats(1));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    EXPECT_TRUE(s.expect_err_line("Caught Signal: 15"));
    EXPECT_TRUE(s.expect_err_line("Received SIGTERM. Exiting..."));
    EXPECT_TRUE(s.watchdog().other_messages().empty());
}

TEST(DaemonSmoke, ItsLoopTimeoutPassesInWarpedTime) {
    // A charger that never finishes AICL: the daemon gives up on the first quiet 20 s wait,
    // which at factor 20 takes about a second, and unwarped never less than 20 s.
    ScenarioOptions options;
    options.time_warp = 20;
    options.headset.auto_aicl = false;
    options.timeout = 30s;
    Scenario s(options);
    s.start();
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
    const auto triggered = std::chrono::steady_clock::now();
    EXPECT_TRUE(s.expect_err("QPH2 AICL Timeout, Trying anyway\n"));
    EXPECT_LT(std::chrono::steady_clock::now() - triggered, 20s);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
