// SPDX-License-Identifier: MIT
// chargectl against the real daemon in the virtual headset: the status view and its JSON
// match the daemon's files, each choice is written, confirmed by chargectl and shown in the
// daemon's own report, a caller without permission is told the fix, and watch follows the
// changes as they come.
#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef CHARGECTL
#error "CHARGECTL is the path of the built client"
#endif

namespace vh {
namespace {

using namespace std::chrono_literals;

// The 20 s loop timeout takes one second: a choice is confirmed within about two.
constexpr double fast_time = 20.0;

const char *const control_files[] = {"set_internal_batt_primary", "set_external_batt_primary",
                                     "cross_charge_secondary", "disable_cross_charging"};

ScenarioOptions with_pack(bool headstrap = true) {
    ScenarioOptions options;
    options.headset.headstrap = headstrap;
    options.headset.pack_attached = headstrap;
    options.headset.internal.capacity = 50;
    options.headset.pack.capacity = 80;
    options.time_warp = fast_time;
    return options;
}

struct client_run {
    ExitStatus status;
    std::string out;
    std::string err;
    std::string transcript;
};

// chargectl with the daemon's working directory and the arguments; launcher runs it as
// another user (setpriv).
DaemonOptions client_options(const Scenario &s, const std::vector<std::string> &arguments,
                             std::vector<std::string> launcher = {}) {
    DaemonOptions options;
    options.binary = CHARGECTL;
    options.args = {"--dir", s.workdir().string()};
    options.args.insert(options.args.end(), arguments.begin(), arguments.end());
    options.launcher = std::move(launcher);
    return options;
}

client_run run_client(const Scenario &s, const std::vector<std::string> &arguments,
                      std::vector<std::string> launcher = {}) {
    Daemon client(client_options(s, arguments, std::move(launcher)));
    client.start();
    // Its own bound (a choice waits up to 45 s) plus a margin for a busy machine.
    const std::optional<ExitStatus> status = client.wait_exit(60s);
    if (!status) {
        client.send_signal(SIGKILL);
        ADD_FAILURE() << "chargectl did not end:\n" << client.transcript_text();
        return {ExitStatus::killed_by(SIGKILL), "", "", ""};
    }
    return {*status, client.text(Stream::out), client.text(Stream::err), client.transcript_text()};
}

// The report's manual-control line for the four flags.
std::string manual_line(int internal, int external, int secondary, int disable) {
    return "  Manual control: internal as primary: " + std::to_string(internal) +
           ", external as primary: " + std::to_string(external) +
           ", x-charge secondary: " + std::to_string(secondary) +
           ", disable x-charging: " + std::to_string(disable);
}

void start_and_settle(Scenario &s) {
    s.start();
    ASSERT_TRUE(s.expect_err("---- Current State ----\n"));
    ASSERT_TRUE(s.wait_for_file("typec_contract"));
}

// Stops the daemon and returns once it has stopped: then no rename of a status file is
// under way, and none comes until it is continued.
void pause_daemon(Scenario &s) {
    s.daemon().send_signal(SIGSTOP);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(s.daemon().pid()), &info, WSTOPPED), 0);
}

// Every status file written that long ago: a daemon that stopped writing.
void age_status_files(const Scenario &s, std::chrono::seconds age) {
    for (const auto &[name, format] : status_file_formats()) {
        std::filesystem::last_write_time(s.file(name),
                                         std::filesystem::file_time_type::clock::now() - age);
    }
}

