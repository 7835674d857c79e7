// SPDX-License-Identifier: MIT
// The fuel gauges' discovery on arbitrary power-supply names: the name test on its own,
// and a directory of that name in a private power-supply tree, which the search for the
// pack's gauge must find exactly when the name is "max1720x_bat_", a bus of one or two
// digits, "-" and "76".
#include "fuzz_support.hpp"

#include "sensing/fuel_gauge.hpp"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_pack_gauge_name(std::string_view name) {
    constexpr std::string_view prefix = "max1720x_bat_";
    constexpr std::string_view suffix = "-76";
    if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) ||
        !name.ends_with(suffix)) {
        return false;
    }
    const std::string_view bus =
        name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return (bus.size() == 1 || bus.size() == 2) && is_digit(bus.front()) && is_digit(bus.back());
}

bool is_file_name(const std::string &name) {
    return !name.empty() && name.size() <= 255 && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    fuzz::private_power_supply_tree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string name = fuzz::text_of(data, size);
    const bool expected = is_pack_gauge_name(name);
    fuzz::check(fuel_gauge_name_matches(name.c_str(), "76") == expected,
                "the name test accepts exactly the pack gauge's names");

    if (!fuzz::private_power_supply_tree() || !is_file_name(name)) {
        return 0;
    }
    std::filesystem::create_directory(fuzz::power_supply_dir / name);
    fuel_gauge_mark_absent(BATTERY_EXTERNAL);
    const int32_t result = fuel_gauge_find(BATTERY_EXTERNAL);
    fuzz::check((result == 0) == expected, "the search finds the directory exactly by its name");
    fuzz::check(fuel_gauge_is_present(BATTERY_EXTERNAL) == expected,
                "the gauge is present exactly when found");
    std::filesystem::remove(fuzz::power_supply_dir / name);
    return 0;
}
