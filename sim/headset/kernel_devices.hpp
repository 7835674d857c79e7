// SPDX-License-Identifier: MIT
// The headset's devices in a real kernel: the vheadset kernel module (kernel/headset) registers
// every device the daemon uses, with the real power-supply, IIO, hwmon, regulator and LED
// cores behind them, and takes its values from user space. This is the link between the
// driver models, which keep working on their FakeSysfs tree (then not mounted), and that
// module:
//   - every value a model stores goes to the module ("store"/"set"), every notification too;
//   - a power supply's change event is the module's "change" (the kernel's own uevent, sent
//     on through the real udevd); a device that appears or vanishes is the platform driver
//     bound or unbound, which makes the kernel's events;
//   - every write the daemon makes, read from the module's write log, is handed back to the
//     tree as a client's write (stored, the model's hook, the write log tests wait on), then
//     acknowledged: the daemon's write returns only then, as it does from a FUSE handler.
// Attributes the module does not carry (the fake's "name" and "uevent" files) stay the
// tree's own.
#pragma once

#include "sysfs.hpp"

#include <string>
#include <thread>
#include <vector>

namespace vh {

class KernelDevices {
  public:
    // The module's control directory; throws std::runtime_error when the module is not
    // loaded (or debugfs is not mounted).
    static constexpr const char *control_dir = "/sys/kernel/debug/vheadset";
    static bool loaded();

    explicit KernelDevices(FakeSysfs &fs);
    ~KernelDevices(); // stops following the write log
    KernelDevices(const KernelDevices &) = delete;
    KernelDevices &operator=(const KernelDevices &) = delete;

    // Makes the kernel's devices what the tree holds: each device of the tree bound with
    // the tree's values, each one the tree lacks unbound, the write log emptied. Then the
    // daemon's writes are followed until destruction.
    void take_over();

    // The tree's changes (FakeSysfs::forward_changes).
    void forward(const std::string &canonical, const std::string *value, bool notify);
    // A change uevent of the power supply whose device directory (canonical tree path) is
    // given; nothing for a device the module does not know.
    void change(const std::string &device_dir);
    // The device's driver bound (with the tree's values first) or unbound.
    void bind(const std::string &device_dir);
    void unbind(const std::string &device_dir);

    // One device of the module: the name its control commands take, the platform device
    // its driver binds, and where the tree keeps its files (the limiter's are in three
    // places: hwmon device, platform device, debugfs).
    struct Device {
        std::string name;
        std::string platform_device;
        std::vector<std::string> tree_dirs; // canonical; the first is the device itself
        // Where the kernel shows each of them: a fixed path, or (by_name) a directory of
        // devices ("/sys/class/hwmon") holding the one whose "name" is the device's.
        struct KernelDir {
            std::string path;
            bool by_name = false;
        };
        std::vector<KernelDir> kernel_dirs;
    };

    // The kernel's own /sys/devices path of a tree path (canonical) of a device it carries
    // (the tree path itself for anything else): what the daemon's lookups find there.
    std::string kernel_path(const std::string &canonical) const;

  private:
    // The device a tree path is in, the rest of the path after its directory, and which of
    // its directories that is.
    static const Device *device_at(const std::string &canonical, std::string *attribute,
                                   std::size_t *dir_index = nullptr);
    // One control command; the errno it failed with, 0 when it was taken.
    int command(const std::string &line) const;
    void store_values(const Device &device) const;
    void driver(const Device &device, bool bind) const;
    void follow_log();
    void daemon_wrote(const std::string &line);
    void acknowledge(const std::string &line) const;

    FakeSysfs &fs_;
    int control_fd_ = -1;
    int log_fd_ = -1;
    int stop_fd_ = -1; // an eventfd that ends the log thread
    std::thread log_thread_;
};

} // namespace vh
