// SPDX-License-Identifier: MIT
// Hardware and system faults while the daemon runs: failing and empty attribute reads and
// writes, devices that vanish and come back, event and notification floods, signal storms,
// a working directory that is read-only or full, and readers of the status files racing the
// writer. In every case the daemon keeps running and feeding the watchdog, loses no status
// file, writes nothing a charger must never get, and behaves correctly once the fault ends.
#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace vh {
namespace {

using namespace std::chrono_literals;

constexpr const char *report_header = "---- Current State ----\n";

const std::array<const char *, 6> status_files = {"ac_status",
                                                  "battery_percent",
                                                  "battery_status",
                                                  "secs_until_shutdown_request",
                                                  "secs_until_battery_full",
                                                  "typec_contract"};

// Every status file present and not empty.
void expect_status_files(Scenario &s) {
    for (const char *name : status_files) {
        const std::optional<std::string> content = s.read_file(name);
        EXPECT_TRUE(content && !content->empty())
            << name << " lost: " << (content ? "empty" : "absent");
    }
}

// What a charger must never be given, whatever faults came before: charging switched off, a
// charge current outside the fast-charge rules, a charge voltage other than 8.8 V or 8.9 V.
void expect_no_forbidden_writes(Scenario &s) {
    for (const FakeSysfs::Write &w : s.fs().writes_to(path::charger + "/charging_enable"))
        EXPECT_EQ(w.text, "1") << "charging disabled by write #" << w.seq;
    for (const FakeSysfs::Write &w : s.fs().writes_to(path::charger + "/constant_charge_current"))
        EXPECT_TRUE(w.text == "1000000" || w.text == "1350000" || w.text == "2700000")
            << "charge current " << w.text;
    for (const FakeSysfs::Write &w : s.fs().writes_to(path::charger + "/constant_charge_voltage"))
        EXPECT_TRUE(w.text == "8800000" || w.text == "8900000") << "charge voltage " << w.text;
}

// Alive: still running, a heartbeat for each of two passes caused now, no status file lost,
// nothing forbidden written. Each event of an unknown supply ends a wait of its own, so the
// two heartbeats come from passes that began after the count was taken, however fast or
// slow the machine is, and whether or not a timeout pass falls in between.
void expect_alive(Scenario &s) {
    ASSERT_TRUE(s.daemon().running()) << s.daemon().transcript_text(40);
    constexpr int passes = 2;
    const int heartbeats = s.watchdog().count();
    for (int i = 0; i < passes; ++i)
        story::send_unknown_supply_change(s);
    ASSERT_TRUE(s.expect_heartbeats(heartbeats + passes));
    expect_status_files(s);
    expect_no_forbidden_writes(s);
}

// Correct behaviour: a 9 V source gets the 1 A charge current and the contract is published;
// without it the contract reads invalid again.
void expect_plug_cycle_works(Scenario &s) {
    s.skip_writes();
    s.hs().usb.plug(9'000'000, 2'000'000, usb_type::pd);
    EXPECT_TRUE(s.expect_write(path::charger + "/constant_charge_current", "1000000"));
    EXPECT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=9000mV, Current=2000mA"));
    s.hs().usb.unplug();
    EXPECT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
}

// The attributes of the daemon's devices, by device.
struct Device {
    const char *name;
    std::vector<std::string> dirs;
};

std::vector<std::string> attributes_of(FakeSysfs &fs, const std::vector<std::string> &dirs) {
    std::vector<std::string> result;
    for (const std::string &dir : dirs) {
        if (!fs.exists(dir))
            continue;
        if (!fs.is_symlink(dir) && fs.canonical(dir) != "" && fs.list(dir).empty()) {
            result.push_back(dir); // a single file
            continue;
        }
        for (const std::string &name : fs.list(dir)) {
            const std::string path = dir + "/" + name;
            if (!fs.is_symlink(path) && fs.list(path).empty() && name != "subsystem" &&
                name != "device")
                result.push_back(path);
        }
    }
    return result;
}

std::vector<Device> devices() {
    return {
        {"charger", {path::charger}},
        {"tcpm", {path::tcpm}},
        {"internal gauge", {path::gauge(3, 36)}},
        {"adc", {path::adc}},
        {"limiter", {path::hwmon, path::bcl_enable, path::bcl_throttle_accum}},
        {"loads",
         {path::backlight_left, path::backlight_right, path::preboost, path::room_tracking_led}},
        {"hot-swap", {path::hotswap}},
        {"pack gauge", {path::pack_gauge}},
        {"cross-charger", {path::mp2652}},
    };
}

enum class FaultKind { read_error, write_error, empty, truncated };

struct Fault {
    const char *name;
    FaultKind kind;
    int error;
};

// Starts a fault on every listed attribute; the returned function ends it.
std::function<void()> start_fault(FakeSysfs &fs, const std::vector<std::string> &attributes,
                                  const Fault &fault) {
    std::vector<std::pair<std::string, std::string>> saved;
    for (const std::string &path : attributes) {
        switch (fault.kind) {
        case FaultKind::read_error:
            fs.fail_reads(path, fault.error);
            break;
        case FaultKind::write_error:
            fs.fail_writes(path, fault.error);
            break;
        case FaultKind::empty:
        case FaultKind::truncated: {
            const std::string value = fs.value(path);
            saved.emplace_back(path, value);
            fs.set_silently(path, fault.kind == FaultKind::empty ? "" : value.substr(0, 1));
            break;
        }
        }
    }
    return [&fs, attributes, fault, saved] {
        for (const std::string &path : attributes) {
            if (!fs.exists(path))
                continue;
            if (fault.kind == FaultKind::read_error)
                fs.fail_reads(path, 0);
            if (fault.kind == FaultKind::write_error)
                fs.fail_writes(path, 0);
        }
        for (const auto &[path, value] : saved)
            if (fs.exists(path))
                fs.set_silently(path, value);
    };
}

const Fault faults[] = {
    {"read EIO", FaultKind::read_error, EIO},
    {"read EAGAIN", FaultKind::read_error, EAGAIN},
    {"read ENODEV", FaultKind::read_error, ENODEV},
    {"write EIO", FaultKind::write_error, EIO},
    {"write EAGAIN", FaultKind::write_error, EAGAIN},
    {"write ENODEV", FaultKind::write_error, ENODEV},
    {"empty reads", FaultKind::empty, 0},
    {"truncated reads", FaultKind::truncated, 0},
};

// Stirs every part of the daemon while a fault lasts: a source comes and goes, a load, the
// pack's presence, a timeout pass.
void stir(Scenario &s) {
    s.hs().usb.plug(9'000'000, 3'000'000, usb_type::pd);
    s.hs().loads.set_backlight_left(true);
    s.hs().hotswap.emit_change();
    s.hs().loads.set_backlight_left(false);
    s.hs().usb.unplug();
}

TEST(Faults, ReadAndWriteErrorsOnEveryAttributeOneDeviceAtATimeAndAllAtOnce) {
    for (const Fault &fault : faults) {
        SCOPED_TRACE(fault.name);
        ScenarioOptions options;
        options.time_warp = 50; // a timeout pass every 0.4 s
        options.headset.pack_attached = true;
        Scenario s(options);
        s.start();
        ASSERT_TRUE(s.expect_err(report_header));
        ASSERT_TRUE(s.expect_heartbeats(2));

        std::vector<std::string> everything;
        for (const Device &device : devices()) {
            SCOPED_TRACE(device.name);
            const std::vector<std::string> attributes = attributes_of(s.fs(), device.dirs);
            ASSERT_FALSE(attributes.empty()) << device.name;
            everything.insert(everything.end(), attributes.begin(), attributes.end());
            const auto end_fault = start_fault(s.fs(), attributes, fault);
            stir(s);
            expect_alive(s);
            end_fault();
            expect_alive(s);
            expect_plug_cycle_works(s);
        }
        SCOPED_TRACE("all devices at once");
        const auto end_fault = start_fault(s.fs(), everything, fault);
        stir(s);
        expect_alive(s);
        end_fault();
        expect_alive(s);
        expect_plug_cycle_works(s);

        s.skip_writes();
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
        story::expect_shutdown_sequence(s);
    }
}

TEST(Faults, DevicesVanishAndComeBack) {
    ScenarioOptions options;
    options.time_warp = 20;
    options.headset.pack_attached = true;
    Scenario s(options);
    s.start();
    ASSERT_TRUE(s.expect_out("x-charge ready: 1"));

    // The cross-charger's directory.
    s.hs().mp2652.vanish();
    ASSERT_TRUE(s.expect_out("x-charge ready: 0"));
    expect_alive(s);
    s.hs().mp2652.appear();
    ASSERT_TRUE(s.expect_out("x-charge ready: 1"));

    // The pack's fuel gauge goes without its remove event; then the whole pack goes and comes
    // back.
    s.fs().remove(path::pack_gauge);
    s.hs().hotswap.emit_change();
    expect_alive(s);
    s.hs().pack.detach();
    ASSERT_TRUE(s.expect_out("Tavlock: external battery disconnected"));
    s.hs().pack.attach();
    ASSERT_TRUE(s.expect_out("Tavlock: external battery detected"));
    expect_alive(s);

    // The ADC's channel files: the report shows 0 V. The channels are opened once at start-up
    // and kept open; a vanished one is looked up again at the next timeout pass, or found by
    // the daemon started again.
    const std::string vbat = path::adc + "/" + adc_channel::vbat;
    const std::string value = s.fs().value(vbat);
    s.fs().remove(vbat);
    ASSERT_TRUE(s.expect_err("CHG(0) - V:  0.0"));
    expect_alive(s);
    s.fs().add_attr(vbat, value);
    expect_alive(s);

    // A watched controller attribute: its read fails once and the loop stays quiet.
    const std::string watched = path::hotswap + "/internal_active";
    s.fs().remove(watched);
    s.hs().hotswap.emit_change();
    expect_alive(s);
    s.fs().add_attr(watched, "1");
    expect_alive(s);
    expect_plug_cycle_works(s);

    s.skip_writes();
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    story::expect_shutdown_sequence(s);
    s.start();
    EXPECT_TRUE(s.expect_err("CHG(0) - V:  7.6"));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

TEST(Faults, TenThousandUdevEventsAndANotificationFloodOnTheWatchedFiles) {
    ScenarioOptions options;
    options.time_warp = 20;
    options.headset.pack_attached = true;
    Scenario s(options);
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err(report_header));

    // Mostly events that ask for no cycle (malformed names routed nowhere), one in a hundred
    // a source event with a malformed number, which does.
    const std::array<const char *, 6> malformed = {
        "", "-", "99999999999999999999", "-2147483649", "1x", "\t 7"};
    for (int i = 0; i < 10'000; ++i) {
        const char *junk = malformed[static_cast<std::size_t>(i) % malformed.size()];
        if (i % 100 == 0) {
            Properties p = story::tcpm_properties("typec", true, 5'000'000, 1'000'000, "C");
            p.emplace_back("POWER_SUPPLY_CURRENT_NOW", junk);
            story::send_change(s, path::tcpm, p);
        } else if (i % 2 == 0) {
            story::send_change(s, path::tcpm, {{"OF_NAME", junk}, {"POWER_SUPPLY_NAME", junk}});
        } else {
            story::send_change(s, path::charger, {{"POWER_SUPPLY_NAME", junk}});
        }
    }
    for (int round = 0; round < 300; ++round)
        for (const std::string &name : Headset::Hotswap::watched_attributes())
            s.fs().notify(path::hotswap + "/" + name);

    // The last event shows once the daemon has worked through the flood.
    story::send_change(s, path::tcpm,
                       story::tcpm_properties("typec", true, 15'000'000, 3'000'000, "C [PD]"));
    s.options().timeout = 120s;
    EXPECT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=15000mV, Current=3000mA"));
    s.options().timeout = default_timeout;
    expect_alive(s);
    EXPECT_EQ(d.count(Stream::err, "epoll_pwait() error"), 0);
    s.hs().usb.plug(5'000'000, 3'000'000, usb_type::c);
    s.hs().usb.unplug();
    expect_plug_cycle_works(s);
    s.skip_writes();
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    story::expect_shutdown_sequence(s);
}

TEST(Faults, SighupStormIsOnlyLogged) {
    Scenario s;
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err(report_header));
    for (int i = 0; i < 2000; ++i)
        d.send_signal(SIGHUP);
    ASSERT_TRUE(s.expect_err("Caught Signal: 1\n"));
    expect_plug_cycle_works(s);
    expect_alive(s);
    s.skip_writes();
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    story::expect_shutdown_sequence(s);
}

