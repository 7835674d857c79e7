// SPDX-License-Identifier: MIT
// The four manual control files in charged's directory: what each command writes into them,
// what their contents mean, and how a control file is written so that charged can still
// reset it (mode 0664, the directory's group).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace chargectl {

// In the order in which charged reads them in every cycle.
inline constexpr std::array<std::string_view, 4> control_file_names = {
    "set_internal_batt_primary", "set_external_batt_primary", "cross_charge_secondary",
    "disable_cross_charging"};

struct control_write {
    std::string_view file;
    char value; // '1' sets the flag, '0' clears it
};

// The files that `primary VALUE` or `cross-charge VALUE` writes, in the order written. The
// order keeps every state in between harmless for a cycle that reads in between: the
// internal battery wins over the pack's when both are set, so choosing it sets its file
// first and choosing the pack clears the internal one first; cross-charging is disabled
// before anything else is cleared and enabled last.
std::vector<control_write> writes_for(std::string_view command, std::string_view value);

// The names of the choices that the flags make, as the commands spell them.
std::string_view primary_name(bool internal_primary, bool external_primary);
std::string_view cross_charge_name(bool cross_charge_secondary, bool disable_cross_charging);

// charged's reading of a control file's content: set when the first byte is '1'.
bool flag_set(std::string_view content);

// The mode a control file must have: charged writes "0" into each at its start, without any
// capability, through the group's write permission.
inline constexpr mode_t control_file_mode = 0664;
// "0664": a file's permission bits as chmod takes them.
std::string mode_text(mode_t mode);

enum class write_outcome { written, permission_denied, failed };

struct write_result {
    write_outcome outcome = write_outcome::written;
    std::string message; // for anything but written: what went wrong and, where known, the fix
};

// Writes value as the whole content of the control file. An existing file is overwritten
// in place (its first byte, then cut to that byte), so it keeps its owner, group and mode
// and a reader never finds it empty; one the caller owns gets mode 0664 if it lacks it.
// A missing file is made as a new file (mode 0664, the directory's group) that replaces the
// name by a rename, so nobody sees it half made. A link or anything but a regular file is
// refused.
write_result write_control_file(const std::string &directory, std::string_view name, char value);

// Whether the caller may write the control file (an existing one) or create it (a missing
// one, in the directory), asked before anything is written, so that a choice is never left
// half written for want of permission. written when it may.
write_result check_writable(const std::string &directory, std::string_view name);

// The facts that decide what a caller without permission must do.
struct permission_facts {
    std::string path;
    std::string error_text; // strerror of the failed call
    bool read_only_filesystem = false;
    bool file_exists = false;
    mode_t file_mode = 0; // of the file, when it exists
    std::string group;    // the group that may write: the file's, else the directory's
    bool caller_is_root = false;
    bool member_of_group = false;  // listed in the group database
    bool group_in_session = false; // and among this process's groups
};

// The error text with the fix: join the group, log in again, or have the mode put right.
std::string permission_advice(const permission_facts &facts);

} // namespace chargectl
