// SPDX-License-Identifier: MIT
// Runs tasks at their time on one thread: the timed parts of the driver models (an AICL run
// that takes a while, the battery's steps).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace vh {

class Scheduler {
  public:
    Scheduler();
    ~Scheduler(); // stops
    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

    // Runs task once, delay from now. Ignored once stopping.
    void after(std::chrono::milliseconds delay, std::function<void()> task);
    // Drops the pending tasks and waits for a running one to end.
    void stop();

  private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the members above exist
};

} // namespace vh
