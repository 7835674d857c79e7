// SPDX-License-Identifier: MIT
// chargectl's command line: what the person or script asked for, its exit statuses and its
// usage text. Parsing does no I/O, so every rule is checked directly.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace chargectl {

// The exit statuses, each with one meaning, for scripts.
enum exit_status : int {
    exit_ok = 0,
    exit_failure = 1,       // anything below does not name: a directory or file that cannot
                            // be read, a control file in the way (a directory, a link), ...
    exit_usage = 2,         // a wrong command line (the shell's convention, as charged's own)
    exit_not_running = 3,   // the status files are missing or older than a few cycles
    exit_permission = 4,    // a control file cannot be written by the caller
    exit_not_confirmed = 5, // no cycle of charged took the choice within the timeout
    exit_not_in_effect = 6, // charged ran but the choice is not in force: it does not read the
                            // control files (no headstrap), or they were changed again
};

enum class command { status, primary, cross_charge, watch, help, version };

// Where charged keeps its files when it runs as the service.
inline constexpr std::string_view default_directory = "/run/charged";
// The variable that names another directory (a test's daemon, a development run).
inline constexpr std::string_view directory_variable = "CHARGED_DIR";
// How long a control command waits for charged to confirm: two 20 s cycles and a margin.
inline constexpr std::chrono::seconds default_timeout{45};
inline constexpr std::chrono::seconds longest_timeout{3600};

struct options {
    command what = command::status;
    std::string value; // primary: internal, external, auto; cross-charge: on, off, secondary
    std::string directory{default_directory};
    bool json = false;
    std::chrono::seconds timeout = default_timeout;
};

struct parse_result {
    std::optional<options> parsed; // empty: error says why
    std::string error;
};

// The arguments after the program name. environment_directory is $CHARGED_DIR (null when
// unset); --dir wins over it.
parse_result parse_command_line(const std::vector<std::string_view> &arguments,
                                const char *environment_directory);

// The --help text; program is the name to show.
std::string usage_text(std::string_view program);

} // namespace chargectl
