// SPDX-License-Identifier: MIT
#include "control_files.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace chargectl {

namespace {

std::string group_name(gid_t gid) {
    const group *entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

bool group_lists_caller(gid_t gid) {
    const passwd *user = getpwuid(geteuid());
    if (user == nullptr) {
        return false;
    }
    if (user->pw_gid == gid) {
        return true;
    }
    const group *entry = getgrgid(gid);
    if (entry == nullptr) {
        return false;
    }
    for (char **member = entry->gr_mem; *member != nullptr; ++member) {
        if (std::strcmp(*member, user->pw_name) == 0) {
            return true;
        }
    }
    return false;
}

bool session_has_group(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

bool is_permission_error(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

write_result permission_denied(const std::string &path, const std::string &directory, int error) {
    permission_facts facts;
    facts.path = path;
    facts.error_text = std::strerror(error);
    facts.read_only_filesystem = error == EROFS;
    struct stat status {};
    gid_t gid = 0;
    if (stat(path.c_str(), &status) == 0) {
        facts.file_exists = true;
        facts.file_mode = status.st_mode;
        gid = status.st_gid;
    } else if (stat(directory.c_str(), &status) == 0) {
        gid = status.st_gid;
    }
    facts.group = group_name(gid);
    facts.caller_is_root = geteuid() == 0;
    facts.member_of_group = group_lists_caller(gid);
    facts.group_in_session = session_has_group(gid);
    return {write_outcome::permission_denied, permission_advice(facts)};
}

write_result failed(const std::string &path, const std::string &reason) {
    return {write_outcome::failed, "cannot write " + path + ": " + reason};
}

// The file exists: its first byte in place, then cut to it. A reader sees the old or the
// new flag, never an empty file; the owner, group and mode stay.
write_result overwrite(int fd, const std::string &path, char value) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return failed(path, "not a regular file; charged reads only a regular file there");
    }
    if (pwrite(fd, &value, 1, 0) != 1) {
        const int error = errno;
        close(fd);
        return failed(path, std::strerror(error));
    }
    // Anything after the flag's byte is left from an older content; charged ignores it, so
    // a file that cannot be cut is still right.
    if (ftruncate(fd, 1) != 0) {
        errno = 0;
    }
    // A file made by an earlier writer with its umask: charged could not reset it. Only its
    // owner may change that; for anyone else status shows the mode.
    if (status.st_uid == geteuid() && (status.st_mode & 07777) != control_file_mode &&
        fchmod(fd, control_file_mode) != 0) {
        errno = 0;
    }
    if (close(fd) != 0) {
        return failed(path, std::strerror(errno));
    }
    return {};
}

// The file is missing: made complete under a temporary name and renamed into place.
write_result create(const std::string &directory, const std::string &path, char value) {
    std::string temporary = directory + "/.chargectl-XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (is_permission_error(error)) {
            return permission_denied(path, directory, error);
        }
        if (error == ENOENT) {
            return failed(path, "no directory " + directory + " (does charged run? --dir)");
        }
        return failed(path, std::strerror(error));
    }
    // The directory's group, writable for the group, whatever the umask. Under systemd the
    // directory's set-group-ID bit gives the group anyway, and only its members may create
    // files there; elsewhere a caller outside the group keeps its own.
    struct stat directory_status {};
    if (stat(directory.c_str(), &directory_status) == 0 &&
        fchown(fd, static_cast<uid_t>(-1), directory_status.st_gid) != 0) {
        errno = 0;
    }
    const bool made = fchmod(fd, control_file_mode) == 0 && write(fd, &value, 1) == 1;
    const int error = errno;
    if (close(fd) != 0 || !made) {
        unlink(temporary.c_str());
        return failed(path, std::strerror(made ? errno : error));
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int rename_error = errno;
        unlink(temporary.c_str());
        if (is_permission_error(rename_error)) {
            return permission_denied(path, directory, rename_error);
        }
        return failed(path, std::strerror(rename_error));
    }
    return {};
}

} // namespace

