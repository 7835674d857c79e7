// SPDX-License-Identifier: MIT
#include "scheduler.hpp"

namespace vh {

Scheduler::Scheduler() : thread_([this] { run(); }) {}

Scheduler::~Scheduler() {
    stop();
}

void Scheduler::after(std::chrono::milliseconds delay, std::function<void()> task) {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
        tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
        wake_.notify_all();
    }
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
        wake_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Scheduler::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = tasks_.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        std::function<void()> task = std::move(tasks_.begin()->second);
        tasks_.erase(tasks_.begin());
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace vh
