// SPDX-License-Identifier: MIT
// The texts of sysfs attributes as the driver models read and store them.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace vh {

// A switch attribute reads as on when it starts with "1" (a trailing newline is allowed).
inline bool is_on(const std::string &text) {
    return !text.empty() && text[0] == '1';
}

inline std::string flag(bool on) {
    return on ? "1" : "0";
}

inline std::string decimal(int32_t value) {
    return std::to_string(value);
}

// Without the newline and blanks a writer may leave at the end.
inline std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// A decimal attribute; 0 when it holds no number.
inline int32_t to_int(const std::string &text) {
    try {
        return static_cast<int32_t>(std::stol(text));
    } catch (const std::exception &) {
        return 0;
    }
}

} // namespace vh
