// SPDX-License-Identifier: MIT
#include "json.hpp"

#include <cstdio>

namespace chargectl {

std::string json_string(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            quoted += "\\\"";
            break;
        case '\\':
            quoted += "\\\\";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                quoted += escape;
            } else {
                quoted += c;
            }
        }
    }
    return quoted + "\"";
}

std::string json_string_or_null(const std::optional<std::string> &text) {
    return text ? json_string(*text) : "null";
}

json_object &json_object::raw(std::string_view name, std::string_view json_value) {
    if (body_.size() > 1) {
        body_ += ',';
    }
    body_ += json_string(name);
    body_ += ':';
    body_ += json_value;
    return *this;
}

json_object &json_object::text(std::string_view name, const std::optional<std::string> &value) {
    return raw(name, json_string_or_null(value));
}

json_object &json_object::number(std::string_view name, const std::optional<long long> &value) {
    return raw(name, value ? std::to_string(*value) : "null");
}

json_object &json_object::boolean(std::string_view name, const std::optional<bool> &value) {
    return raw(name, value ? (*value ? "true" : "false") : "null");
}

} // namespace chargectl
