// SPDX-License-Identifier: MIT
// chargectl's logic without the daemon: the command line, what each choice writes, the
// confirmation rule fed with the directory's events, the permission advice, and how the
// power state and its changes are shown.
#include "command_line.hpp"
#include "confirmation.hpp"
#include "control_files.hpp"
#include "json.hpp"
#include "power_state.hpp"
#include "watch.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace chargectl {
namespace {

using namespace std::chrono_literals;

TEST(ChargectlCommandLine, ParsesCommandsValuesAndOptions) {
    const struct {
        std::vector<std::string_view> arguments;
        const char *environment_directory;
        command what;
        std::string value;
        std::string directory;
        bool json;
        std::chrono::seconds timeout;
    } cases[] = {
        {{}, nullptr, command::status, "", "/run/charged", false, 45s},
        {{"status"}, nullptr, command::status, "", "/run/charged", false, 45s},
        {{"status", "--json"}, nullptr, command::status, "", "/run/charged", true, 45s},
        {{"--json"}, nullptr, command::status, "", "/run/charged", true, 45s},
        {{"--dir", "/tmp/w", "watch"}, nullptr, command::watch, "", "/tmp/w", false, 45s},
        {{"watch", "--dir=/tmp/w", "--json"}, nullptr, command::watch, "", "/tmp/w", true, 45s},
        {{"status"}, "/tmp/env", command::status, "", "/tmp/env", false, 45s},
        {{"status"}, "", command::status, "", "/run/charged", false, 45s},
        {{"--dir", "/tmp/opt"}, "/tmp/env", command::status, "", "/tmp/opt", false, 45s},
        {{"primary", "internal"},
         nullptr,
         command::primary,
         "internal",
         "/run/charged",
         false,
         45s},
        {{"primary", "external", "--timeout", "0"},
         nullptr,
         command::primary,
         "external",
         "/run/charged",
         false,
         0s},
        {{"--timeout=90", "primary", "auto"},
         nullptr,
         command::primary,
         "auto",
         "/run/charged",
         false,
         90s},
        {{"cross-charge", "on"}, nullptr, command::cross_charge, "on", "/run/charged", false, 45s},
        {{"cross-charge", "off"},
         nullptr,
         command::cross_charge,
         "off",
         "/run/charged",
         false,
         45s},
        {{"cross-charge", "secondary", "--timeout", "3600"},
         nullptr,
         command::cross_charge,
         "secondary",
         "/run/charged",
         false,
         3600s},
        {{"--", "primary", "auto"}, nullptr, command::primary, "auto", "/run/charged", false, 45s},
        {{"status", "--help"}, nullptr, command::help, "", "/run/charged", false, 45s},
        {{"-h"}, nullptr, command::help, "", "/run/charged", false, 45s},
        {{"--version", "bogus"}, nullptr, command::version, "", "/run/charged", false, 45s},
        {{"-V"}, nullptr, command::version, "", "/run/charged", false, 45s},
    };
    for (const auto &c : cases) {
        const parse_result result = parse_command_line(c.arguments, c.environment_directory);
        std::string shown;
        for (const std::string_view argument : c.arguments) {
            shown += std::string(argument) + " ";
        }
        ASSERT_TRUE(result.parsed.has_value()) << shown << ": " << result.error;
        EXPECT_EQ(result.parsed->what, c.what) << shown;
        EXPECT_EQ(result.parsed->value, c.value) << shown;
        EXPECT_EQ(result.parsed->directory, c.directory) << shown;
        EXPECT_EQ(result.parsed->json, c.json) << shown;
        EXPECT_EQ(result.parsed->timeout, c.timeout) << shown;
    }
}

TEST(ChargectlCommandLine, RefusesWhatItDoesNotKnowAndSaysWhy) {
    const struct {
        std::vector<std::string_view> arguments;
        const char *error;
    } cases[] = {
        {{"bogus"}, "unknown command bogus"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"primary"}, "primary needs one of internal|external|auto"},
        {{"primary", "both"}, "primary takes internal|external|auto, not both"},
        {{"cross-charge", "maybe"}, "cross-charge takes on|off|secondary, not maybe"},
        {{"primary", "auto", "extra"}, "unexpected argument extra"},
        {{"status", "now"}, "unexpected argument now"},
        {{"--dir"}, "--dir needs a directory"},
        {{"--dir="}, "--dir needs a directory"},
        {{"primary", "auto", "--timeout"}, "--timeout needs whole seconds from 0 to 3600"},
        {{"primary", "auto", "--timeout", "-1"}, "--timeout needs whole seconds"},
        {{"primary", "auto", "--timeout", "3601"}, "--timeout needs whole seconds"},
        {{"primary", "auto", "--timeout", "1.5"}, "--timeout needs whole seconds"},
        {{"primary", "auto", "--timeout", "10s"}, "--timeout needs whole seconds"},
        {{"primary", "auto", "--json"}, "--json is for status and watch"},
        {{"status", "--timeout", "5"}, "--timeout is for primary and cross-charge"},
    };
    for (const auto &c : cases) {
        const parse_result result = parse_command_line(c.arguments, nullptr);
        EXPECT_FALSE(result.parsed.has_value()) << c.error;
        EXPECT_NE(result.error.find(c.error), std::string::npos)
            << "wanted \"" << c.error << "\", got \"" << result.error << "\"";
    }
}

