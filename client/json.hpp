// SPDX-License-Identifier: MIT
// The little JSON that chargectl prints: one object per line, built as text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace chargectl {

// A JSON string literal: quoted, with quotes, backslashes and control characters escaped
// (the files are written by other software too, so any byte may come).
std::string json_string(std::string_view text);
// The literal, or null.
std::string json_string_or_null(const std::optional<std::string> &text);

// An object, member by member: {"a":1,"b":"x"}.
class json_object {
  public:
    json_object &raw(std::string_view name, std::string_view json_value);
    json_object &text(std::string_view name, const std::optional<std::string> &value);
    json_object &number(std::string_view name, const std::optional<long long> &value);
    json_object &boolean(std::string_view name, const std::optional<bool> &value);
    std::string str() const { return body_ + "}"; }

  private:
    std::string body_ = "{";
};

} // namespace chargectl
