// SPDX-License-Identifier: MIT
#include "kernel_devices.hpp"

#include "device_layout.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vh {

namespace {

constexpr const char *driver_dir = "/sys/bus/platform/drivers/vheadset";
constexpr const char *debugfs_counter_dir = "/sys/kernel/debug/dri/0";

std::string control_path(const char *file) {
    return std::string(KernelDevices::control_dir) + "/" + file;
}

bool starts_with_dir(const std::string &path, const std::string &dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           path[dir.size()] == '/';
}

// The log's TEXT field back to the bytes written ("\\", "\n", "\xHH").
std::string unescaped(const std::string &text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            bytes += text[i];
        } else if (text[i + 1] == 'n') {
            bytes += '\n';
            ++i;
        } else if (text[i + 1] == 'x' && i + 3 < text.size()) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            bytes += text[i + 1];
            ++i;
        }
    }
    return bytes;
}

const std::vector<KernelDevices::Device> &devices() {
    const std::string supplies = "/sys/class/power_supply";
    const std::string regulators = "/sys/class/regulator";
    const auto supply = [&](const std::string &name, const std::string &platform,
                            const std::string &tree_dir) {
        return KernelDevices::Device{name, platform, {tree_dir}, {{supplies + "/" + name}}};
    };
    const auto regulator = [&](const std::string &name, const std::string &platform,
                               const std::string &tree_dir) {
        return KernelDevices::Device{name, platform, {tree_dir}, {{regulators, true}}};
    };
    const std::string limiter = "c400000.spmi:pmic@1:sensor@4700";
    static const std::vector<KernelDevices::Device> table{
        supply("pm8550b-charger", "c400000.spmi:pmic@7:charger@1000", device::charger),
        supply("tcpm-source-psy-c400000.spmi:pmic@7:typec@2b00", "c400000.spmi:pmic@7:typec@2b00",
               device::tcpm),
        supply("max1720x_bat_3-36", "3-0036", device::gauge(3, 36)),
        supply("max1720x_bat_7-76", "7-0076", device::gauge(7, 76)),
        supply("pellgrave-hotswap", "5-0040", device::hotswap),
        supply("mp2652-charger", "7-005c", device::mp2652),
        {"c400000.spmi:pmic@0:vadc@9000",
         "c400000.spmi:pmic@0:vadc@9000",
         {device::adc},
         {{"/sys/bus/iio/devices", true}}},
        {limiter,
         limiter,
         {device::hwmon, device::bcl, debugfs_counter_dir},
         {{"/sys/class/hwmon", true},
          {"/sys/bus/platform/devices/" + limiter},
          {debugfs_counter_dir}}},
        regulator("backlight_left", "backlight-left-vreg",
                  "/sys/devices/platform/backlight-left-vreg/regulator/regulator.20"),
        regulator("backlight_right", "backlight-right-vreg",
                  "/sys/devices/platform/backlight-right-vreg/regulator/regulator.21"),
        regulator("tps61377", "2-0074", device::soc + "/i2c@2/i2c-2/2-0074/regulator/regulator.22"),
        {"mp3317-scene-illum-ir",
         "4-0063",
         {device::led},
         {{"/sys/class/leds/mp3317-scene-illum-ir"}}},
    };
    return table;
}

// The device in dir whose "name" attribute is name, by its canonical path; "" when none is.
std::string named_device_in(const std::string &dir, const std::string &name) {
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(dir, error)) {
        std::ifstream in(entry.path() / "name");
        std::string shown;
        if (std::getline(in, shown) && shown == name) {
            return std::filesystem::canonical(entry.path(), error).string();
        }
    }
    return "";
}

} // namespace

bool KernelDevices::loaded() {
    return access(control_path("control").c_str(), W_OK) == 0;
}

KernelDevices::KernelDevices(FakeSysfs &fs) : fs_(fs) {
    control_fd_ = open(control_path("control").c_str(), O_WRONLY | O_CLOEXEC);
    if (control_fd_ < 0) {
        throw std::runtime_error("kernel backend: cannot open " + control_path("control") + ": " +
                                 std::strerror(errno) +
                                 " (is the vheadset module loaded, debugfs mounted?)");
    }
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
}

