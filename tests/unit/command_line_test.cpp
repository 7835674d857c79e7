// SPDX-License-Identifier: MIT
#include "core/daemon.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

struct CommandLineCase {
    std::vector<const char *> argv; // argv[0] first; a null entry ends it as in main's argv
    command_line_action action;
    int exit_status;
};

constexpr auto run = command_line_action::run_daemon;
constexpr auto version = command_line_action::print_version;
constexpr auto help = command_line_action::print_help;
constexpr auto wrong = command_line_action::print_usage_error;

TEST(CommandLine, OnlyAnEmptyCommandLineStartsTheDaemon) {
    const CommandLineCase cases[] = {
        {{}, run, 0}, // started with an empty argument vector
        {{"charged"}, run, 0},
        {{"/usr/sbin/charged"}, run, 0},
        {{"charged", "--version"}, version, 0},
        {{"charged", "--help"}, help, 0},
        // Anything else is a wrong command line: no short forms, no abbreviations, no extras.
        {{"charged", "-h"}, wrong, 2},
        {{"charged", "-V"}, wrong, 2},
        {{"charged", "--vers"}, wrong, 2},
        {{"charged", "--versions"}, wrong, 2},
        {{"charged", "--Version"}, wrong, 2},
        {{"charged", "--help="}, wrong, 2},
        {{"charged", ""}, wrong, 2},
        {{"charged", "-"}, wrong, 2},
        {{"charged", "--"}, wrong, 2},
        {{"charged", "start"}, wrong, 2},
        {{"charged", "--version", "--help"}, wrong, 2},
        {{"charged", "--help", "x"}, wrong, 2},
        {{"charged", "--version", ""}, wrong, 2},
    };
    for (const CommandLineCase &c : cases) {
        std::vector<const char *> argv = c.argv;
        const int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        const command_line_decision decision = decide_command_line(argc, argv.data());
        const char *shown = argc > 1 ? argv[1] : "(none)";
        EXPECT_EQ(decision.action, c.action) << "argc " << argc << ", first argument " << shown;
        if (decision.action != run) {
            EXPECT_EQ(decision.exit_status, c.exit_status) << "first argument " << shown;
        }
    }
}

TEST(CommandLine, AnAnswerThatWasNotWrittenIsAFailure) {
    struct Case {
        command_line_decision decision;
        bool written;
        int exit_status;
    };
    const Case cases[] = {
        {{version, 0}, true, 0},
        {{help, 0}, true, 0},
        {{wrong, exit_usage_error}, true, exit_usage_error},
        {{version, 0}, false, exit_write_failure},
        {{help, 0}, false, exit_write_failure},
        {{wrong, exit_usage_error}, false, exit_usage_error}, // the wrong command line first
    };
    for (const Case &c : cases) {
        EXPECT_EQ(exit_status_after_answer(c.decision, c.written), c.exit_status)
            << "action " << static_cast<int>(c.decision.action) << ", written " << c.written;
    }
    static_assert(exit_write_failure == EXIT_FAILURE);
}

} // namespace
