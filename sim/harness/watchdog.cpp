// SPDX-License-Identifier: MIT
#include "harness/watchdog.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace vh {

namespace {

[[noreturn]] void throw_errno(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

WatchdogCapture::WatchdogCapture(std::filesystem::path socket_path)
    : path_(std::move(socket_path)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path_.string();
    if (text.empty() || text.size() >= sizeof(address.sun_path))
        throw std::system_error(ENAMETOOLONG, std::generic_category(),
                                "watchdog socket path " + text);
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);

    socket_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_fd_ < 0)
        throw_errno("watchdog socket");
    unlink(text.c_str());
    if (bind(socket_fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        const int saved = errno;
        close(socket_fd_);
        errno = saved;
        throw_errno("bind watchdog socket " + text);
    }
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    if (stop_fd_ < 0) {
        const int saved = errno;
        close(socket_fd_);
        errno = saved;
        throw_errno("eventfd");
    }
    reader_ = std::thread([this] { read_loop(); });
}

WatchdogCapture::~WatchdogCapture() {
    const std::uint64_t one = 1;
    if (write(stop_fd_, &one, sizeof(one)) < 0) {
        // Cannot happen with a fresh eventfd; the join below would hang, so do not join.
        reader_.detach();
    } else {
        reader_.join();
    }
    close(stop_fd_);
    close(socket_fd_);
    unlink(path_.c_str());
}

void WatchdogCapture::read_loop() {
    std::array<char, 4096> buffer{};
    for (;;) {
        std::array<pollfd, 2> fds{{{socket_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}}};
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        const ssize_t length = recv(socket_fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (length < 0)
            continue;
        std::string message(buffer.data(), static_cast<std::size_t>(length));
        {
            std::lock_guard lock(mutex_);
            if (message == "WATCHDOG=1")
                heartbeats_.push_back(clock::now());
            else
                others_.push_back(std::move(message));
        }
        arrived_.notify_all();
    }
}

int WatchdogCapture::count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(heartbeats_.size());
}

std::vector<WatchdogCapture::clock::time_point> WatchdogCapture::times() const {
    std::lock_guard lock(mutex_);
    return heartbeats_;
}

bool WatchdogCapture::wait_for_count(int n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout,
                             [&] { return static_cast<int>(heartbeats_.size()) >= n; });
}

std::vector<std::string> WatchdogCapture::other_messages() const {
    std::lock_guard lock(mutex_);
    return others_;
}

} // namespace vh
