// SPDX-License-Identifier: MIT
// The attribute readers on arbitrary file contents, through a real file: each must take
// exactly its share of the bytes, trim exactly its characters, terminate inside its buffer
// and parse what a C string of those bytes says.
#include "fuzz_support.hpp"

#include "sensing/fuel_gauge.hpp"
#include "util/util.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string scratch_dir;
std::string attr_path;

void remove_scratch() {
    std::filesystem::remove_all(scratch_dir);
}

void write_attribute(const uint8_t *data, size_t size) {
    const int fd = open(attr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    fuzz::check(fd >= 0, "the scratch attribute opens");
    fuzz::check(write(fd, data, size) == static_cast<ssize_t>(size), "the scratch file is written");
    close(fd);
}

// The first `limit` bytes of the file as the readers see them.
std::string head(const uint8_t *data, size_t size, size_t limit) {
    return std::string(reinterpret_cast<const char *>(data), std::min(size, limit));
}

std::string trimmed(std::string text, std::string_view characters) {
    while (!text.empty() && characters.find(text.back()) != std::string_view::npos) {
        text.pop_back();
    }
    return text;
}

void check_read_attr_string(const uint8_t *data, size_t size, size_t buffer_size) {
    // On the heap at its exact size, so that ASan sees any byte written past its end.
    std::vector<char> buffer(buffer_size, '\x55');
    fuzz::check(read_attr_string(attr_path.c_str(), buffer.data(), buffer.size()) == 0,
                "read_attr_string reads a readable file");
    const std::string expected =
        trimmed(head(data, size, buffer_size - 1), std::string_view(" \n"));
    const size_t count = std::min(size, buffer_size - 1);
    fuzz::check(std::string_view(buffer.data(), expected.size()) == expected,
                "read_attr_string keeps the bytes before the trimmed end");
    for (size_t i = expected.size(); i <= count; ++i) {
        fuzz::check(buffer[i] == '\0', "read_attr_string terminates after the text");
    }
    for (size_t i = count + 1; i < buffer_size; ++i) {
        fuzz::check(buffer[i] == '\x55', "read_attr_string writes nothing past the bytes read");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    std::string pattern = (std::filesystem::temp_directory_path() / "charged-fuzz-XXXXXX");
    fuzz::check(mkdtemp(pattern.data()) != nullptr, "a scratch directory is made");
    scratch_dir = pattern;
    attr_path = scratch_dir + "/attribute";
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    write_attribute(data, size);

    for (const size_t buffer_size : {size_t{1}, size_t{2}, size_t{8}, size_t{64}, size_t{4096}}) {
        check_read_attr_string(data, size, buffer_size);
    }

    int32_t value = 0x5a5a5a5a;
    fuzz::check(read_attr_int(attr_path.c_str(), value) == 0, "read_attr_int reads");
    fuzz::check(value == parse_decimal(head(data, size, 63).c_str()),
                "read_attr_int parses the first 63 bytes");

    fuzz::check(read_attr_bool(attr_path.c_str()) == (size > 0 && data[0] == '1'),
                "read_attr_bool is true exactly for a leading 1");

    int32_t gauge_value = 0x5a5a5a5a;
    fuel_gauge_read_attr((scratch_dir + "/").c_str(), "attribute", &gauge_value);
    fuzz::check(gauge_value == parse_decimal(head(data, size, 63).c_str()),
                "fuel_gauge_read_attr parses the first 63 bytes");

    const int fd = open(attr_path.c_str(), O_RDONLY | O_CLOEXEC);
    fuzz::check(fd >= 0, "the scratch attribute opens for reading");
    const std::string first_64 = head(data, size, 64);
    const int32_t expected_int = parse_decimal(first_64.c_str());
    const bool expected_one =
        std::string(trimmed(first_64, std::string_view(" \t\n\v\f\r", 6)).c_str()) == "1";
    // Twice: every descriptor read starts again at offset 0.
    for (int pass = 0; pass < 2; ++pass) {
        int32_t descriptor_value = 0x5a5a5a5a;
        fuzz::check(sysfs_read_int(fd, descriptor_value) == 0, "sysfs_read_int reads");
        fuzz::check(descriptor_value == expected_int, "sysfs_read_int parses the first 64 bytes");
        bool is_one = !expected_one;
        fuzz::check(sysfs_read_string_as_bool(fd, "1", is_one) == 0,
                    "sysfs_read_string_as_bool reads");
        fuzz::check(is_one == expected_one,
                    "sysfs_read_string_as_bool compares the trimmed first 64 bytes");
    }
    close(fd);
    return 0;
}