TEST(ChargectlCommandLine, UsageNamesEveryCommandAndExitStatus) {
    const std::string usage = usage_text("chargectl");
    for (const char *text :
         {"Usage: chargectl [--dir DIR] COMMAND", "status [--json]",
          "primary internal|external|auto", "cross-charge on|off|secondary", "watch [--json]",
          "--timeout SECONDS", "$CHARGED_DIR", "  0  done", "  2  a wrong command line",
          "  3  charged does not run", "  4  no permission", "  5  charged did not confirm",
          "  6  charged does not apply"}) {
        EXPECT_NE(usage.find(text), std::string::npos) << text;
    }
}

TEST(ChargectlControlFiles, EachChoiceWritesBothOfItsFilesInASafeOrder) {
    const struct {
        const char *command;
        const char *value;
        std::vector<std::pair<std::string_view, char>> writes;
    } cases[] = {
        {"primary",
         "internal",
         {{"set_internal_batt_primary", '1'}, {"set_external_batt_primary", '0'}}},
        {"primary",
         "external",
         {{"set_internal_batt_primary", '0'}, {"set_external_batt_primary", '1'}}},
        {"primary",
         "auto",
         {{"set_internal_batt_primary", '0'}, {"set_external_batt_primary", '0'}}},
        {"cross-charge", "on", {{"cross_charge_secondary", '0'}, {"disable_cross_charging", '0'}}},
        {"cross-charge", "off", {{"disable_cross_charging", '1'}, {"cross_charge_secondary", '0'}}},
        {"cross-charge",
         "secondary",
         {{"cross_charge_secondary", '1'}, {"disable_cross_charging", '0'}}},
        {"primary", "on", {}},
        {"watch", "", {}},
    };
    for (const auto &c : cases) {
        std::vector<std::pair<std::string_view, char>> writes;
        for (const control_write &write : writes_for(c.command, c.value)) {
            writes.emplace_back(write.file, write.value);
        }
        EXPECT_EQ(writes, c.writes) << c.command << " " << c.value;
    }
}