TEST(Client, StatusShowsTheDaemonsFilesAsTextAndJson) {
    Scenario s(with_pack());
    s.hs().usb.plug(9_V, 3_A, usb_type::pd);
    start_and_settle(s);
    ASSERT_TRUE(s.expect_file("typec_contract", "Valid=1, Voltage=9000mV, Current=3000mA"));
    ASSERT_TRUE(s.wait_for_file("BAT1"));
    ASSERT_TRUE(s.expect_out("Tavlock: external battery detected"));

    const std::string percent = s.read_status_file("battery_percent");
    const std::string battery_status = s.read_status_file("battery_status");
    const std::string bat1 = s.read_link("BAT1").value_or("(none)");
    const struct {
        std::vector<std::string> arguments;
        std::vector<std::string> expected;
    } cases[] = {
        {{"status"},
         {"charged:        running, last update ", "directory:      " + s.workdir().string() + "\n",
          "USB-C power:    Connected slow, 9000 mV 3000 mA (27.0 W)\n",
          "battery:        " + percent + " %, " + battery_status + "\n",
          "pack battery:   80 % (BAT1 -> " + bat1 + ")\n",
          "primary:        auto (set_internal_batt_primary missing, set_external_batt_primary "
          "missing)\n",
          "cross-charge:   on (cross_charge_secondary missing, disable_cross_charging missing)\n"}},
        {{}, {"charged:        running, last update "}}, // status is the default command
        {{"status", "--json"},
         {"{\"directory\":\"" + s.workdir().string() + "\",\"running\":true,",
          "\"ac_status\":\"Connected slow\",\"battery_percent\":" + percent + ",",
          "\"battery_status\":\"" + battery_status + "\",",
          "\"typec_contract\":{\"valid\":true,\"voltage_mv\":9000,\"current_ma\":3000}",
          "\"bat1\":{\"target\":\"" + bat1 + "\",\"present\":true,\"capacity\":80}",
          "\"primary\":\"auto\",\"cross_charge\":\"on\"", "}\n"}},
    };
    for (const auto &c : cases) {
        const client_run run = run_client(s, c.arguments);
        EXPECT_EQ(run.status, ExitStatus::with_code(0)) << run.transcript;
        for (const std::string &text : c.expected) {
            EXPECT_NE(run.out.find(text), std::string::npos) << "no \"" << text << "\" in:\n"
                                                             << run.out;
        }
    }
    // With the gauge gone the link stays: the pack shows as not connected.
    s.hs().pack.detach();
    ASSERT_TRUE(s.expect_out("Tavlock: external battery disconnected"));
    const client_run detached = run_client(s, {"status"});
    EXPECT_NE(detached.out.find("pack battery:   not connected (BAT1 -> " + bat1 + " is gone)"),
              std::string::npos)
        << detached.out;
}

TEST(Client, StatusSaysWhenTheDaemonDoesNotRun) {
    Scenario s(with_pack());
    start_and_settle(s);
    std::vector<std::pair<std::string, std::optional<std::string>>> last_written;
    for (const auto &[name, format] : status_file_formats())
        last_written.emplace_back(name, s.read_file(name));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    // The files stay as charged last wrote them: readers tell a stopped daemon by their age.
    for (const auto &[name, content] : last_written) {
        ASSERT_TRUE(content.has_value()) << name;
        EXPECT_EQ(s.read_file(name), content) << name;
    }
    age_status_files(s, 10min);
    const std::string missing = (s.workdir() / "missing").string();
    const struct {
        std::vector<std::string> arguments;
        std::string expected;
    } cases[] = {
        {{"status"}, "charged:        NOT RUNNING: last update 10 min ago"},
        {{"status", "--json"}, "\"running\":false,\"last_update_age_s\":600,"},
        {{"--dir", missing, "status"}, "NOT RUNNING? cannot read " + missing},
        {{"--dir", missing, "status", "--json"}, "\"running\":false,\"last_update_age_s\":null"},
    };
    for (const auto &c : cases) {
        const client_run run = run_client(s, c.arguments);
        EXPECT_EQ(run.status, ExitStatus::with_code(3)) << run.transcript;
        EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out;
    }
    // A choice would be reset when the daemon starts: refused.
    const client_run choice = run_client(s, {"primary", "external"});
    EXPECT_EQ(choice.status, ExitStatus::with_code(3)) << choice.transcript;
    EXPECT_NE(choice.err.find("charged does not run"), std::string::npos) << choice.err;
    EXPECT_EQ(s.read_file("set_external_batt_primary"), std::nullopt);
}

