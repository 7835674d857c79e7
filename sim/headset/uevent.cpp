// SPDX-License-Identifier: MIT
#include "uevent.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace vh {

namespace {

// The multicast group udevd sends on (group 1 is the kernel's).
constexpr uint32_t udev_multicast_group = 2;
constexpr uint32_t udev_magic = 0xfeedcafe;

// libudev's monitor_netlink_header, 40 bytes.
struct UdevHeader {
    char prefix[8];
    uint32_t magic;                 // big-endian
    uint32_t header_size;           // host order
    uint32_t properties_off;        // host order
    uint32_t properties_len;        // host order
    uint32_t filter_subsystem_hash; // big-endian
    uint32_t filter_devtype_hash;   // big-endian
    uint32_t filter_tag_bloom_hi;   // big-endian
    uint32_t filter_tag_bloom_lo;   // big-endian
};
static_assert(sizeof(UdevHeader) == 40);

uint32_t hash_or_zero(std::string_view text) {
    return text.empty() ? 0 : murmur_hash2(text);
}

const std::string *find_property(const Properties &properties, const std::string &key) {
    for (const auto &[k, v] : properties) {
        if (k == key) {
            return &v;
        }
    }
    return nullptr;
}

} // namespace

uint32_t murmur_hash2(std::string_view text) {
    constexpr uint32_t m = 0x5bd1e995;
    constexpr int r = 24;
    auto length = static_cast<uint32_t>(text.size());
    uint32_t h = 0 ^ length; // seed 0
    const char *data = text.data();
    while (length >= 4) {
        uint32_t k;
        std::memcpy(&k, data, 4); // native byte order, as libudev reads it
        k *= m;
        k ^= k >> r;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        length -= 4;
    }
    const auto byte = [&](int i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(data[i]));
    };
    switch (length) {
    case 3:
        h ^= byte(2) << 16;
        [[fallthrough]];
    case 2:
        h ^= byte(1) << 8;
        [[fallthrough]];
    case 1:
        h ^= byte(0);
        h *= m;
        break;
    default:
        break;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

std::vector<char> encode_udev_event(const Properties &properties, std::string_view header_subsystem,
                                    std::string_view header_devtype) {
    std::vector<char> body;
    for (const auto &[key, value] : properties) {
        const std::string entry = key + "=" + value;
        body.insert(body.end(), entry.begin(), entry.end());
        body.push_back('\0'); // each string ends with a NUL; no extra NUL after the last
    }
    UdevHeader header{};
    std::memcpy(header.prefix, "libudev", 8);
    header.magic = htonl(udev_magic);
    header.header_size = sizeof(UdevHeader);
    header.properties_off = sizeof(UdevHeader);
    header.properties_len = static_cast<uint32_t>(body.size());
    header.filter_subsystem_hash = htonl(hash_or_zero(header_subsystem));
    header.filter_devtype_hash = htonl(hash_or_zero(header_devtype));

    std::vector<char> message(sizeof(header) + body.size());
    std::memcpy(message.data(), &header, sizeof(header));
    if (!body.empty()) {
        std::memcpy(message.data() + sizeof(header), body.data(), body.size());
    }
    return message;
}

UeventInjector::UeventInjector() {
    socket_fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (socket_fd_ < 0) {
        throw std::runtime_error(std::string("udev event injector: cannot open netlink socket: ") +
                                 std::strerror(errno));
    }
}

UeventInjector::~UeventInjector() {
    if (socket_fd_ >= 0) {
        close(socket_fd_);
    }
}

uint64_t UeventInjector::take_seqnum() {
    std::lock_guard lock(mutex_);
    return next_seqnum_++;
}

uint64_t UeventInjector::send(const std::string &action, const std::string &devpath,
                              const std::string &subsystem, const Properties &properties) {
    Properties all{{"ACTION", action}, {"DEVPATH", devpath}, {"SUBSYSTEM", subsystem}};
    all.insert(all.end(), properties.begin(), properties.end());
    uint64_t seqnum = 0;
    if (const std::string *own = find_property(properties, "SEQNUM")) {
        seqnum = std::stoull(*own);
    } else {
        seqnum = take_seqnum();
        all.emplace_back("SEQNUM", std::to_string(seqnum));
    }
    const std::string *devtype = find_property(all, "DEVTYPE");
    transmit(encode_udev_event(all, subsystem, devtype ? *devtype : std::string()));
    return seqnum;
}

void UeventInjector::send_raw(const Properties &properties,
                              const std::optional<std::string> &header_subsystem) {
    const std::string *subsystem = find_property(properties, "SUBSYSTEM");
    const std::string *devtype = find_property(properties, "DEVTYPE");
    const std::string hashed = header_subsystem ? *header_subsystem
                               : subsystem      ? *subsystem
                                                : std::string();
    transmit(encode_udev_event(properties, hashed, devtype ? *devtype : std::string()));
}

void UeventInjector::transmit(const std::vector<char> &message) {
    sockaddr_nl destination{};
    destination.nl_family = AF_NETLINK;
    destination.nl_pid = 0;
    destination.nl_groups = udev_multicast_group;
    {
        std::lock_guard lock(mutex_);
        last_sent_at_ = std::chrono::steady_clock::now();
    }
    const ssize_t sent =
        sendto(socket_fd_, message.data(), message.size(), 0,
               reinterpret_cast<const sockaddr *>(&destination), sizeof(destination));
    // ECONNREFUSED only says that nobody listens yet; the event is simply lost, as with udevd.
    if (sent < 0 && errno != ECONNREFUSED) {
        throw std::runtime_error(std::string("udev event injector: sendto failed: ") +
                                 std::strerror(errno));
    }
}

std::chrono::steady_clock::time_point UeventInjector::last_sent_at() {
    std::lock_guard lock(mutex_);
    return last_sent_at_;
}

} // namespace vh
