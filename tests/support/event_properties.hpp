// SPDX-License-Identifier: MIT
// The properties of one udev event as a table, so that an event handler can be fed without
// libudev (unit tests, fuzz targets). Like libudev, a key given twice keeps its last value.
#pragma once

#include "util/util.hpp"

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

class event_properties {
  public:
    event_properties() = default;
    event_properties(std::initializer_list<std::pair<std::string, std::string>> pairs) {
        for (const auto &[key, value] : pairs) {
            set(key, value);
        }
    }

    void set(const std::string &key, const std::string &value) {
        for (auto &pair : pairs_) {
            if (pair.first == key) {
                pair.second = value;
                return;
            }
        }
        pairs_.emplace_back(key, value);
    }

    void clear() { pairs_.clear(); }

    // Valid while this table lives and is not changed.
    property_source source() const { return property_source{this, lookup}; }

  private:
    static const char *lookup(const void *context, const char *key) {
        const auto *table = static_cast<const event_properties *>(context);
        for (const auto &pair : table->pairs_) {
            if (pair.first == key) {
                return pair.second.c_str();
            }
        }
        return nullptr;
    }

    std::vector<std::pair<std::string, std::string>> pairs_;
};

} // namespace test_support
