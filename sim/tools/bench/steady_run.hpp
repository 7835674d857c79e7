// SPDX-License-Identifier: MIT
// One daemon in the virtual headset, brought into a steady state and driven through update
// cycles: by the time-warped 20 s timeout when idle, by TCPM change events on USB.
#pragma once

#include "bench/measure.hpp"
#include "harness/scenario.hpp"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace bench {

struct RunOptions {
    // The tool's command line before the daemon's path (strace, valgrind); empty: none.
    std::vector<std::string> wrapper;
    double time_warp = 1.0;
    // Slow tools need long waits.
    std::chrono::milliseconds timeout = std::chrono::seconds(20);
};

class SteadyRun {
  public:
    SteadyRun(State state, RunOptions options);
    ~SteadyRun();
    SteadyRun(const SteadyRun &) = delete;
    SteadyRun &operator=(const SteadyRun &) = delete;

    // Starts the daemon and waits until the state is reached and every event sent so far is
    // handled, so that nothing happens any more but the cycles this run drives.
    void start_and_settle();
    // Drives n more update cycles and waits until their passes are done. Events are sent
    // ahead of the daemon by at most `window`, so it never idles between them.
    void drive(int n, int window = 1);
    // Sends n TCPM change events, each asking for one cycle, at most `window` ahead of the
    // daemon, and waits until their passes are done. Timeout passes may come in between.
    void send_events(int n, int window);
    // Loop passes so far (watchdog heartbeats).
    int passes();
    // SIGTERM; throws when the daemon does not end with status 0.
    void stop();

    vh::Scenario &scenario() { return *scenario_; }
    pid_t pid();        // of the process started (the tool, when wrapped)
    pid_t daemon_pid(); // of the daemon itself

  private:
    void settle_by_marker_event();
    void wait_until_waiting();
    void wait_passes(int n);

    State state_;
    RunOptions options_;
    std::unique_ptr<vh::Scenario> scenario_;
};

} // namespace bench