TEST(ChargectlControlFiles, FlagsReadAsChargedReadsThemAndNameTheChoice) {
    const struct {
        bool internal, external, secondary, disable;
        const char *primary;
        const char *cross_charge;
    } cases[] = {
        {false, false, false, false, "auto", "on"},
        {true, false, false, false, "internal", "on"},
        {false, true, true, false, "external", "secondary"},
        {true, true, false, true, "internal", "off"}, // charged: internal wins
        {false, false, true, true, "auto", "off"},    // charged: disabling wins
    };
    for (const auto &c : cases) {
        EXPECT_EQ(primary_name(c.internal, c.external), c.primary);
        EXPECT_EQ(cross_charge_name(c.secondary, c.disable), c.cross_charge);
    }
    const struct {
        const char *content;
        bool set;
    } contents[] = {{"1", true},   {"1\n", true}, {"10", true},  {"0", false},
                    {"01", false}, {"", false},   {" 1", false}, {"true", false}};
    for (const auto &c : contents) {
        EXPECT_EQ(flag_set(c.content), c.set) << '"' << c.content << '"';
    }
    EXPECT_EQ(mode_text(0100664), "0664");
    EXPECT_EQ(mode_text(02775), "2775");
}

TEST(ChargectlControlFiles, PermissionAdviceNamesTheFix) {
    permission_facts base;
    base.path = "/run/charged/set_external_batt_primary";
    base.error_text = "Permission denied";
    base.file_exists = true;
    base.file_mode = 0664;
    base.group = "charged";
    const auto with = [&](auto change) {
        permission_facts facts = base;
        change(facts);
        return facts;
    };
    const struct {
        permission_facts facts;
        std::vector<const char *> expected;
    } cases[] = {
        {base,
         {"cannot write /run/charged/set_external_batt_primary: Permission denied\n",
          "the control files are for the group charged: add yourself to it with\n",
          "sudo usermod -aG charged \"$USER\"", "log in again"}},
        {with([](permission_facts &f) { f.member_of_group = true; }),
         {"you are in the group charged, but this session is not yet: log in again",
          "newgrp charged"}},
        {with([](permission_facts &f) {
             f.member_of_group = true;
             f.group_in_session = true;
         }),
         {"you are in the group charged, but the file or its directory is not writable"}},
        {with([](permission_facts &f) { f.file_mode = 0644; }),
         {"its mode is 0644: the group may not write it",
          "chmod 0664 /run/charged/set_external_batt_primary",
          "systemd-tmpfiles --create charged.conf"}},
        {with([](permission_facts &f) {
             f.file_exists = false;
             f.file_mode = 0;
         }),
         {"add yourself to it with"}},
        {with([](permission_facts &f) {
             f.read_only_filesystem = true;
             f.error_text = "Read-only file system";
         }),
         {"Read-only file system\n", "mounted read-only"}},
        {with([](permission_facts &f) { f.caller_is_root = true; }), {"even root may not"}},
    };
    for (const auto &c : cases) {
        const std::string advice = permission_advice(c.facts);
        for (const char *text : c.expected) {
            EXPECT_NE(advice.find(text), std::string::npos) << "no \"" << text << "\" in:\n"
                                                            << advice;
        }
    }
}

// One event of the directory for the confirmation rule: an open or a rename into place.
struct event {
    bool open;
    std::string name;
};

