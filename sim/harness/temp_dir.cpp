// SPDX-License-Identifier: MIT
#include "harness/temp_dir.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>

namespace vh {

TempDir::TempDir(std::string_view prefix) {
    std::string pattern = "/tmp/" + std::string(prefix) + "XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    if (keep_ || path_.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace vh
