// SPDX-License-Identifier: MIT
// The daemon's console output: the report, its decisions and its errors, on standard error
// and standard output, each line written whole with one write.
//
// Under systemd both streams usually go to the journal, which reads them line by line and
// takes a leading "<N>" (a syslog level, as sd-daemon.h's SD_ERR etc.) as the line's
// priority and strips it. The service manager names that stream in JOURNAL_STREAM
// ("<device>:<inode>", both decimal); a stream whose descriptor is that file gets the prefix
// at the start of each line, so `journalctl -p err` shows the errors alone while the text in
// the journal stays as printed. Any other stream (a terminal, a pipe, a file) gets the text
// unchanged, byte for byte.
//
// A piece that ends without a newline is continued by the next piece on the same stream: the
// journal sees one line, at the level of its first piece. A prefix therefore goes only where
// a line starts; one in the middle would stay in the journal's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <systemd/sd-daemon.h>

// The syslog levels the daemon uses; the values are syslog's.
enum class console_level : uint8_t { err = 3, warning = 4, info = 6, debug = 7 };

// "<3>", "<4>", "<6>" or "<7>", as sd-daemon.h spells them.
constexpr std::string_view console_level_prefix(console_level level) {
    switch (level) {
    case console_level::err:
        return SD_ERR;
    case console_level::warning:
        return SD_WARNING;
    case console_level::info:
        return SD_INFO;
    case console_level::debug:
        return SD_DEBUG;
    }
    return SD_INFO;
}

// Whether JOURNAL_STREAM's text names the file with this device and inode number: two
// decimal numbers joined by one ':', nothing else (no sign, no space, no overflow).
bool journal_stream_names(const char *journal_stream, uint64_t device, uint64_t inode);

// Looks once whether standard output and standard error are the journal (JOURNAL_STREAM and
// fstat of each descriptor) and whether they are one file (then they share one line). Before
// it, and for any other stream, nothing is prefixed.
void console_init();

// Formats and writes one piece of output. Anything the stream still buffers goes first; a
// stream without a descriptor (a memory stream) gets the text through stdio, unprefixed.
void console_print(FILE *stream, console_level level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes one whole line (ending in a newline) on standard error with write(2) alone, for the
// signal handler, which cannot use stdio. Async-signal-safe.
void console_write_signal_line(console_level level, const char *line, size_t length);
