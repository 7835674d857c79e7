// SPDX-License-Identifier: MIT
// The loop's 20 s rhythm under a steady stream of events that ask for no update cycle: a
// notification of a watched hot-swap flag that did not change, and udev events of a power
// supply the daemon does not know. Each gets a pass and a heartbeat, but none postpones the
// timeout pass, which still comes 20 s after the previous cycle.
#include "event_cycles.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vh {
namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

using story::report_header;
constexpr double time_warp = 20;                         // 20 virtual seconds take one second
constexpr auto quiet_event_interval = 100ms;             // 2 virtual seconds
constexpr auto period = std::chrono::milliseconds(1000); // the 20 s period, warped
// A loop that started its 20 s again after every pass could time out only after 20 s without
// a quiet event. An interval in which no gap between quiet events came near that (three
// quarters of the period, a margin for the two processes' clocks) shows that the timeout pass
// was not postponed by them, whatever the machine's load; an interval in which the host held
// the sending thread back proves nothing and is not counted.
constexpr auto longest_conclusive_silence = period * 3 / 4;

// Sends the quiet events, alternating the two kinds, until destroyed, and records when each
// went out.
class QuietEvents {
  public:
    explicit QuietEvents(Scenario &s)
        : hotswap_flag_(s.fs().canonical(path::hotswap + "/internal_voltage_ok")),
          thread_([this, &s](std::stop_token stop) { run(s, stop); }) {}
    int udev_events_sent() const { return udev_events_sent_; }
    // The longest time within (from, to] in which no quiet event was sent.
    clock_type::duration longest_silence(clock_type::time_point from,
                                         clock_type::time_point to) const {
        const std::lock_guard lock(mutex_);
        clock_type::time_point last = from;
        clock_type::duration longest{};
        for (const clock_type::time_point sent : sent_) {
            if (sent <= from || sent > to)
                continue;
            longest = std::max(longest, sent - last);
            last = sent;
        }
        return std::max(longest, to - last);
    }

  private:
    void run(Scenario &s, const std::stop_token &stop) {
        std::mutex mutex;
        std::condition_variable_any stopped;
        for (bool udev_event = false; !stop.stop_requested(); udev_event = !udev_event) {
            if (udev_event) {
                story::send_unknown_supply_change(s);
                ++udev_events_sent_;
            } else {
                s.fs().notify(hotswap_flag_);
            }
            {
                const std::lock_guard lock(mutex_);
                sent_.push_back(clock_type::now());
            }
            // Pacing the stimulus, not waiting for a result.
            std::unique_lock lock(mutex);
            stopped.wait_for(lock, stop, quiet_event_interval, [] { return false; });
        }
    }

    std::string hotswap_flag_;
    std::atomic<int> udev_events_sent_{0};
    mutable std::mutex mutex_;
    std::vector<clock_type::time_point> sent_;
    std::jthread thread_;
};

// When each report began, and each AICL timeout message, as the daemon's output arrived.
// A read of the pipe may end inside a line, so the texts are looked for in the whole
// standard error so far.
class OutputTimes {
  public:
    static constexpr std::string_view aicl_timeout_message = "QPH2 AICL Timeout, Trying anyway\n";

    void record(Stream stream, std::string_view piece) {
        if (stream != Stream::err) {
            return;
        }
        const std::lock_guard lock(mutex_);
        err_.append(piece);
        const clock_type::time_point now = clock_type::now();
        reports_.find_new(err_, now);
        aicl_timeouts_.find_new(err_, now);
    }
    std::vector<clock_type::time_point> reports() const {
        const std::lock_guard lock(mutex_);
        return reports_.times;
    }
    std::vector<clock_type::time_point> aicl_timeouts() const {
        const std::lock_guard lock(mutex_);
        return aicl_timeouts_.times;
    }

  private:
    struct Occurrences {
        explicit Occurrences(std::string_view looked_for) : text(looked_for) {}

        std::string_view text;
        size_t searched_to = 0;
        std::vector<clock_type::time_point> times;

        void find_new(const std::string &stream_text, clock_type::time_point now) {
            size_t found;
            while ((found = stream_text.find(text, searched_to)) != std::string::npos) {
                times.push_back(now);
                searched_to = found + text.size();
            }
        }
    };

    mutable std::mutex mutex_;
    std::string err_;
    Occurrences reports_{report_header};
    Occurrences aicl_timeouts_{aicl_timeout_message};
};

ScenarioOptions warped(OutputTimes &times) {
    ScenarioOptions options;
    options.time_warp = time_warp;
    options.on_output = [&times](Stream stream, std::string_view piece) {
        times.record(stream, piece);
    };
    return options;
}