// Holds the daemon inside a read of path until released, so a signal lands mid-pass.
class ReadGate {
  public:
    ReadGate(FakeSysfs &fs, std::string path) : fs_(fs), path_(std::move(path)) {
        value_ = fs_.value(path_);
        fs_.on_read(path_, [this] {
            std::unique_lock lock(mutex_);
            if (armed_) {
                held_ = true;
                changed_.notify_all();
                changed_.wait_for(lock, 10s, [this] { return !armed_; });
            }
            return value_;
        });
    }
    ~ReadGate() {
        release();
        fs_.on_read(path_, {});
    }
    void arm() {
        std::lock_guard lock(mutex_);
        armed_ = true;
    }
    bool wait_held() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [this] { return held_; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        armed_ = false;
        changed_.notify_all();
    }

  private:
    FakeSysfs &fs_;
    std::string path_;
    std::string value_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool held_ = false;
};

void expect_prompt_orderly_stop(Scenario &s, const std::function<void()> &release) {
    Daemon &d = s.daemon();
    const int reports = d.count(Stream::err, report_header);
    d.send_signal(SIGTERM);
    release();
    const auto status = d.wait_exit(5s);
    ASSERT_TRUE(status.has_value()) << d.transcript_text(40);
    EXPECT_EQ(*status, ExitStatus::with_code(0));
    EXPECT_TRUE(s.expect_err("Received SIGTERM. Exiting...\n"));
    // Within one pass: at most the cycle that was running finishes.
    EXPECT_LE(d.count(Stream::err, report_header), reports + 1);
    story::expect_shutdown_sequence(s);
}