KernelDevices::~KernelDevices() {
    fs_.forward_changes(nullptr);
    if (log_thread_.joinable()) {
        const uint64_t one = 1;
        (void)!write(stop_fd_, &one, sizeof one);
        log_thread_.join();
    }
    for (int fd : {control_fd_, log_fd_, stop_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

const KernelDevices::Device *KernelDevices::device_at(const std::string &canonical,
                                                      std::string *attribute,
                                                      std::size_t *dir_index) {
    const Device *found = nullptr;
    std::size_t longest = 0;
    for (const Device &d : devices()) {
        for (std::size_t i = 0; i < d.tree_dirs.size(); ++i) {
            const std::string &dir = d.tree_dirs[i];
            const bool inside = canonical == dir || starts_with_dir(canonical, dir);
            if (inside && dir.size() > longest) {
                found = &d;
                longest = dir.size();
                if (dir_index != nullptr) {
                    *dir_index = i;
                }
            }
        }
    }
    if (found != nullptr && attribute != nullptr) {
        *attribute = canonical.size() > longest ? canonical.substr(longest + 1) : "";
    }
    return found;
}

std::string KernelDevices::kernel_path(const std::string &canonical) const {
    std::string rest;
    std::size_t index = 0;
    const Device *device = device_at(canonical, &rest, &index);
    if (device == nullptr) {
        return canonical;
    }
    const Device::KernelDir &where = device->kernel_dirs[index];
    std::error_code error;
    const std::string dir = where.by_name ? named_device_in(where.path, device->name)
                                          : std::filesystem::canonical(where.path, error).string();
    if (dir.empty()) {
        return canonical; // not there now (unbound)
    }
    return rest.empty() ? dir : dir + "/" + rest;
}

int KernelDevices::command(const std::string &line) const {
    const std::string text = line + "\n";
    if (write(control_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
        return 0;
    }
    return errno != 0 ? errno : EIO;
}

void KernelDevices::forward(const std::string &canonical, const std::string *value, bool notify) {
    std::string attribute;
    const Device *device = device_at(canonical, &attribute);
    // Only plain attributes: a value with a newline (a uevent file's) cannot be one.
    if (device == nullptr || attribute.empty() || attribute.find('/') != std::string::npos ||
        (value != nullptr && value->find('\n') != std::string::npos)) {
        return;
    }
    const std::string line = value == nullptr ? "notify " + device->name + " " + attribute
                                              : (notify ? "set " : "store ") + device->name + " " +
                                                    attribute + " " + *value;
    const int error = command(line);
    // ENOENT: an attribute of the tree that the module does not carry ("name", "brightness");
    // ENODEV: a notification of an unbound device, which has no file to go to.
    if (error != 0 && error != ENOENT && error != ENODEV) {
        std::fprintf(stderr, "kernel backend: \"%s\" failed: %s\n", line.c_str(),
                     std::strerror(error));
    }
}

void KernelDevices::change(const std::string &device_dir) {
    std::string attribute;
    const Device *device = device_at(device_dir, &attribute);
    if (device != nullptr && attribute.empty()) {
        command("change " + device->name);
    }
}

void KernelDevices::store_values(const Device &device) const {
    for (const std::string &dir : device.tree_dirs) {
        if (!fs_.exists(dir)) {
            continue;
        }
        for (const std::string &name : fs_.list(dir)) {
            const std::string path = dir + "/" + name;
            if (!fs_.is_symlink(path) && fs_.canonical(path) == path) {
                try {
                    const std::string value = fs_.value(path);
                    if (value.find('\n') == std::string::npos) {
                        command("store " + device.name + " " + name + " " + value);
                    }
                } catch (const std::invalid_argument &) {
                    // a directory, not an attribute
                }
            }
        }
    }
}

void KernelDevices::driver(const Device &device, bool bind) const {
    const std::string path = std::string(driver_dir) + (bind ? "/bind" : "/unbind");
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("kernel backend: cannot open " + path + ": " +
                                 std::strerror(errno));
    }
    // Binding a bound device fails with EBUSY, unbinding an unbound one with ENODEV: both
    // leave the device as wanted.
    const ssize_t written = write(fd, device.platform_device.data(), device.platform_device.size());
    const int error = errno;
    close(fd);
    if (written < 0 && error != EBUSY && error != ENODEV) {
        throw std::runtime_error("kernel backend: " + std::string(bind ? "bind" : "unbind") +
                                 " of " + device.platform_device + ": " + std::strerror(error));
    }
}

void KernelDevices::bind(const std::string &device_dir) {
    std::string attribute;
    if (const Device *device = device_at(device_dir, &attribute); device && attribute.empty()) {
        store_values(*device);
        driver(*device, true);
    }
}

void KernelDevices::unbind(const std::string &device_dir) {
    std::string attribute;
    if (const Device *device = device_at(device_dir, &attribute); device && attribute.empty()) {
        driver(*device, false);
    }
}

void KernelDevices::take_over() {
    for (const Device &device : devices()) {
        if (fs_.exists(device.tree_dirs.front())) {
            store_values(device);
            driver(device, true);
        } else {
            driver(device, false);
        }
    }
    command("clear");
    // A log file opened now reads from the oldest line kept: none, after the clear. It is
    // written to acknowledge each write once handled: the daemon's write returns only then,
    // so it sees the model's answer as it would the driver's.
    log_fd_ = open(control_path("log").c_str(), O_RDWR | O_CLOEXEC);
    if (log_fd_ < 0) {
        throw std::runtime_error("kernel backend: cannot open " + control_path("log") + ": " +
                                 std::strerror(errno));
    }
    fs_.forward_changes([this](const std::string &canonical, const std::string *value,
                               bool notify) { forward(canonical, value, notify); });
    log_thread_ = std::thread([this] { follow_log(); });
}

void KernelDevices::follow_log() {
    std::string pending;
    std::array<char, 4096> buffer{};
    for (;;) {
        std::array<pollfd, 2> fds{{{log_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        const ssize_t got = read(log_fd_, buffer.data(), buffer.size());
        if (got <= 0) {
            continue;
        }
        pending.append(buffer.data(), static_cast<std::size_t>(got));
        for (std::size_t end = pending.find('\n'); end != std::string::npos;
             end = pending.find('\n')) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            daemon_wrote(line);
            acknowledge(line);
        }
    }
}

// The write's SEQUENCE back to the module: the daemon's write returns.
void KernelDevices::acknowledge(const std::string &line) const {
    const std::string handled = line.substr(0, line.find(' ')) + "\n";
    if (write(log_fd_, handled.data(), handled.size()) < 0) {
        // The write waits a second at most; the story goes on.
        std::fprintf(stderr, "vheadset: acknowledging \"%s\" failed: %s\n", line.c_str(),
                     std::strerror(errno));
    }
}

// "SEQUENCE PATH TEXT": PATH is the attribute under /sys/devices; its device is the nearest
// directory named like a device of the module (the class device, or the platform device for
// the limiter's switch and hwmon files).
void KernelDevices::daemon_wrote(const std::string &line) {
    const std::size_t path_start = line.find(' ');
    const std::size_t text_start =
        path_start == std::string::npos ? path_start : line.find(' ', path_start + 1);
    if (text_start == std::string::npos) {
        return;
    }
    const std::string path = line.substr(path_start + 1, text_start - path_start - 1);
    const std::string attribute = path.substr(path.rfind('/') + 1);
    for (std::size_t end = path.rfind('/'); end != std::string::npos && end > 0;
         end = path.rfind('/', end - 1)) {
        const std::size_t start = path.rfind('/', end - 1) + 1;
        const std::string dir_name = path.substr(start, end - start);
        for (const Device &device : devices()) {
            if (dir_name != device.name && dir_name != device.platform_device) {
                continue;
            }
            // The tree keeps the attribute in the first of the device's directories that
            // has it (the limiter: hwmon, platform device, debugfs).
            for (const std::string &dir : device.tree_dirs) {
                if (fs_.exists(dir + "/" + attribute)) {
                    fs_.client_write(dir + "/" + attribute, unescaped(line.substr(text_start + 1)));
                    return;
                }
            }
            return;
        }
    }
}

} // namespace vh
