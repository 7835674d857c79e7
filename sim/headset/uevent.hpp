// SPDX-License-Identifier: MIT
// Udev events as udevd sends them: the libudev netlink format on multicast group 2 of
// NETLINK_KOBJECT_UEVENT, in the current network namespace. A libudev monitor (the daemon's)
// receives them exactly like events of a real udevd.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vh {

using Properties = std::vector<std::pair<std::string, std::string>>;

// 32-bit MurmurHash2, seed 0: the hash libudev puts into the header so that a monitor's
// socket filter can drop other subsystems without reading the event.
uint32_t murmur_hash2(std::string_view text);

// The event as bytes on the wire: 40-byte header, then "KEY=VALUE" strings each ended by a
// NUL, without an extra NUL after the last one. The header's subsystem and devtype hashes
// come from header_subsystem / header_devtype (empty: 0).
std::vector<char> encode_udev_event(const Properties &properties, std::string_view header_subsystem,
                                    std::string_view header_devtype);

class UeventInjector {
  public:
    // Opens the netlink socket; throws std::runtime_error when that fails.
    UeventInjector();
    ~UeventInjector();
    UeventInjector(const UeventInjector &) = delete;
    UeventInjector &operator=(const UeventInjector &) = delete;

    // A complete event: ACTION, DEVPATH (without "/sys"), SUBSYSTEM, the given properties,
    // and SEQNUM (the next number, unless properties carry their own). A DEVTYPE property
    // also sets the header's devtype hash. Returns the SEQNUM sent.
    uint64_t send(const std::string &action, const std::string &devpath,
                  const std::string &subsystem, const Properties &properties);

    // Exactly the given properties, nothing added (events that libudev should drop, odd
    // routing texts). The header hashes come from the SUBSYSTEM and DEVTYPE properties, or
    // from header_subsystem when given.
    void send_raw(const Properties &properties,
                  const std::optional<std::string> &header_subsystem = std::nullopt);

    // The next SEQNUM send() would use, taken (for raw events that want a valid one).
    uint64_t take_seqnum();

    // When the last event was handed to the kernel (taken just before sendto): the start of
    // an event-to-write latency.
    std::chrono::steady_clock::time_point last_sent_at();

  private:
    void transmit(const std::vector<char> &message);

    int socket_fd_ = -1;
    std::mutex mutex_;
    uint64_t next_seqnum_ = 1;
    std::chrono::steady_clock::time_point last_sent_at_{};
};

} // namespace vh
