// SPDX-License-Identifier: MIT
// The decimal parser every number from the kernel and udev goes through. Its contract is
// strtoll's (C locale, base 10), and the 32-bit form is the 64-bit value narrowed modulo
// 2^32: both are checked against those references on arbitrary text.
#include "fuzz_support.hpp"

#include "util/util.hpp"

#include <cerrno>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::text_of(data, size);
    const int64_t value = parse_decimal64(text.c_str());
    // strtoll also takes a "0x" prefix only with base 0 or 16; base 10 stops at the "x".
    const long long reference = std::strtoll(text.c_str(), nullptr, 10);
    fuzz::check(value == reference, "parse_decimal64 agrees with strtoll");
    fuzz::check(parse_decimal(text.c_str()) ==
                    static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))),
                "parse_decimal is parse_decimal64 narrowed to 32 bits");
    return 0;
}
