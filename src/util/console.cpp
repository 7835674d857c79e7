// SPDX-License-Identifier: MIT
#include "util/console.hpp"

#include <array>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t longest_prefix = 3;
static_assert(console_level_prefix(console_level::err).size() <= longest_prefix &&
              console_level_prefix(console_level::warning).size() <= longest_prefix &&
              console_level_prefix(console_level::info).size() <= longest_prefix &&
              console_level_prefix(console_level::debug).size() <= longest_prefix);

// The longest piece written at once; the daemon's longest lines hold two sysfs paths.
constexpr size_t piece_limit = 2048;

// Read by the signal handler, so each flag is a sig_atomic_t. A prefix is only safe where
// the stream is known to be at the start of a line: the mark is taken away before a write
// and given back after a write that ended a line, so a handler that comes in between
// writes its line without a prefix (the journal's default level), never a prefix into the
// middle of another line.
struct stream_state {
    volatile sig_atomic_t journal = 0;
    volatile sig_atomic_t at_line_start = 1;
};

// [0] standard error, [1] standard output, unless both are one file: then standard output
// uses [0] too, since a piece without a newline on one is continued by the other.
std::array<stream_state, 2> streams{};
volatile sig_atomic_t stdout_slot = 1;
// Either stream is the journal. Without one (a terminal, a pipe, the virtual headset) no
// line needs its state kept, and every piece is written as it is, at no further cost.
volatile sig_atomic_t any_journal = 0;

bool parse_decimal_u64(const char *&text, uint64_t &value) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const auto digit = static_cast<uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

// Writes everything, going on after a partial write; a failing console has nowhere to be
// reported.
void write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written <= 0) {
            return;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
}

// Writes one piece on fd, with the prefix that the stream's line state asks for, in one
// write. text has longest_prefix bytes of room before it. It runs for every line of every
// report, so it stays small.
[[gnu::always_inline]] inline void write_piece(int fd, console_level level, char *text,
                                               size_t length) {
    if (any_journal == 0) {
        write_all(fd, text, length);
        return;
    }
    stream_state *state = nullptr;
    if (fd == STDERR_FILENO) {
        state = &streams[0];
    } else if (fd == STDOUT_FILENO) {
        state = &streams[static_cast<size_t>(stdout_slot)];
    }
    char *start = text;
    if (state != nullptr) {
        if (state->journal != 0 && state->at_line_start != 0) {
            const std::string_view prefix = console_level_prefix(level);
            start -= prefix.size();
            for (size_t i = 0; i < prefix.size(); ++i) {
                start[i] = prefix[i];
            }
        }
        state->at_line_start = 0;
    }
    write_all(fd, start, static_cast<size_t>(text - start) + length);
    if (state != nullptr && length > 0 && text[length - 1] == '\n') {
        state->at_line_start = 1;
    }
}

} // namespace

bool journal_stream_names(const char *journal_stream, uint64_t device, uint64_t inode) {
    if (journal_stream == nullptr) {
        return false;
    }
    const char *text = journal_stream;
    uint64_t named_device = 0;
    uint64_t named_inode = 0;
    if (!parse_decimal_u64(text, named_device) || *text++ != ':' ||
        !parse_decimal_u64(text, named_inode) || *text != '\0') {
        return false;
    }
    return named_device == device && named_inode == inode;
}

void console_init() {
    const char *journal_stream = std::getenv("JOURNAL_STREAM");
    struct stat err_status {};
    struct stat out_status {};
    const bool err_open = fstat(STDERR_FILENO, &err_status) == 0;
    const bool out_open = fstat(STDOUT_FILENO, &out_status) == 0;
    const bool one_file = err_open && out_open && err_status.st_dev == out_status.st_dev &&
                          err_status.st_ino == out_status.st_ino;
    stdout_slot = one_file ? 0 : 1;
    for (stream_state &state : streams) {
        state.journal = 0;
        state.at_line_start = 1;
    }
    streams[0].journal =
        err_open && journal_stream_names(journal_stream, err_status.st_dev, err_status.st_ino) ? 1
                                                                                               : 0;
    if (!one_file) {
        streams[1].journal =
            out_open && journal_stream_names(journal_stream, out_status.st_dev, out_status.st_ino)
                ? 1
                : 0;
    }
    any_journal = streams[0].journal != 0 || streams[1].journal != 0 ? 1 : 0;
}

void console_print(FILE *stream, console_level level, const char *format, ...) {
    char buffer[longest_prefix + piece_limit];
    char *text = buffer + longest_prefix;
    va_list arguments;
    va_start(arguments, format);
    const int formatted = std::vsnprintf(text, piece_limit, format, arguments);
    va_end(arguments);
    if (formatted <= 0) {
        return;
    }
    size_t length = static_cast<size_t>(formatted);
    if (length >= piece_limit) {
        // Cut, but ending as the whole text would, so the next line still starts a line.
        length = piece_limit - 1;
        const size_t format_length = std::strlen(format);
        if (format_length > 0 && format[format_length - 1] == '\n') {
            text[length - 1] = '\n';
        }
    }
    const int fd = fileno(stream);
    if (fd < 0) {
        std::fwrite(text, 1, length, stream);
        return;
    }
    std::fflush(stream);
    write_piece(fd, level, text, length);
}

void console_write_signal_line(console_level level, const char *line, size_t length) {
    char buffer[longest_prefix + 64];
    if (length > sizeof buffer - longest_prefix) {
        length = sizeof buffer - longest_prefix;
    }
    std::memcpy(buffer + longest_prefix, line, length);
    write_piece(STDERR_FILENO, level, buffer + longest_prefix, length);
}