TEST(Faults, SigtermDuringAnUpdateCycleStopsAfterThatPass) {
    Scenario s;
    s.start();
    ASSERT_TRUE(s.expect_err(report_header));
    ReadGate gate(s.fs(), path::adc + "/" + adc_channel::vbat);
    gate.arm();
    s.hs().usb.plug(5'000'000, 3'000'000, usb_type::c);
    ASSERT_TRUE(gate.wait_held());
    s.skip_writes();
    expect_prompt_orderly_stop(s, [&gate] { gate.release(); });
}

TEST(Faults, SigtermDuringTheFastChargeEntryPauseStopsAfterThatPass) {
    Scenario s;
    s.start();
    ASSERT_TRUE(s.expect_err(report_header));
    s.hs().usb.plug(5'000'000, 3'000'000, usb_type::pd);
    s.hs().charger.finish_aicl();
    ASSERT_TRUE(s.expect_heartbeats(s.watchdog().count() + 1));
    s.hs().usb.renegotiate(9'000'000, 3'000'000, usb_type::pd);
    ASSERT_TRUE(s.expect_err("Entering QPH2 Directly\n"));
    s.skip_writes();
    expect_prompt_orderly_stop(s, [] {});
}

TEST(Faults, SigtermDuringStartUpStopsWithTheShutdownSequence) {
    Scenario s;
    // The charger's init reads qph2; the signal comes while it waits there.
    ReadGate gate(s.fs(), path::charger + "/qph2");
    gate.arm();
    Daemon &d = s.start();
    ASSERT_TRUE(gate.wait_held()) << d.transcript_text(20);
    expect_prompt_orderly_stop(s, [&gate] { gate.release(); });
}