std::string mode_text(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::vector<control_write> writes_for(std::string_view command, std::string_view value) {
    constexpr std::string_view internal = control_file_names[0];
    constexpr std::string_view external = control_file_names[1];
    constexpr std::string_view secondary = control_file_names[2];
    constexpr std::string_view disable = control_file_names[3];
    if (command == "primary") {
        if (value == "internal") {
            return {{internal, '1'}, {external, '0'}};
        }
        if (value == "external") {
            return {{internal, '0'}, {external, '1'}};
        }
        if (value == "auto") {
            return {{internal, '0'}, {external, '0'}};
        }
    } else if (command == "cross-charge") {
        if (value == "on") {
            return {{secondary, '0'}, {disable, '0'}};
        }
        if (value == "off") {
            return {{disable, '1'}, {secondary, '0'}};
        }
        if (value == "secondary") {
            return {{secondary, '1'}, {disable, '0'}};
        }
    }
    return {};
}

std::string_view primary_name(bool internal_primary, bool external_primary) {
    if (internal_primary) {
        return "internal";
    }
    return external_primary ? "external" : "auto";
}

std::string_view cross_charge_name(bool cross_charge_secondary, bool disable_cross_charging) {
    if (disable_cross_charging) {
        return "off";
    }
    return cross_charge_secondary ? "secondary" : "on";
}

bool flag_set(std::string_view content) {
    return !content.empty() && content.front() == '1';
}

write_result write_control_file(const std::string &directory, std::string_view name, char value) {
    const std::string path = directory + "/" + std::string(name);
    // No link is followed and nothing but a regular file is written, as charged's own reset.
    const int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        return overwrite(fd, path, value);
    }
    const int error = errno;
    if (error == ENOENT) {
        return create(directory, path, value);
    }
    if (is_permission_error(error)) {
        return permission_denied(path, directory, error);
    }
    if (error == ELOOP) {
        return failed(path, "a symbolic link; charged does not follow it, remove it");
    }
    if (error == EISDIR) {
        return failed(path, "a directory; charged reads only a regular file there, remove it");
    }
    return failed(path, std::strerror(error));
}

write_result check_writable(const std::string &directory, std::string_view name) {
    const std::string path = directory + "/" + std::string(name);
    struct stat status {};
    const bool exists = lstat(path.c_str(), &status) == 0;
    const std::string &checked = exists ? path : directory;
    if (faccessat(AT_FDCWD, checked.c_str(), W_OK, AT_EACCESS) == 0) {
        return {};
    }
    const int error = errno;
    if (is_permission_error(error)) {
        return permission_denied(path, directory, error);
    }
    // Anything else (a missing directory) is for the write itself to report.
    return {};
}

std::string permission_advice(const permission_facts &facts) {
    std::string text = "cannot write " + facts.path + ": " + facts.error_text + "\n";
    if (facts.read_only_filesystem) {
        return text + "its file system is mounted read-only";
    }
    if (facts.file_exists && (facts.file_mode & S_IWGRP) == 0) {
        return text + "its mode is " + mode_text(facts.file_mode) +
               ": the group may not write it. As root, put it right with\n"
               "  chmod 0664 " +
               facts.path +
               "\n(or systemd-tmpfiles --create charged.conf, which sets up every control file)";
    }
    if (facts.caller_is_root) {
        return text + "even root may not: a read-only bind mount or a security module?";
    }
    if (facts.member_of_group && !facts.group_in_session) {
        return text + "you are in the group " + facts.group +
               ", but this session is not yet: log in again (or run `newgrp " + facts.group +
               "`) and retry";
    }
    if (!facts.member_of_group) {
        return text + "the control files are for the group " + facts.group +
               ": add yourself to it with\n  sudo usermod -aG " + facts.group +
               " \"$USER\"\nthen log in again and retry, or run chargectl as root";
    }
    return text + "you are in the group " + facts.group +
           ", but the file or its directory is not writable for it: as root, chmod 0664 the "
           "file, or check the directory (mode 3775, group " +
           facts.group + ")";
}

} // namespace chargectl