TEST(ChargectlConfirmation, ACycleThatOpensEveryControlFileAndThenWritesConfirms) {
    const std::vector<std::string> all(control_file_names.begin(), control_file_names.end());
    const std::vector<std::string> two = {"set_internal_batt_primary", "set_external_batt_primary"};
    const auto cycle = [](const std::vector<std::string> &files) {
        std::vector<event> events;
        for (const std::string &file : files) {
            events.push_back({true, file});
        }
        for (const std::string_view status : status_file_names) {
            events.push_back({false, std::string(status)});
        }
        return events;
    };
    const auto joined = [](std::initializer_list<std::vector<event>> parts) {
        std::vector<event> events;
        for (const auto &part : parts) {
            events.insert(events.end(), part.begin(), part.end());
        }
        return events;
    };
    const std::vector<event> quiet_cycle = cycle({});
    const std::vector<event> half_cycle =
        cycle({"cross_charge_secondary", "disable_cross_charging"});
    const struct {
        const char *name;
        std::vector<std::string> expected;
        std::vector<event> events;
        verdict result;
        int cycles;
    } cases[] = {
        {"one whole cycle", all, cycle(all), verdict::confirmed, 1},
        {"the files that exist", two, cycle(two), verdict::confirmed, 1},
        {"a cycle under way reads only the last two, the next reads all", all,
         joined({half_cycle, cycle(all)}), verdict::confirmed, 2},
        {"opens without a status file: still waiting",
         all,
         {{true, "set_internal_batt_primary"},
          {true, "set_external_batt_primary"},
          {true, "cross_charge_secondary"},
          {true, "disable_cross_charging"}},
         verdict::waiting,
         0},
        {"only a later status file: not a cycle's end", all,
         joined({{{true, "set_internal_batt_primary"},
                  {true, "set_external_batt_primary"},
                  {true, "cross_charge_secondary"},
                  {true, "disable_cross_charging"},
                  {false, "typec_contract"}}}),
         verdict::waiting, 0},
        {"other files opened do not count", two,
         joined({{{true, "ac_status"}, {true, "BAT0"}, {true, "set_internal_batt_primary"}},
                 cycle({})}),
         verdict::waiting, 1},
        {"two cycles that open nothing: charged ignores the files", all,
         joined({quiet_cycle, quiet_cycle}), verdict::ignored, 2},
        {"one quiet cycle (the one under way) is not enough", all, quiet_cycle, verdict::waiting,
         1},
        {"quiet, then half, then quiet: the count starts again", all,
         joined({quiet_cycle, half_cycle, quiet_cycle}), verdict::waiting, 3},
        {"the verdict stays", all, joined({cycle(all), quiet_cycle, quiet_cycle}),
         verdict::confirmed, 1},
    };
    for (const auto &c : cases) {
        confirmation_rule rule(c.expected);
        for (const event &e : c.events) {
            if (e.open) {
                rule.opened(e.name);
            } else {
                rule.renamed_into_place(e.name);
            }
        }
        EXPECT_EQ(rule.current(), c.result) << c.name;
        EXPECT_EQ(rule.cycles_seen(), c.cycles) << c.name;
    }

    // Lost events forget what the current cycle opened.
    confirmation_rule rule(all);
    for (const std::string &file : all) {
        rule.opened(file);
    }
    rule.events_lost();
    EXPECT_EQ(rule.renamed_into_place("ac_status"), verdict::waiting);
}

