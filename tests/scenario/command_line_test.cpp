// SPDX-License-Identifier: MIT
// The daemon's command line as a person or a package check uses it: --version and --help
// answer on standard output and end the process with status 0, anything else prints the
// usage on standard error and ends it with status 2, all before the hardware is touched. An
// answer that cannot be written ends it with status 1 (a wrong command line keeps its 2).
#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace vh {
namespace {

struct Answer {
    ExitStatus status;
    std::string out;
    std::string err;
};

// Runs the daemon with the arguments in the virtual headset and checks that it neither
// opened a sysfs attribute nor fed the watchdog nor wrote a status file.
Answer run_with(Scenario &s, std::vector<std::string> args) {
    s.options().argv0 = "/usr/sbin/charged";
    s.options().args = std::move(args);
    // The headset's own set-up may have opened attributes already.
    const auto opens_before = s.fs().opens();
    const auto last_write_before = s.fs().last_seq();
    Daemon &d = s.start();
    const std::optional<ExitStatus> status = d.wait_exit();
    EXPECT_TRUE(status) << d.transcript_text();
    EXPECT_EQ(s.fs().opens(), opens_before) << "an attribute was opened";
    EXPECT_EQ(s.fs().last_seq(), last_write_before) << "an attribute was written";
    EXPECT_EQ(s.watchdog().count(), 0);
    EXPECT_FALSE(s.read_file("ac_status"));
    return {status.value_or(ExitStatus::killed_by(0)), d.text(Stream::out), d.text(Stream::err)};
}

TEST(CommandLine, VersionPrintsTheVersionLineOnStandardOutput) {
    Scenario s;
    const Answer answer = run_with(s, {"--version"});
    EXPECT_EQ(answer.status, ExitStatus::with_code(0));
    EXPECT_TRUE(std::regex_match(answer.out, std::regex("/usr/sbin/charged - Version: "
                                                        "2\\.6-[a-z]+-[0-9]+-[0-9a-f]{7}\n")))
        << answer.out;
    EXPECT_EQ(answer.err, "");
}

TEST(CommandLine, HelpPrintsTheUsageOnStandardOutput) {
    Scenario s;
    const Answer answer = run_with(s, {"--help"});
    EXPECT_EQ(answer.status, ExitStatus::with_code(0));
    EXPECT_TRUE(answer.out.starts_with("Usage: /usr/sbin/charged [--version | --help]\n"))
        << answer.out;
    for (const char *topic : {"BCL_L0", "BCL_L1", "charged.service", "/run/charged", "ac_status",
                              "set_internal_batt_primary"})
        EXPECT_NE(answer.out.find(topic), std::string::npos) << topic << " missing:\n"
                                                             << answer.out;
    EXPECT_EQ(answer.err, "");
}

TEST(CommandLine, AnyOtherArgumentPrintsTheUsageOnStandardErrorWithStatusTwo) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"-h"}, {"--verbose"}, {""}, {"--version", "--help"}}) {
        Scenario s;
        const Answer answer = run_with(s, args);
        EXPECT_EQ(answer.status, ExitStatus::with_code(2)) << args.front();
        EXPECT_TRUE(answer.err.starts_with("Usage: /usr/sbin/charged [--version | --help]\n"))
            << answer.err;
        EXPECT_EQ(answer.out, "") << args.front();
    }
}

// /dev/full takes no byte (ENOSPC), as a full disk or a closed pipe would not: the exit
// status must not claim an answer that nobody got.
TEST(CommandLine, AnAnswerThatCannotBeWrittenEndsWithAFailureStatus) {
    struct Case {
        std::vector<std::string> args;
        bool full_stdout; // else standard error is the full one
        ExitStatus status;
        std::string err; // what standard error shows when it is not the full one
    };
    const std::string write_error = "/usr/sbin/charged: write error: No space left on device\n";
    const Case cases[] = {
        {{"--version"}, true, ExitStatus::with_code(1), write_error},
        {{"--help"}, true, ExitStatus::with_code(1), write_error},
        {{"--verbose"}, false, ExitStatus::with_code(2), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.front());
        Scenario s;
        (c.full_stdout ? s.options().stdout_file : s.options().stderr_file) = "/dev/full";
        const Answer answer = run_with(s, c.args);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.out, "");
        EXPECT_EQ(answer.err, c.err);
    }
}

} // namespace
} // namespace vh
