// SPDX-License-Identifier: MIT
#include "command_line.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace chargectl {

namespace {

struct command_word {
    std::string_view word;
    command what;
    std::array<std::string_view, 3> values; // empty: the command takes no value
};

constexpr std::array<command_word, 4> command_words = {{
    {"status", command::status, {}},
    {"primary", command::primary, {"internal", "external", "auto"}},
    {"cross-charge", command::cross_charge, {"on", "off", "secondary"}},
    {"watch", command::watch, {}},
}};

const command_word *find_command(std::string_view word) {
    const auto found =
        std::find_if(command_words.begin(), command_words.end(),
                     [&](const command_word &candidate) { return candidate.word == word; });
    return found != command_words.end() ? &*found : nullptr;
}

bool takes_value(const command_word &word) {
    return !word.values.front().empty();
}

std::string value_list(const command_word &word) {
    std::string list;
    for (const std::string_view value : word.values) {
        list += list.empty() ? "" : "|";
        list += value;
    }
    return list;
}

parse_result failure(std::string error) {
    return {std::nullopt, std::move(error)};
}

// Whole seconds, 0 (do not wait) up to an hour.
std::optional<std::chrono::seconds> parse_seconds(std::string_view text) {
    long long seconds = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc{} || end != text.data() + text.size() || seconds < 0 ||
        seconds > longest_timeout.count()) {
        return std::nullopt;
    }
    return std::chrono::seconds{seconds};
}

} // namespace

parse_result parse_command_line(const std::vector<std::string_view> &arguments,
                                const char *environment_directory) {
    options result;
    if (environment_directory != nullptr && *environment_directory != '\0') {
        result.directory = environment_directory;
    }
    const command_word *word = nullptr;
    bool timeout_given = false;
    bool options_end = false;
    std::vector<std::string_view> words;

    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (options_end || !argument.starts_with("-") || argument == "-") {
            words.push_back(argument);
            continue;
        }
        // --name=value or --name value, for the two options that take one.
        std::string_view name = argument;
        std::optional<std::string_view> inline_value;
        if (const size_t equals = argument.find('='); equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            inline_value = argument.substr(equals + 1);
        }
        const auto option_value = [&]() -> std::optional<std::string_view> {
            if (inline_value) {
                return inline_value;
            }
            if (i + 1 < arguments.size()) {
                return arguments[++i];
            }
            return std::nullopt;
        };
        if (argument == "--") {
            options_end = true;
        } else if (argument == "-h" || argument == "--help") {
            result.what = command::help;
            return {result, {}};
        } else if (argument == "-V" || argument == "--version") {
            result.what = command::version;
            return {result, {}};
        } else if (argument == "--json") {
            result.json = true;
        } else if (name == "--dir") {
            const std::optional<std::string_view> directory = option_value();
            if (!directory || directory->empty()) {
                return failure("--dir needs a directory");
            }
            result.directory = *directory;
        } else if (name == "--timeout") {
            const std::optional<std::string_view> text = option_value();
            const std::optional<std::chrono::seconds> seconds =
                text ? parse_seconds(*text) : std::nullopt;
            if (!seconds) {
                return failure("--timeout needs whole seconds from 0 to " +
                               std::to_string(longest_timeout.count()));
            }
            result.timeout = *seconds;
            timeout_given = true;
        } else {
            return failure("unknown option " + std::string(argument));
        }
    }

    if (!words.empty()) {
        word = find_command(words.front());
        if (word == nullptr) {
            return failure("unknown command " + std::string(words.front()));
        }
        result.what = word->what;
    } else {
        word = find_command("status");
    }
    const size_t wanted = takes_value(*word) ? 2 : 1;
    if (takes_value(*word) && words.size() < 2) {
        return failure(std::string(word->word) + " needs one of " + value_list(*word));
    }
    if (words.size() > wanted) {
        return failure("unexpected argument " + std::string(words[wanted]));
    }
    if (takes_value(*word)) {
        const std::string_view value = words[1];
        if (std::find(word->values.begin(), word->values.end(), value) == word->values.end()) {
            return failure(std::string(word->word) + " takes " + value_list(*word) + ", not " +
                           std::string(value));
        }
        result.value = value;
    }
    const bool control = result.what == command::primary || result.what == command::cross_charge;
    if (result.json && control) {
        return failure("--json is for status and watch");
    }
    if (timeout_given && !control) {
        return failure("--timeout is for primary and cross-charge");
    }
    return {result, {}};
}

std::string usage_text(std::string_view program) {
    std::string text = "Usage: ";
    text += program;
    text += R"( [--dir DIR] COMMAND
Shows and sets the power state that the charge daemon charged publishes in its directory.

Commands:
  status [--json]        the power state in one view (the default command); --json for
                         scripts. Exit status 3 when charged does not seem to run.
  primary internal|external|auto
                         which battery powers the device while the headstrap's pack is
                         connected: the internal one, the pack's, or charged's own rules
  cross-charge on|off|secondary
                         on: cross-charging where charged's rules choose it (on batteries
                         the pack charges the internal battery); off: never; secondary:
                         the primary battery also charges the other one
  watch [--json]         prints a line for every change of the files, until interrupted

primary and cross-charge write the control files, then wait until charged's next update
cycle has read them (within 20 s; --timeout SECONDS, default 45, 0: do not wait). Writing
needs the group charged.

Options:
  --dir DIR          the daemon's directory (default $CHARGED_DIR, else /run/charged)
  --json             JSON instead of text (status, watch)
  --timeout SECONDS  how long primary and cross-charge wait for charged
  -h, --help         this text
  -V, --version      the version

Exit statuses:
  0  done (status: charged runs; primary, cross-charge: charged has taken the choice)
  1  another failure (a file or the directory cannot be read, a write failed)
  2  a wrong command line
  3  charged does not run (status files missing or older than 65 s)
  4  no permission to write the control files
  5  charged did not confirm the choice within the timeout
  6  charged does not apply the choice (no headstrap), or it was changed again
)";
    return text;
}

} // namespace chargectl
