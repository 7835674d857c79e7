// SPDX-License-Identifier: MIT
// Capture of the systemd watchdog heartbeat: a datagram socket at a filesystem path that the
// daemon is given as NOTIFY_SOCKET. (Abstract sockets do not cross network namespaces.)
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vh {

class WatchdogCapture {
  public:
    using clock = std::chrono::steady_clock;

    // Binds a SOCK_DGRAM unix socket at socket_path (replacing a stale one) and starts the
    // reader thread. Throws std::system_error when the socket cannot be bound.
    explicit WatchdogCapture(std::filesystem::path socket_path);
    ~WatchdogCapture();
    WatchdogCapture(const WatchdogCapture &) = delete;
    WatchdogCapture &operator=(const WatchdogCapture &) = delete;

    const std::filesystem::path &path() const { return path_; }

    // Number of "WATCHDOG=1" datagrams received so far, and when each arrived.
    int count() const;
    std::vector<clock::time_point> times() const;
    // Waits until at least n heartbeats have arrived; false when the timeout passed first.
    bool wait_for_count(int n, std::chrono::milliseconds timeout) const;
    // Every datagram that was not exactly "WATCHDOG=1": the daemon sends no other message.
    std::vector<std::string> other_messages() const;

  private:
    void read_loop();

    std::filesystem::path path_;
    int socket_fd_ = -1;
    int stop_fd_ = -1;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<clock::time_point> heartbeats_;
    std::vector<std::string> others_;
    std::thread reader_;
};

} // namespace vh
