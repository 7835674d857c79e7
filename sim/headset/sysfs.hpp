// SPDX-License-Identifier: MIT
// A fake /sys on FUSE that behaves like the kernel's sysfs (kernfs) where the daemon can
// tell: directories, symbolic links, attribute files whose reads return the whole value,
// writes that replace it, and change notification through poll (EPOLLPRI | EPOLLERR until
// the handle re-reads from offset 0).
//
// Every path of this API is absolute as the daemon sees it ("/sys/class/power_supply/x/y"),
// whatever the mount point. Symbolic links inside the tree are followed, so a class path
// and the /sys/devices path name the same node. All members are thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vh {

class FakeSysfs {
  public:
    // One write by a client of the mount (the daemon), in the order they arrived.
    struct Write {
        uint64_t seq;     // 1, 2, ... in arrival order
        std::string path; // canonical /sys/devices/... (or /sys/kernel/...) path written
        std::string text; // the bytes the client wrote
        std::chrono::steady_clock::time_point when;
        int error; // 0 when stored, else the errno the write failed with
    };

    FakeSysfs();
    ~FakeSysfs(); // unmounts
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    // Serves the tree at mountpoint from background threads. Throws std::runtime_error when
    // the mount fails. The tree can be built before or after mounting.
    void mount(const std::string &mountpoint = "/sys");
    void unmount();
    bool mounted() const;

    // Tree. add_* create missing parent directories and replace an existing node of the same
    // name. Symlink targets may be absolute ("/sys/devices/...", stored relative, as sysfs
    // shows them) or relative. remove() is recursive and does not follow a final symlink
    // (it removes the link); handles still open on removed attributes then fail reads and
    // writes with ENODEV, like a vanished device. add_*/remove throw std::invalid_argument
    // for paths outside /sys or through a non-directory.
    void add_dir(const std::string &path);
    void add_attr(const std::string &path, const std::string &value, mode_t mode = 0644);
    void add_symlink(const std::string &path, const std::string &target);
    void remove(const std::string &path);
    // A driver unbound and bound again: unbind() takes the device directory (class or
    // devices path) away with the class and bus entries that name it, as remove() does;
    // bind() brings the same tree back as new files (new inode numbers, no notification
    // pending, hooks kept), values as they were. Throws std::invalid_argument for a path
    // that is not a bound device / not an unbound one.
    void unbind(const std::string &device);
    void bind(const std::string &device);
    bool exists(const std::string &path) const;                  // follows symlinks
    bool is_symlink(const std::string &path) const;              // the final component is a link
    std::vector<std::string> list(const std::string &dir) const; // names, creation order
    std::string canonical(const std::string &path) const;        // "" when it does not resolve

    // Values. A read returns the value followed by a newline (unless it already ends with
    // one or is empty), as sysfs attributes show. value() returns the stored value.
    // Unknown paths throw std::invalid_argument.
    std::string value(const std::string &path) const;
    void set(const std::string &path, const std::string &value);          // + notify pollers
    void set_silently(const std::string &path, const std::string &value); // store only
    void notify(const std::string &path); // a change notification without a new value

    // Driver hooks. on_write runs after a client's write was stored, on a FUSE thread,
    // without any lock of this class held (it may call set(), send events, ...). on_read
    // supplies the value of every read (a uevent file showing live properties); it also
    // runs without the lock. An empty function removes the hook.
    void on_write(const std::string &path, std::function<void(const std::string &text)> hook);
    void on_read(const std::string &path, std::function<std::string()> provider);

    // Another kernel under the same model (the kernel module backend): every set(),
    // set_silently() and notify() is also handed to forward, with the attribute's canonical
    // path, the new value (nullptr for a notification alone) and whether pollers are
    // notified. Runs under this class's lock, in the order of the changes.
    using Forward =
        std::function<void(const std::string &canonical, const std::string *value, bool notify)>;
    void forward_changes(Forward forward);
    // A client's write that reached that other kernel: stored, the write hook run and logged
    // exactly as a write through the mount is. Unknown paths throw std::invalid_argument.
    void client_write(const std::string &path, const std::string &text);

    // Write log.
    std::vector<Write> writes() const;
    std::vector<Write> writes_to(const std::string &path) const;
    // Waits until a write of exactly text to path with seq > after_seq is logged (also one
    // logged before the call). True when it arrived within timeout.
    bool wait_for_write(const std::string &path, const std::string &text,
                        std::chrono::milliseconds timeout, uint64_t after_seq = 0) const;
    // Waits for any write to path with seq > after_seq; returns it, or nothing on timeout.
    std::vector<Write> wait_for_writes_to(const std::string &path,
                                          std::chrono::milliseconds timeout,
                                          uint64_t after_seq = 0) const;
    uint64_t last_seq() const;
    void clear_writes();

    // Fault injection per attribute. err is a positive errno; 0 clears. A short write
    // stores and reports at most max_bytes (0 clears).
    void fail_reads(const std::string &path, int err);
    void fail_writes(const std::string &path, int err);
    void short_writes(const std::string &path, size_t max_bytes);

    // Counters for tests.
    uint64_t opens(const std::string &path) const;      // opens of this attribute so far
    uint64_t opens() const;                             // opens of any attribute so far
    uint64_t reads(const std::string &path) const;      // read calls at offset 0
    size_t open_handles(const std::string &path) const; // currently open
    size_t poll_waiters(const std::string &path) const; // handles with a poll registration

    // Time the server spends in its request handlers, so that a latency measured around
    // the daemon can be split into the simulated filesystem's part and the daemon's. Off
    // until switched on; switching on starts an empty record.
    struct Request {
        std::chrono::steady_clock::time_point start;
        std::chrono::steady_clock::time_point end;
    };
    void record_requests(bool on);
    std::vector<Request> requests() const; // in the order the handlers finished

    struct Impl;

  private:
    void disable_flush(const std::string &mountpoint);

    std::unique_ptr<Impl> impl_;
};

} // namespace vh
