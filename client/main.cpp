// SPDX-License-Identifier: MIT
// chargectl: the command line of charged's directory, for people and scripts on the device.
// It shows the power state that charged publishes, sets the manual choices through the
// control files and waits until charged has taken them, and follows changes as they come.
#include "command_line.hpp"
#include "confirmation.hpp"
#include "power_state.hpp"
#include "watch.hpp"

#include <cstdlib>
#include <iostream>
#include <string_view>
#include <vector>

#ifndef CHARGED_BUILD_ID
#error "CHARGED_BUILD_ID names the build in the version line"
#endif
#ifndef CHARGED_VERSION
#error "CHARGED_VERSION is the version of the package"
#endif

namespace {

int show_status(const chargectl::options &chosen) {
    const chargectl::power_state state = chargectl::read_power_state(chosen.directory);
    const auto now = chargectl::clock::now();
    std::cout << (chosen.json ? chargectl::format_json(state, now)
                              : chargectl::format_text(state, now));
    return chargectl::daemon_running(state, now) ? chargectl::exit_ok : chargectl::exit_not_running;
}

} // namespace

int main(int argc, char **argv) {
    const std::string_view program = "chargectl";
    const std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const chargectl::parse_result parsed =
        chargectl::parse_command_line(arguments, std::getenv(chargectl::directory_variable.data()));
    if (!parsed.parsed) {
        std::cerr << program << ": " << parsed.error << "\nTry '" << program
                  << " --help' for more information.\n";
        return chargectl::exit_usage;
    }
    const chargectl::options &chosen = *parsed.parsed;
    int status = chargectl::exit_ok;
    switch (chosen.what) {
    case chargectl::command::help:
        std::cout << chargectl::usage_text(program);
        break;
    case chargectl::command::version:
        std::cout << program << " - Version: " << CHARGED_VERSION << "-" << CHARGED_BUILD_ID
                  << "\n";
        break;
    case chargectl::command::status:
        status = show_status(chosen);
        break;
    case chargectl::command::primary:
    case chargectl::command::cross_charge:
        status = chargectl::apply_choice(chosen);
        break;
    case chargectl::command::watch:
        status = chargectl::watch_directory(chosen);
        break;
    }
    // An answer lost on a full disk or a closed pipe must not look like one given.
    std::cout.flush();
    if (!std::cout && status == chargectl::exit_ok) {
        return chargectl::exit_failure;
    }
    return status;
}