TEST(ChargectlPowerState, ParsesTheStatusFiles) {
    const struct {
        const char *text;
        bool parsed;
        bool valid;
        long long voltage_mv, current_ma;
    } contracts[] = {
        {"Valid=1, Voltage=9000mV, Current=3000mA", true, true, 9000, 3000},
        {"Valid=0, Voltage=0mV, Current=0mA", true, false, 0, 0},
        {"Valid=1, Voltage=8999mV, Current=-1mA", true, true, 8999, -1},
        {"Valid=2, Voltage=9000mV, Current=3000mA", false, false, 0, 0},
        {"Valid=1, Voltage=9000mV, Current=3000mA\n", false, false, 0, 0},
        {"Valid=1, Voltage=9000mV", false, false, 0, 0},
        {"", false, false, 0, 0},
    };
    for (const auto &c : contracts) {
        const std::optional<usb_contract> contract = parse_contract(c.text);
        ASSERT_EQ(contract.has_value(), c.parsed) << c.text;
        if (contract) {
            EXPECT_EQ(contract->valid, c.valid) << c.text;
            EXPECT_EQ(contract->voltage_mv, c.voltage_mv) << c.text;
            EXPECT_EQ(contract->current_ma, c.current_ma) << c.text;
        }
    }
    const struct {
        const char *text;
        std::optional<long long> value;
    } integers[] = {{"14000", 14000},
                    {"-1", -1},
                    {"0", 0},
                    {"", std::nullopt},
                    {"12 ", std::nullopt},
                    {"1e3", std::nullopt},
                    {"x", std::nullopt}};
    for (const auto &c : integers) {
        EXPECT_EQ(parse_integer(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(ChargectlPowerState, DurationsAndAgesForPeople) {
    const struct {
        long long seconds;
        const char *text;
    } durations[] = {{-1, "-"},
                     {0, "-"},
                     {1, "1 s"},
                     {59, "59 s"},
                     {60, "1 min 00 s"},
                     {3599, "59 min 59 s"},
                     {3600, "1 h 00 min"},
                     {3720, "1 h 02 min"},
                     {90000, "25 h 00 min"}};
    for (const auto &c : durations) {
        EXPECT_EQ(format_duration(c.seconds), c.text) << c.seconds;
    }
    const struct {
        std::chrono::seconds age;
        const char *text;
    } ages[] = {{0s, "0 s"},        {119s, "119 s"}, {120s, "2 min"},
                {7199s, "119 min"}, {7200s, "2 h"},  {2 * 86400s, "2 d"}};
    for (const auto &c : ages) {
        EXPECT_EQ(format_age(c.age), c.text) << c.age.count();
    }
}

// A state as read from a directory, built here without one.
power_state sample_state(clock::time_point written) {
    power_state state;
    state.directory = "/run/charged";
    state.status = {"Connected slow", "55.0", "Charging",
                    "14000",          "0",    "Valid=1, Voltage=9000mV, Current=3000mA"};
    state.last_update = written;
    state.bat0 = {"/sys/class/power_supply/max1720x_bat_3-36/", true, 50};
    state.bat1 = {"/sys/class/power_supply/max1720x_bat_7-76/", true, 80};
    for (control_file_view &control : state.controls) {
        control = {true, true, false, 0664};
    }
    state.controls[1].set = true;
    state.controls[3].set = true;
    return state;
}

TEST(ChargectlPowerState, RunningMeansAStatusFileFromTheLastFewCycles) {
    const clock::time_point now = clock::now();
    const struct {
        std::chrono::seconds age;
        bool running;
    } cases[] = {{0s, true},   {20s, true},   {65s, true},
                 {66s, false}, {600s, false}, {-30s, true}}; // a clock set back
    for (const auto &c : cases) {
        EXPECT_EQ(daemon_running(sample_state(now - c.age), now), c.running) << c.age.count();
    }
    power_state none = sample_state(now);
    none.last_update.reset();
    EXPECT_FALSE(daemon_running(none, now));
    power_state unreadable = sample_state(now);
    unreadable.directory_error = "Permission denied";
    EXPECT_FALSE(daemon_running(unreadable, now));
}

TEST(ChargectlPowerState, TextAndJsonShowEveryFile) {
    const clock::time_point now = clock::now();
    const power_state state = sample_state(now - 3s);
    const std::string text = format_text(state, now);
    for (const char *line :
         {"charged:        running, last update 3 s ago\n", "directory:      /run/charged\n",
          "USB-C power:    Connected slow, 9000 mV 3000 mA (27.0 W)\n",
          "battery:        55.0 %, Charging\n", "  full in:      -\n",
          "  shutdown in:  3 h 53 min\n",
          "pack battery:   80 % (BAT1 -> "
          "/sys/class/power_supply/max1720x_bat_7-76/)\n",
          "  gauge:        50 % (BAT0 -> /sys/class/power_supply/max1720x_bat_3-36/)\n",
          "primary:        external (set_internal_batt_primary 0, set_external_batt_primary 1)\n",
          "cross-charge:   off (cross_charge_secondary 0, disable_cross_charging 1)\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << "no \"" << line << "\" in:\n" << text;
    }
    EXPECT_EQ(text.find("note:"), std::string::npos) << text;
    EXPECT_EQ(format_json(state, now),
              "{\"directory\":\"/run/charged\",\"running\":true,\"last_update_age_s\":3,"
              "\"error\":null,\"ac_status\":\"Connected slow\",\"battery_percent\":55.0,"
              "\"battery_status\":\"Charging\",\"secs_until_shutdown_request\":14000,"
              "\"secs_until_battery_full\":0,\"typec_contract\":{\"valid\":true,"
              "\"voltage_mv\":9000,\"current_ma\":3000},\"bat0\":{\"target\":\"/sys/class/"
              "power_supply/max1720x_bat_3-36/\",\"present\":true,\"capacity\":50},\"bat1\":{"
              "\"target\":\"/sys/class/power_supply/max1720x_bat_7-76/\",\"present\":true,"
              "\"capacity\":80},\"primary\":\"external\",\"cross_charge\":\"off\","
              "\"control_files\":{\"set_internal_batt_primary\":false,"
              "\"set_external_batt_primary\":true,\"cross_charge_secondary\":false,"
              "\"disable_cross_charging\":true}}\n");
}

TEST(ChargectlPowerState, MissingAndOddFilesAreSaidSo) {
    const clock::time_point now = clock::now();
    const struct {
        const char *name;
        void (*change)(power_state &);
        const char *text; // in the text view
        const char *json; // in the JSON
    } cases[] = {
        {"stale", [](power_state &s) { s.last_update = *s.last_update - 10min; },
         "charged:        NOT RUNNING: last update 10 min ago", "\"running\":false"},
        {"no status files", [](power_state &s) { s.last_update.reset(); },
         "NOT RUNNING: no status files in /run/charged", "\"last_update_age_s\":null"},
        {"missing file", [](power_state &s) { s.status[1].reset(); },
         "battery:        (no file) %, Charging", "\"battery_percent\":null"},
        {"not a number", [](power_state &s) { s.status[1] = "5x"; }, "battery:        5x %",
         "\"battery_percent\":null"},
        {"USB offline",
         [](power_state &s) {
             s.status[0] = "Disconnected";
             s.status[5] = "Valid=0, Voltage=0mV, Current=0mA";
         },
         "USB-C power:    Disconnected\n", "\"typec_contract\":{\"valid\":false"},
        {"no pack gauge yet", [](power_state &s) { s.bat1 = {}; },
         "pack battery:   not seen since charged started (no BAT1)", "\"bat1\":null"},
        {"pack gone",
         [](power_state &s) {
             s.bat1.target_exists = false;
             s.bat1.capacity.reset();
         },
         "pack battery:   not connected (BAT1 -> /sys/class/power_supply/max1720x_bat_7-76/ is "
         "gone)",
         "\"present\":false,\"capacity\":null"},
        {"control file missing", [](power_state &s) { s.controls[2] = {}; },
         "cross-charge:   off (cross_charge_secondary missing, disable_cross_charging 1)",
         "\"cross_charge_secondary\":null"},
        {"control file not group-writable", [](power_state &s) { s.controls[0].mode = 0644; },
         "  note:         set_internal_batt_primary has mode 0644: the group cannot write it",
         "\"set_internal_batt_primary\":false"},
        {"a directory at a control file",
         [](power_state &s) {
             s.controls[3] = {true, false, std::nullopt, 0755};
         },
         "disable_cross_charging is not a regular file", "\"disable_cross_charging\":null"},
        {"quotes in a file", [](power_state &s) { s.status[2] = "say \"hi\"\n"; }, "say \"hi\"",
         "\"battery_status\":\"say \\\"hi\\\"\\n\""},
    };
    for (const auto &c : cases) {
        power_state state = sample_state(now);
        c.change(state);
        const std::string text = format_text(state, now);
        const std::string json = format_json(state, now);
        EXPECT_NE(text.find(c.text), std::string::npos) << c.name << ":\n" << text;
        EXPECT_NE(json.find(c.json), std::string::npos) << c.name << ":\n" << json;
    }
}

TEST(ChargectlJson, StringsAreEscaped) {
    const struct {
        std::string text;
        const char *json;
    } cases[] = {{"plain", "\"plain\""},
                 {"a\"b", "\"a\\\"b\""},
                 {"a\\b", "\"a\\\\b\""},
                 {"1\n", "\"1\\n\""},
                 {"\t", "\"\\t\""},
                 {std::string(1, '\x01'), "\"\\u0001\""},
                 {"", "\"\""}};
    for (const auto &c : cases) {
        EXPECT_EQ(json_string(c.text), c.json);
    }
    EXPECT_EQ(json_string_or_null(std::nullopt), "null");
    EXPECT_EQ(json_object{}.str(), "{}");
    EXPECT_EQ(json_object{}.number("n", std::nullopt).boolean("b", false).str(),
              "{\"n\":null,\"b\":false}");
}

TEST(ChargectlWatch, ChangesInTheOrderOfTheFilesAndTheirLines) {
    snapshot before;
    snapshot after;
    before["ac_status"] = "Disconnected";
    after["ac_status"] = "Connected";
    before["battery_percent"] = "55.0";
    after["battery_percent"] = "55.0";
    after["BAT1"] = "/sys/class/power_supply/max1720x_bat_7-76/";
    before["disable_cross_charging"] = "0";
    after["disable_cross_charging"] = "1\n";
    before["set_internal_batt_primary"] = "1";
    before["not_watched"] = "x";
    const std::vector<change> changes = changes_between(before, after);
    ASSERT_EQ(changes.size(), 4U);
    EXPECT_EQ(changes[0].name, "ac_status");
    EXPECT_EQ(changes[1].name, "BAT1");
    EXPECT_EQ(changes[2].name, "set_internal_batt_primary");
    EXPECT_EQ(changes[3].name, "disable_cross_charging");
    EXPECT_EQ(changes[2].after, std::nullopt);

    const clock::time_point when = clock::from_time_t(1'800'000'000); // 2027-01-15T08:00:00Z
    const struct {
        change c;
        bool first_view;
        bool json;
        std::string line; // after the time (text) / whole (JSON)
    } cases[] = {
        {changes[0], false, false, " ac_status: Disconnected -> Connected\n"},
        {changes[1], false, false,
         " BAT1: (absent) -> /sys/class/power_supply/max1720x_bat_7-76/\n"},
        {changes[2], false, false, " set_internal_batt_primary: 1 -> (absent)\n"},
        {changes[3], false, false, " disable_cross_charging: 0 -> 1\\n\n"},
        {{"battery_percent", std::nullopt, "55.0"}, true, false, " battery_percent: 55.0\n"},
        {changes[0], false, true,
         "{\"time\":\"2027-01-15T08:00:00Z\",\"file\":\"ac_status\",\"old\":\"Disconnected\","
         "\"new\":\"Connected\"}\n"},
        {changes[2], false, true,
         "{\"time\":\"2027-01-15T08:00:00Z\",\"file\":\"set_internal_batt_primary\","
         "\"old\":\"1\",\"new\":null}\n"},
        {{"battery_percent", std::nullopt, "55.0"},
         true,
         true,
         "{\"time\":\"2027-01-15T08:00:00Z\",\"file\":\"battery_percent\",\"new\":\"55.0\"}\n"},
    };
    for (const auto &c : cases) {
        const std::string line = format_change(c.c, c.first_view, when, c.json);
        if (c.json) {
            EXPECT_EQ(line, c.line);
        } else {
            // HH:MM:SS in local time, then the change.
            ASSERT_GT(line.size(), 8U);
            EXPECT_EQ(line.substr(8), c.line);
        }
    }
    EXPECT_EQ(format_liveness(false, 70s, when, true),
              "{\"time\":\"2027-01-15T08:00:00Z\",\"running\":false,\"silent_s\":70}\n");
    EXPECT_EQ(format_liveness(true, 0s, when, true),
              "{\"time\":\"2027-01-15T08:00:00Z\",\"running\":true}\n");
    EXPECT_EQ(format_liveness(false, 70s, when, false).substr(8),
              " charged: no update for 70 s: not running?\n");
    EXPECT_EQ(format_liveness(true, 0s, when, false).substr(8),
              " charged: writing its status files again\n");
}

} // namespace
} // namespace chargectl
