// SPDX-License-Identifier: MIT
#include "watch.hpp"

#include "json.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace chargectl {

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

bool is_link_name(std::string_view name) {
    return name == "BAT0" || name == "BAT1";
}

// Content on one line: a newline (as "1\n" in a control file) shown as \n.
std::string one_line(const std::optional<std::string> &text) {
    if (!text) {
        return "(absent)";
    }
    std::string shown;
    for (const char c : *text) {
        if (c == '\n') {
            shown += "\\n";
        } else if (static_cast<unsigned char>(c) < 0x20) {
            shown += '?';
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string time_text(clock::time_point when, bool json) {
    const std::time_t seconds = clock::to_time_t(when);
    std::tm parts{};
    char text[32];
    if (json) {
        gmtime_r(&seconds, &parts);
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    } else {
        localtime_r(&seconds, &parts);
        std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    }
    return text;
}

void print(const std::string &line) {
    std::cout << line << std::flush;
}

struct watcher {
    const options &chosen;
    int fd = -1;
    snapshot seen;
    clock::time_point started;
    bool silent = false;

    void look_at(std::string_view name) {
        const auto known = seen.find(name);
        if (known == seen.end()) {
            return;
        }
        std::optional<std::string> now = read_entry(chosen.directory, name);
        if (now != known->second) {
            print(format_change({known->first, known->second, now}, false, clock::now(),
                                chosen.json));
            known->second = std::move(now);
        }
    }

    void look_at_everything() {
        for (const std::string &name : watched_names()) {
            look_at(name);
        }
    }

    // charged is silent while its newest status file is older than a few cycles; a new
    // one ends that.
    void check_liveness() {
        const auto now = clock::now();
        const auto written = last_status_write(chosen.directory);
        const auto quiet =
            std::chrono::duration_cast<std::chrono::seconds>(now - written.value_or(started));
        if (!silent && quiet > stale_after) {
            silent = true;
            print(format_liveness(false, quiet, now, chosen.json));
        } else if (silent && quiet <= stale_after) {
            silent = false;
            print(format_liveness(true, {}, now, chosen.json));
        }
    }
};

} // namespace

const std::vector<std::string> &watched_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all(status_file_names.begin(), status_file_names.end());
        all.emplace_back("BAT0");
        all.emplace_back("BAT1");
        all.insert(all.end(), control_file_names.begin(), control_file_names.end());
        return all;
    }();
    return names;
}

std::optional<std::string> read_entry(const std::string &directory, std::string_view name) {
    const std::string path = directory + "/" + std::string(name);
    if (is_link_name(name)) {
        std::array<char, 4096> target{};
        const ssize_t length = readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            return std::nullopt;
        }
        return std::string(target.data(), static_cast<size_t>(length));
    }
    return read_file_text(path);
}

snapshot take_snapshot(const std::string &directory) {
    snapshot taken;
    for (const std::string &name : watched_names()) {
        taken[name] = read_entry(directory, name);
    }
    return taken;
}

std::vector<change> changes_between(const snapshot &before, const snapshot &after) {
    std::vector<change> changes;
    for (const std::string &name : watched_names()) {
        const auto old_entry = before.find(name);
        const auto new_entry = after.find(name);
        const std::optional<std::string> old_value =
            old_entry != before.end() ? old_entry->second : std::nullopt;
        const std::optional<std::string> new_value =
            new_entry != after.end() ? new_entry->second : std::nullopt;
        if (old_value != new_value) {
            changes.push_back({name, old_value, new_value});
        }
    }
    return changes;
}

std::string format_change(const change &c, bool first_view, clock::time_point when, bool json) {
    if (json) {
        json_object object;
        object.text("time", time_text(when, true)).text("file", c.name);
        if (!first_view) {
            object.text("old", c.before);
        }
        return object.text("new", c.after).str() + "\n";
    }
    std::string line = time_text(when, false) + " " + c.name + ": ";
    if (!first_view) {
        line += one_line(c.before) + " -> ";
    }
    return line + one_line(c.after) + "\n";
}

std::string format_liveness(bool running, std::chrono::seconds silent, clock::time_point when,
                            bool json) {
    if (json) {
        json_object object;
        object.text("time", time_text(when, true)).boolean("running", running);
        if (!running) {
            object.number("silent_s", silent.count());
        }
        return object.str() + "\n";
    }
    if (running) {
        return time_text(when, false) + " charged: writing its status files again\n";
    }
    return time_text(when, false) + " charged: no update for " + format_age(silent) +
           ": not running?\n";
}

int watch_directory(const options &chosen) {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const power_state state = read_power_state(chosen.directory);
    if (state.directory_error) {
        std::cerr << "chargectl: cannot read " << chosen.directory << ": " << *state.directory_error
                  << '\n';
        return exit_failure;
    }
    watcher w{chosen, -1, {}, {}, false};
    w.fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    constexpr uint32_t events =
        IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF;
    if (w.fd < 0 || inotify_add_watch(w.fd, chosen.directory.c_str(), events) < 0) {
        std::cerr << "chargectl: cannot watch " << chosen.directory << ": " << std::strerror(errno)
                  << '\n';
        return exit_failure;
    }

    // The first view: what is there now, then only what changes.
    const clock::time_point start = clock::now();
    w.seen = take_snapshot(chosen.directory);
    for (const std::string &name : watched_names()) {
        if (w.seen[name]) {
            print(format_change({name, std::nullopt, w.seen[name]}, true, start, chosen.json));
        }
    }
    w.started = start;
    w.check_liveness();

    int status = exit_ok;
    while (stop_requested == 0) {
        pollfd ready{w.fd, POLLIN, 0};
        const int count = poll(&ready, 1, 1000);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            status = exit_failure;
            break;
        }
        w.check_liveness();
        if (count == 0) {
            continue;
        }
        alignas(inotify_event) std::array<char, 16384> buffer{};
        const ssize_t length = read(w.fd, buffer.data(), buffer.size());
        for (size_t offset = 0; length > 0 && offset < static_cast<size_t>(length);) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            const std::string_view name =
                event.len > 0 ? std::string_view(buffer.data() + offset + sizeof event)
                              : std::string_view{};
            offset += sizeof event + event.len;
            if ((event.mask & (IN_DELETE_SELF | IN_IGNORED)) != 0) {
                std::cerr << "chargectl: " << chosen.directory << " is gone\n";
                return exit_failure;
            }
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                w.look_at_everything();
                continue;
            }
            w.look_at(name);
        }
    }
    return status;
}

} // namespace chargectl