long in_ms(clock_type::duration duration) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

TEST(LoopDeadline, EventsWithoutChangeDoNotPostponeTheTimeoutPass) {
    OutputTimes times;
    Scenario s(warped(times));
    Daemon &d = s.start();
    ASSERT_TRUE(s.expect_err(report_header));
    // The events that start-up asked for are handled before this one; its cycle is the
    // last before the quiet stream.
    ASSERT_TRUE(story::run_marker_cycle(s));
    const size_t last_event_cycle = times.reports().size() - 1;

    const int heartbeats_before = s.watchdog().count();
    constexpr int conclusive_wanted = 3;
    constexpr int timeout_passes_at_most = 12;
    int conclusive = 0;
    int timeout_passes = 0;
    int udev_events_sent = 0;
    std::string not_counted;
    {
        QuietEvents quiet(s);
        while (conclusive < conclusive_wanted && timeout_passes < timeout_passes_at_most) {
            // A loop that the quiet events postponed would never get here while they flow.
            ASSERT_TRUE(d.wait_for_text(Stream::err, report_header))
                << "no timeout pass " << timeout_passes + 1 << " under the quiet events\n"
                << d.transcript_text(60);
            ++timeout_passes;
            const std::vector<clock_type::time_point> reports = times.reports();
            const size_t i = last_event_cycle + static_cast<size_t>(timeout_passes);
            ASSERT_LT(i, reports.size());
            const clock_type::duration gap = reports[i] - reports[i - 1];
            // Earlier than half the period would be a cycle for a quiet event, not a timeout.
            EXPECT_GE(gap, period / 2) << "cycle " << i << ": " << in_ms(gap) << " ms";
            const clock_type::duration silence = quiet.longest_silence(reports[i - 1], reports[i]);
            if (silence < longest_conclusive_silence) {
                ++conclusive;
            } else {
                not_counted += " " + std::to_string(in_ms(silence));
            }
        }
        udev_events_sent = quiet.udev_events_sent();
    }
    EXPECT_EQ(conclusive, conclusive_wanted)
        << "timeout passes under a steady quiet stream; the host held the stream back for"
        << not_counted << " ms in the others";

    // Each quiet event was handled in a pass of its own, with its heartbeat, and none ran a
    // cycle: the reports since the marker are the timeout passes.
    EXPECT_GE(udev_events_sent, 2 * timeout_passes);
    const int reports_since =
        d.count(Stream::err, report_header) - static_cast<int>(last_event_cycle) - 1;
    EXPECT_TRUE(s.expect_heartbeats(heartbeats_before + reports_since + udev_events_sent));
    EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
}

// The AICL wait gives up only in a cycle run after a wait that timed out; events that ask
// for no cycle do not keep it waiting. The wait runs once per source, so a run in which the
// host held the quiet events back is repeated with a fresh daemon.
TEST(LoopDeadline, EventsWithoutChangeDoNotHoldTheAiclWaitOpen) {
    constexpr int attempts = 3;
    std::string not_counted;
    bool conclusive = false;
    for (int attempt = 0; attempt < attempts && !conclusive; ++attempt) {
        OutputTimes times;
        ScenarioOptions options = warped(times);
        options.headset.auto_aicl = false; // the charger never completes the run
        Scenario s(options);
        s.hs().usb.plug(9_V, 3_A, usb_type::pd);
        Daemon &d = s.start();
        ASSERT_TRUE(s.expect_err("Triggering AICL\n"));
        clock_type::duration silence{};
        {
            QuietEvents quiet(s);
            ASSERT_TRUE(d.wait_for_text(Stream::err, OutputTimes::aicl_timeout_message))
                << d.transcript_text(40);
            // The message belongs to the last report before it; the cycle before that one
            // started the 20 s.
            const std::vector<clock_type::time_point> aicl_timeouts = times.aicl_timeouts();
            ASSERT_FALSE(aicl_timeouts.empty());
            std::vector<clock_type::time_point> reports = times.reports();
            std::erase_if(reports,
                          [&](clock_type::time_point t) { return t > aicl_timeouts.front(); });
            ASSERT_GE(reports.size(), 2U);
            silence = quiet.longest_silence(reports[reports.size() - 2], reports.back());
        }
        conclusive = silence < longest_conclusive_silence;
        if (!conclusive)
            not_counted += " " + std::to_string(in_ms(silence));
        EXPECT_EQ(s.stop(SIGTERM), ExitStatus::with_code(0));
    }
    EXPECT_TRUE(conclusive) << "the AICL wait gave up under a steady quiet stream; the host "
                               "held the stream back for"
                            << not_counted << " ms in each run";
}

} // namespace
} // namespace vh
