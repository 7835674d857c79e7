// SPDX-License-Identifier: MIT
#include "headset/hang_report.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

namespace vh {
namespace {

using Clock = std::chrono::steady_clock;

// The running test's deadline in Clock ticks; 0 while no test runs.
std::atomic<Clock::rep> deadline{0};
// Set once the last test has ended: the deadline is then the process's exit.
std::atomic<bool> exiting{false};

std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

// A process's first status line of the given key ("State:"), without the key.
std::string status_line(const std::filesystem::path &dir, const std::string &key) {
    const std::string status = read_file(dir / "status");
    const auto at = status.find(key);
    if (at == std::string::npos) {
        return "?";
    }
    const auto end = status.find('\n', at);
    return status.substr(at + key.size(), end == std::string::npos ? end : end - at - key.size());
}

// The processes this one started (the daemon under test), where they wait.
void report_children(const std::filesystem::path &task) {
    std::istringstream children(read_file(task / "children"));
    std::string pid;
    while (children >> pid) {
        const std::filesystem::path child = std::filesystem::path("/proc") / pid;
        std::fprintf(stderr, "  child %s (%s):%s; wchan %s\n%s\n", pid.c_str(),
                     read_file(child / "comm").c_str(), status_line(child, "State:").c_str(),
                     read_file(child / "wchan").c_str(), read_file(child / "stack").c_str());
    }
}

void report_threads() {
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::fprintf(
            stderr, "thread %s (%s):%s; wchan %s; syscall %s\n%s\n", task.path().filename().c_str(),
            read_file(task.path() / "comm").c_str(), status_line(task.path(), "State:").c_str(),
            read_file(task.path() / "wchan").c_str(), read_file(task.path() / "syscall").c_str(),
            read_file(task.path() / "stack").c_str());
        report_children(task.path());
    }
}

void report() {
    if (exiting) {
        std::fprintf(stderr, "\nhang: the process has not exited after its last test\n");
    } else {
        const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
        std::fprintf(stderr, "\nhang: %s.%s is still running past its limit\n",
                     test == nullptr ? "?" : test->test_suite_name(),
                     test == nullptr ? "?" : test->name());
    }
    report_threads();
    std::fflush(stderr);
}

class DeadlineListener : public testing::EmptyTestEventListener {
  public:
    explicit DeadlineListener(std::chrono::seconds limit) : limit_(limit) {}
    void OnTestStart(const testing::TestInfo &) override {
        deadline = (Clock::now() + limit_).time_since_epoch().count();
    }
    void OnTestEnd(const testing::TestInfo &) override { deadline = 0; }
    // Leak checks and destructors after the last test get a minute.
    void OnTestProgramEnd(const testing::UnitTest &) override {
        exiting = true;
        deadline = (Clock::now() + std::chrono::seconds(60)).time_since_epoch().count();
    }

  private:
    std::chrono::seconds limit_;
};

} // namespace

void report_hung_tests_after(std::chrono::seconds limit) {
    testing::UnitTest::GetInstance()->listeners().Append(new DeadlineListener(limit));
    std::thread([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            Clock::rep due = deadline.load();
            if (due != 0 && Clock::now().time_since_epoch().count() > due &&
                deadline.compare_exchange_strong(due, 0)) {
                report(); // once; CTest's timeout ends the process
            }
        }
    }).detach();
}

} // namespace vh
