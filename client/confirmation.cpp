// SPDX-License-Identifier: MIT
#include "confirmation.hpp"

#include "power_state.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace chargectl {

namespace {

// The first status file of a cycle: its rename ends the cycle's reading of the control files.
constexpr std::string_view cycle_marker = status_file_names.front();
// Cycles without any control-file open before charged counts as not reading them.
constexpr int quiet_cycles_for_ignored = 2;

class inotify_watch {
  public:
    explicit inotify_watch(const std::string &directory)
        : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        if (fd_ >= 0 && inotify_add_watch(fd_, directory.c_str(), IN_OPEN | IN_MOVED_TO) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~inotify_watch() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    inotify_watch(const inotify_watch &) = delete;
    inotify_watch &operator=(const inotify_watch &) = delete;

    int fd() const { return fd_; }

    // Reads what is queued and hands each event to handle; false when nothing was queued.
    template <typename Handler> bool read_events(Handler handle) {
        alignas(inotify_event) std::array<char, 16384> buffer{};
        const ssize_t length = read(fd_, buffer.data(), buffer.size());
        if (length <= 0) {
            return false;
        }
        for (size_t offset = 0; offset < static_cast<size_t>(length);) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            const char *name = buffer.data() + offset + sizeof event;
            handle(event.mask, event.len > 0 ? std::string_view(name) : std::string_view{});
            offset += sizeof event + event.len;
        }
        return true;
    }

  private:
    int fd_;
};

std::string choice_text(const options &chosen) {
    return (chosen.what == command::primary ? "primary " : "cross-charge ") + chosen.value;
}

std::string_view command_word(const options &chosen) {
    return chosen.what == command::primary ? "primary" : "cross-charge";
}

// The control files that charged opens in every cycle: the regular files among them.
std::vector<std::string> regular_control_files(const std::string &directory) {
    std::vector<std::string> files;
    for (const std::string_view name : control_file_names) {
        struct stat status {};
        if (lstat((directory + "/" + std::string(name)).c_str(), &status) == 0 &&
            S_ISREG(status.st_mode)) {
            files.emplace_back(name);
        }
    }
    return files;
}

int fail(int status, const std::string &message) {
    std::cerr << "chargectl: " << message << '\n';
    return status;
}

// What the files say after charged took the choice: written values still there, and
// whether the pack that the choice is about is there.
int report_taken(const options &chosen, const std::vector<control_write> &writes) {
    const power_state after = read_power_state(chosen.directory);
    for (const control_write &write : writes) {
        size_t index = 0;
        while (control_file_names[index] != write.file) {
            ++index;
        }
        const std::optional<bool> set = after.controls[index].set;
        if (set != (write.value == '1')) {
            return fail(exit_not_in_effect,
                        std::string(write.file) + " no longer holds " + write.value +
                            ": charged restarted (it resets the control files when it "
                            "starts) or other software wrote it; " +
                            choice_text(chosen) + " is not in force");
        }
    }
    std::cout << choice_text(chosen) << ": taken by charged in its update cycle\n";
    if (!after.bat1.target_exists) {
        std::cout << "note: the pack is not connected; the choice applies while it is\n";
    }
    return exit_ok;
}

} // namespace

confirmation_rule::confirmation_rule(std::vector<std::string> files_read_by_charged)
    : expected_(std::move(files_read_by_charged)), opened_(expected_.size(), false) {}

void confirmation_rule::start_cycle() {
    std::fill(opened_.begin(), opened_.end(), false);
    opened_any_ = false;
}

verdict confirmation_rule::opened(std::string_view name) {
    if (verdict_ != verdict::waiting) {
        return verdict_;
    }
    for (size_t i = 0; i < expected_.size(); ++i) {
        if (expected_[i] == name) {
            opened_[i] = true;
            opened_any_ = true;
        }
    }
    return verdict_;
}