TEST(Client, EachChoiceIsConfirmedAndShownInTheDaemonsReport) {
    Scenario s(with_pack());
    start_and_settle(s);
    ASSERT_TRUE(s.expect_out("Tavlock: external battery detected"));
    const struct {
        const char *command;
        const char *value;
        std::string manual; // the report line of a cycle after the confirmation
        const char *power_source;
    } cases[] = {
        // No control file exists yet: chargectl makes them.
        {"primary", "external", manual_line(0, 1, 0, 0), "External"},
        {"cross-charge", "secondary", manual_line(0, 1, 1, 0), "External"},
        {"primary", "internal", manual_line(1, 0, 1, 0), "Internal"},
        {"cross-charge", "off", manual_line(1, 0, 0, 1), "Internal"},
        {"cross-charge", "on", manual_line(1, 0, 0, 0), "Internal"},
        {"primary", "auto", manual_line(0, 0, 0, 0), nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.value);
        const client_run run = run_client(s, {c.command, c.value});
        EXPECT_EQ(run.status, ExitStatus::with_code(0)) << run.transcript;
        EXPECT_EQ(run.out, std::string(c.command) + " " + c.value +
                               ": taken by charged in its update cycle\n");
        // The confirming cycle printed its report before its status files; later ones too.
        s.daemon().skip_to_end(Stream::out);
        ASSERT_TRUE(s.expect_out_line(c.manual));
        if (c.power_source != nullptr) {
            ASSERT_TRUE(s.expect_out(std::string("power source: ") + c.power_source));
        }
    }
    // Whole files the daemon can reset: group-writable.
    for (const char *name : control_files) {
        struct stat status {};
        ASSERT_EQ(stat(s.file(name).c_str(), &status), 0) << name;
        EXPECT_EQ(status.st_mode & 07777, 0664U) << name;
        EXPECT_EQ(s.read_file(name), "0") << name;
    }
    // An existing file keeps its inode: written in place.
    struct stat before {};
    ASSERT_EQ(stat(s.file("set_internal_batt_primary").c_str(), &before), 0);
    s.write_file("set_internal_batt_primary", "0\n");
    const client_run again = run_client(s, {"primary", "internal", "--timeout", "30"});
    EXPECT_EQ(again.status, ExitStatus::with_code(0)) << again.transcript;
    struct stat after {};
    ASSERT_EQ(stat(s.file("set_internal_batt_primary").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(s.read_file("set_internal_batt_primary"), "1");
}

TEST(Client, WithoutAHeadstrapTheDaemonDoesNotTakeTheChoice) {
    Scenario s(with_pack(false));
    start_and_settle(s);
    const client_run run = run_client(s, {"primary", "external"});
    EXPECT_EQ(run.status, ExitStatus::with_code(6)) << run.transcript;
    EXPECT_NE(run.err.find("charged runs but does not read the control files"), std::string::npos)
        << run.err;
    EXPECT_EQ(s.read_file("set_external_batt_primary"), "1");
    EXPECT_EQ(s.daemon().count(Stream::out, "  Manual control:"), 0);
}

TEST(Client, ADaemonThatRunsNoCycleDoesNotConfirm) {
    Scenario s(with_pack());
    start_and_settle(s);
    pause_daemon(s);
    const client_run run = run_client(s, {"cross-charge", "off", "--timeout", "2"});
    s.daemon().send_signal(SIGCONT);
    EXPECT_EQ(run.status, ExitStatus::with_code(5)) << run.transcript;
    EXPECT_NE(run.err.find("charged did not confirm cross-charge off within 2 s: it wrote no "
                           "status files since"),
              std::string::npos)
        << run.err;
    // Written all the same: the daemon takes it in its next cycle.
    EXPECT_EQ(s.read_file("disable_cross_charging"), "1");
    s.daemon().skip_to_end(Stream::out);
    EXPECT_TRUE(s.expect_out_line(manual_line(0, 0, 0, 1)));
}

TEST(Client, ACallerWithoutPermissionIsToldTheFix) {
    Scenario s(with_pack());
    start_and_settle(s);
    // Another user may reach the directory (the test's own temporary one is private).
    std::filesystem::permissions(s.workdir().parent_path(), std::filesystem::perms(0755));
    std::filesystem::permissions(s.workdir(), std::filesystem::perms(0755));
    const std::vector<std::string> nobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups"};
    const struct {
        const char *name;
        const char *existing_mode; // the control files' mode; nullptr: missing
        const char *first_mode;    // set_internal_batt_primary's own, when it differs
        std::vector<std::string> expected;
    } cases[] = {
        {"files of the group",
         "0664",
         nullptr,
         {"chargectl: cannot write " + s.file("set_internal_batt_primary").string() +
              ": Permission denied\n",
          "the control files are for the group root: add yourself to it with\n",
          "  sudo usermod -aG root \"$USER\"\n", "then log in again and retry"}},
        {"files without the group's write permission",
         "0644",
         nullptr,
         {"its mode is 0644: the group may not write it",
          "  chmod 0664 " + s.file("set_internal_batt_primary").string() + "\n"}},
        {"no files, a directory the caller cannot write",
         nullptr,
         nullptr,
         {"cannot write " + s.file("set_internal_batt_primary").string() + ": Permission denied\n",
          "add yourself to it with"}},
        // Nothing is written unless everything can be: no choice is left half made.
        {"only the second file not writable",
         "0664",
         "0666",
         {"cannot write " + s.file("set_external_batt_primary").string()}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (const char *name : control_files) {
            s.remove_file(name);
            if (c.existing_mode != nullptr) {
                s.write_file(name, "0");
                const char *mode = c.first_mode != nullptr && name == control_files[0]
                                       ? c.first_mode
                                       : c.existing_mode;
                chmod(s.file(name).c_str(), static_cast<mode_t>(std::stoi(mode, nullptr, 8)));
            }
        }
        const client_run run = run_client(s, {"primary", "internal"}, nobody);
        EXPECT_EQ(run.status, ExitStatus::with_code(4)) << run.transcript;
        for (const std::string &text : c.expected) {
            EXPECT_NE(run.err.find(text), std::string::npos) << "no \"" << text << "\" in:\n"
                                                             << run.err;
        }
        EXPECT_NE(s.read_file("set_internal_batt_primary"), "1");
        EXPECT_EQ(s.read_file("set_external_batt_primary"),
                  c.existing_mode != nullptr ? std::optional<std::string>("0") : std::nullopt);
    }
}

TEST(Client, WatchPrintsALineForEveryChange) {
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "JSON" : "text");
        Scenario s(with_pack());
        start_and_settle(s);
        ASSERT_TRUE(s.expect_file("battery_percent", "55.0"));
        std::vector<std::string> arguments = {"watch"};
        if (json) {
            arguments.emplace_back("--json");
        }
        Daemon watch(client_options(s, arguments));
        watch.start();
        // A line of the first view (no before) or of a change; "(absent)" / null for
        // an entry that did not exist.
        const auto line_of = [&](const std::string &file, const std::optional<std::string> &before,
                                 const std::string &after) {
            const auto shown = [&](const std::string &text) {
                return json ? (text == "(absent)" ? "null" : "\"" + text + "\"") : text;
            };
            if (json) {
                return "\"file\":\"" + file + "\"" +
                       (before ? ",\"old\":" + shown(*before) : std::string()) +
                       ",\"new\":" + shown(after) + "}\n";
            }
            return " " + file + ": " + (before ? *before + " -> " : std::string()) + after + "\n";
        };
        // The first view in the order of the files, then only changes.
        EXPECT_TRUE(watch.expect_out(line_of("ac_status", std::nullopt, "Disconnected")));
        EXPECT_TRUE(watch.expect_out(line_of("battery_percent", std::nullopt, "55.0")));
        s.hs().usb.plug(9_V, 3_A, usb_type::pd);
        EXPECT_TRUE(watch.expect_out(line_of("ac_status", "Disconnected", "Connected slow")));
        s.hs().battery.set_capacity(72);
        s.hs().charger.emit_change();
        EXPECT_TRUE(watch.expect_out(line_of("battery_percent", "55.0", "80.0")));
        const client_run choice = run_client(s, {"primary", "external"});
        EXPECT_EQ(choice.status, ExitStatus::with_code(0)) << choice.transcript;
        EXPECT_TRUE(watch.expect_out(line_of("set_external_batt_primary", "(absent)", "1")));
        // The daemon goes silent: said once, and again when it writes.
        pause_daemon(s);
        age_status_files(s, 2min);
        EXPECT_TRUE(watch.expect_out(json ? "\"running\":false" : "charged: no update for"));
        s.daemon().send_signal(SIGCONT);
        EXPECT_TRUE(
            watch.expect_out(json ? "\"running\":true" : "charged: writing its status files"));
        EXPECT_EQ(watch.count(Stream::out, json ? "\"running\":false" : "no update for"), 1);
        EXPECT_EQ(watch.stop(SIGTERM), ExitStatus::with_code(0));
        EXPECT_EQ(watch.text(Stream::err), "");
    }
}

} // namespace
} // namespace vh