// A tmpfs over the working directory, inside the test's own mount namespace.
class WorkdirMount {
  public:
    WorkdirMount(const std::filesystem::path &dir, const char *options) : dir_(dir) {
        ok_ = mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) == 0;
    }
    ~WorkdirMount() {
        if (ok_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    bool ok() const { return ok_; }
    bool remount(unsigned long flags, const char *options) {
        return mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | flags, options) == 0;
    }

  private:
    std::filesystem::path dir_;
    bool ok_ = false;
};

std::map<std::string, std::string> status_contents(Scenario &s) {
    std::map<std::string, std::string> result;
    for (const char *name : status_files)
        result[name] = s.read_status_file(name);
    return result;
}

TEST(Faults, ReadOnlyAndFullWorkingDirectoryKeepTheLastGoodFiles) {
    ScenarioOptions options;
    options.time_warp = 20;
    Scenario s(options);
    WorkdirMount tmpfs(s.workdir(), "size=64k,mode=0755");
    ASSERT_TRUE(tmpfs.ok()) << "cannot mount a tmpfs on the working directory";
    s.start();
    ASSERT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
    expect_status_files(s);

    struct Case {
        const char *name;
        std::function<void()> begin, end;
    };
    const std::filesystem::path filler = s.workdir() / "filler";
    const Case cases[] = {
        {"read-only", [&] { ASSERT_TRUE(tmpfs.remount(MS_RDONLY, "size=64k")); },
         [&] { ASSERT_TRUE(tmpfs.remount(0, "size=64k")); }},
        {"full",
         [&] {
             std::ofstream out(filler, std::ios::binary);
             const std::string block(4096, 'x');
             while (out.write(block.data(), block.size()))
                 out.flush();
         },
         [&] { std::filesystem::remove(filler); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = status_contents(s);
        c.begin();
        s.hs().usb.plug(9'000'000, 2'000'000, usb_type::pd);
        ASSERT_TRUE(s.expect_write(path::charger + "/constant_charge_current", "1000000"));
        // Three more cycles that try to rewrite every status file: a charger event always
        // asks for one, and its pass ends with a heartbeat.
        const int heartbeats = s.watchdog().count();
        for (int i = 0; i < 3; ++i)
            s.hs().charger.emit_change();
        ASSERT_TRUE(s.expect_heartbeats(heartbeats + 3));
        EXPECT_TRUE(s.daemon().running());
        EXPECT_EQ(status_contents(s), before);
        c.end();
        EXPECT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=9000mV, Current=2000mA"));
        expect_status_files(s);
        s.hs().usb.unplug();
        EXPECT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
    }
    s.skip_writes();
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    story::expect_shutdown_sequence(s);
}

// The working directory's entries by name, once the daemon has stopped.
std::set<std::string> workdir_entries(Scenario &s) {
    std::set<std::string> names;
    for (const std::filesystem::directory_entry &entry :
         std::filesystem::directory_iterator(s.workdir()))
        names.insert(entry.path().filename().string());
    return names;
}

// Puts a directory (holding a file, when asked) at a name in the working directory. The
// daemon's own file may be there for a moment: its ".tmpfile" in the middle of a cycle, which
// is waited out, or a status file it renames into place, which is removed.
void put_directory(Scenario &s, const std::string &name, bool holding_a_file) {
    const std::filesystem::path path = s.file(name);
    const auto deadline = std::chrono::steady_clock::now() + s.timeout();
    std::error_code error;
    while (!std::filesystem::is_directory(path) && std::chrono::steady_clock::now() < deadline) {
        if (name != ".tmpfile")
            std::filesystem::remove(path, error);
        if (!std::filesystem::create_directory(path, error))
            std::this_thread::yield();
    }
    ASSERT_TRUE(std::filesystem::is_directory(path)) << name << ": " << error.message();
    if (holding_a_file)
        std::ofstream(path / "kept") << "kept";
}

std::filesystem::perms status_file_mode(Scenario &s, const char *name) {
    return std::filesystem::symlink_status(s.file(name)).permissions();
}

// Any member of the daemon's group can leave something at ".tmpfile" that unlink cannot
// remove. The status files are still replaced whole, through a temporary of a fresh name,
// with the mode ".tmpfile" would give them; the obstacle is reported once, left as it is,
// and reported again only when it comes back after ".tmpfile" worked.
TEST(Faults, AnUnremovableEntryAtTheTemporaryFileDoesNotStopTheStatusFiles) {
    const std::string obstacle_line =
        "Cannot remove .tmpfile: Is a directory; status files go through .tmpfile.XXXXXX";
    struct Obstacle {
        const char *name;
        bool holds_a_file;
    };
    const Obstacle obstacles[] = {{"empty directory", false}, {"directory holding a file", true}};
    for (const Obstacle &obstacle : obstacles) {
        SCOPED_TRACE(obstacle.name);
        ScenarioOptions options;
        options.time_warp = 20;
        Scenario s(options);
        put_directory(s, ".tmpfile", obstacle.holds_a_file);
        Daemon &d = s.start();
        ASSERT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
        EXPECT_TRUE(s.expect_err_line(obstacle_line));
        expect_status_files(s);

        s.hs().usb.plug(9'000'000, 2'000'000, usb_type::pd);
        EXPECT_TRUE(s.expect_file("ac_status", "Connected slow"));
        EXPECT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=9000mV, Current=2000mA"));
        ASSERT_TRUE(s.expect_heartbeats(s.watchdog().count() + 3));
        EXPECT_EQ(d.count(Stream::err, obstacle_line), 1) << "reported once, not every cycle";
        const std::filesystem::perms worked_around = status_file_mode(s, "typec_contract");

        // Gone: ".tmpfile" again, and the same mode.
        std::filesystem::remove_all(s.file(".tmpfile"));
        s.hs().usb.unplug();
        EXPECT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
        EXPECT_EQ(status_file_mode(s, "typec_contract"), worked_around);

        // Back: reported again.
        put_directory(s, ".tmpfile", obstacle.holds_a_file);
        s.hs().usb.plug(5'000'000, 3'000'000, usb_type::c);
        EXPECT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=5000mV, Current=3000mA"));
        EXPECT_TRUE(s.expect_err_line(obstacle_line));
        expect_status_files(s);

        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
        // Every temporary was renamed into place; the obstacle is untouched.
        std::set<std::string> expected(status_files.begin(), status_files.end());
        expected.insert({"BAT0", ".tmpfile"});
        EXPECT_EQ(workdir_entries(s), expected);
        EXPECT_TRUE(std::filesystem::is_directory(s.file(".tmpfile")));
        EXPECT_EQ(std::filesystem::exists(s.file(".tmpfile/kept")), obstacle.holds_a_file);
    }
}

// A status file's name taken by something a file cannot replace (a directory holding a
// file): the rename fails. The temporary goes, the failure is reported when it starts and
// again only after that file was replaced once more. Like a temporary that cannot be
// created, it holds back the files after it when it is one of the first three; the last
// three are independent.
TEST(Faults, AStatusFileThatCannotBeReplacedIsReportedAndHoldsBackTheFilesAfterIt) {
    struct Case {
        const char *blocked;
        std::set<std::string> held_back;
    };
    const Case cases[] = {
        {"battery_percent",
         {"battery_status", "secs_until_shutdown_request", "secs_until_battery_full",
          "typec_contract"}},
        {"secs_until_shutdown_request", {}},
        {"typec_contract", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.blocked);
        ScenarioOptions options;
        options.time_warp = 20;
        Scenario s(options);
        Daemon &d = s.start();
        ASSERT_TRUE(s.expect_file("typec_contract", "Valid=0, Voltage=0mV, Current=0mA"));
        const std::string line =
            std::string("Rename .tmpfile to ") + c.blocked + " failed: Is a directory";

        put_directory(s, c.blocked, true);
        EXPECT_TRUE(s.expect_err_line(line));
        const auto before = status_contents(s);
        s.hs().usb.plug(9'000'000, 2'000'000, usb_type::pd);
        EXPECT_TRUE(s.expect_file("ac_status", "Connected slow"));
        // The cycle that wrote ac_status has ended, and two more after it.
        ASSERT_TRUE(s.expect_heartbeats(s.watchdog().count() + 3));
        EXPECT_EQ(d.count(Stream::err, line), 1) << "reported when it starts, not every cycle";
        for (const std::string &name : c.held_back) {
            EXPECT_EQ(s.read_status_file(name), before.at(name)) << name << " not held back";
        }
        if (std::string_view(c.blocked) != "typec_contract" &&
            !c.held_back.contains("typec_contract")) {
            EXPECT_EQ(s.read_status_file("typec_contract"),
                      "Valid=1, Voltage=9000mV, Current=2000mA");
        }
        EXPECT_TRUE(std::filesystem::exists(s.file(std::string(c.blocked) + "/kept")));

        // Gone: every file follows again (a contract not seen before, so no held back file
        // can pass for it).
        std::filesystem::remove_all(s.file(c.blocked));
        s.hs().usb.unplug();
        s.hs().usb.plug(5'000'000, 3'000'000, usb_type::c);
        EXPECT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=5000mV, Current=3000mA"));
        expect_status_files(s);

        // Back: reported again, and no temporary is left behind by the failing renames.
        put_directory(s, c.blocked, true);
        EXPECT_TRUE(s.expect_err_line(line));
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
        EXPECT_EQ(d.count(Stream::err, line), 2);
        std::set<std::string> expected(status_files.begin(), status_files.end());
        expected.insert("BAT0");
        EXPECT_EQ(workdir_entries(s), expected);
    }
}

TEST(Faults, AConcurrentReaderNeverSeesAPartialStatusFile) {
    Scenario s;
    Daemon &d = s.start();
    for (const char *name : status_files)
        ASSERT_TRUE(s.wait_for_file(name)) << name;

    const auto &formats = status_file_formats();
    std::atomic<bool> reading = true;
    std::atomic<long> reads = 0, bad = 0;
    std::string first_bad;
    std::thread reader([&] {
        while (reading) {
            for (const auto &[name, format] : formats) {
                const std::optional<std::string> content = s.read_file(name);
                ++reads;
                if (!content || !std::regex_match(*content, format)) {
                    if (bad++ == 0)
                        first_bad = name + ": " + (content ? "\"" + *content + "\"" : "absent");
                }
            }
        }
    });
    // Each event changes the contract, so each cycle rewrites every file with new content.
    // (The soak runs the same reader over its whole run: 3,100 cycles in a virtual day.)
    constexpr int cycles = 300;
    const int start = d.count(Stream::err, report_header);
    d.skip_to_end(Stream::err);
    for (int i = 1; d.count(Stream::err, report_header) < start + cycles && i < 4 * cycles; ++i) {
        story::send_change(s, path::tcpm,
                           story::tcpm_properties("typec", true, 9'000'000, i * 1000, "C [PD]"));
        d.wait_for_text(Stream::err, report_header, 2s);
    }
    ASSERT_TRUE(d.wait_for_text(Stream::err, report_header));
    reading = false;
    reader.join();
    EXPECT_GE(d.count(Stream::err, report_header), start + cycles);
    EXPECT_EQ(bad.load(), 0) << "first: " << first_bad << " of " << reads.load() << " reads";
    expect_alive(s);
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

} // namespace
} // namespace vh