verdict confirmation_rule::renamed_into_place(std::string_view name) {
    if (verdict_ != verdict::waiting || name != cycle_marker) {
        return verdict_;
    }
    ++cycles_;
    const bool all_read = std::all_of(opened_.begin(), opened_.end(), [](bool o) { return o; });
    if (!expected_.empty() && all_read) {
        verdict_ = verdict::confirmed;
    } else if (!opened_any_ && ++quiet_cycles_ >= quiet_cycles_for_ignored) {
        verdict_ = verdict::ignored;
    } else if (opened_any_) {
        quiet_cycles_ = 0;
    }
    start_cycle();
    return verdict_;
}

void confirmation_rule::events_lost() {
    start_cycle();
    quiet_cycles_ = 0;
}

int apply_choice(const options &chosen) {
    const power_state before = read_power_state(chosen.directory);
    if (!daemon_running(before, clock::now())) {
        const std::string why =
            before.directory_error
                ? "cannot read " + chosen.directory + ": " + *before.directory_error
                : (before.last_update
                       ? "its status files in " + chosen.directory + " are older than " +
                             std::to_string(stale_after.count()) + " s"
                       : "no status files in " + chosen.directory);
        return fail(exit_not_running, "charged does not run (" + why +
                                          "); it resets the control files when it starts, so "
                                          "a choice written now would be lost");
    }
    // Watched before the writes, so that nothing of the cycles after them is missed.
    inotify_watch watch(chosen.directory);
    if (chosen.timeout.count() > 0 && watch.fd() < 0) {
        return fail(exit_failure, "cannot watch " + chosen.directory + ": " + std::strerror(errno));
    }

    const std::vector<control_write> writes = writes_for(command_word(chosen), chosen.value);
    for (const control_write &write : writes) {
        const write_result result = check_writable(chosen.directory, write.file);
        if (result.outcome == write_outcome::permission_denied) {
            return fail(exit_permission, result.message);
        }
    }
    for (const control_write &write : writes) {
        const write_result result = write_control_file(chosen.directory, write.file, write.value);
        if (result.outcome == write_outcome::permission_denied) {
            return fail(exit_permission, result.message);
        }
        if (result.outcome == write_outcome::failed) {
            return fail(exit_failure, result.message);
        }
    }
    if (chosen.timeout.count() == 0) {
        std::cout << choice_text(chosen)
                  << ": written; charged takes it in its next update cycle, within 20 s\n";
        return exit_ok;
    }

    // Everything queued so far happened before or during the writes.
    while (watch.read_events([](uint32_t, std::string_view) {})) {
    }
    confirmation_rule rule(regular_control_files(chosen.directory));
    const auto deadline = std::chrono::steady_clock::now() + chosen.timeout;
    while (rule.current() == verdict::waiting) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd ready{watch.fd(), POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            return fail(exit_failure,
                        std::string("cannot wait for charged: ") + std::strerror(errno));
        }
        watch.read_events([&](uint32_t mask, std::string_view name) {
            if ((mask & IN_Q_OVERFLOW) != 0) {
                rule.events_lost();
            } else if ((mask & IN_OPEN) != 0) {
                rule.opened(name);
            } else if ((mask & IN_MOVED_TO) != 0) {
                rule.renamed_into_place(name);
            }
        });
    }

    switch (rule.current()) {
    case verdict::confirmed:
        return report_taken(chosen, writes);
    case verdict::ignored:
        return fail(exit_not_in_effect,
                    "charged runs but does not read the control files: it reads them only "
                    "while the headstrap's hot-swap controller is there, and it found none "
                    "(see `journalctl -u charged | grep Tavlock`); " +
                        choice_text(chosen) + " is written but has no effect");
    case verdict::waiting:
        break;
    }
    return fail(exit_not_confirmed,
                "charged did not confirm " + choice_text(chosen) + " within " +
                    std::to_string(chosen.timeout.count()) + " s: " +
                    (rule.cycles_seen() == 0
                         ? "it wrote no status files since (systemctl status charged)"
                         : "its update cycles did not read all control files"));
}

} // namespace chargectl
