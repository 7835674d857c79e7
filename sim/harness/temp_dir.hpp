// SPDX-License-Identifier: MIT
// A fresh directory under /tmp, removed with everything in it when the owner goes.
#pragma once

#include <filesystem>
#include <string_view>

namespace vh {

class TempDir {
  public:
    // Creates /tmp/<prefix>XXXXXX. Short on purpose: unix socket paths inside it are limited
    // to 107 bytes. Throws std::system_error when the directory cannot be made.
    explicit TempDir(std::string_view prefix = "vh-");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // Leave the directory in place at destruction (to look at it after a failure).
    void keep() { keep_ = true; }

  private:
    std::filesystem::path path_;
    bool keep_ = false;
};

} // namespace vh
