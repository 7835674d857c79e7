#include "bench/steady_run.hpp"

#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

using vh::operator""_V;
using vh::operator""_A;

constexpr std::string_view report_header = "---- Current State ----\n";
constexpr int32_t fast_charge_current_ua = 1'500'000; // what the gauge reads while QPH2 charges

vh::HeadsetConfig config_for(State state) {
    vh::HeadsetConfig config;
    config.pack_attached = state == State::usb_with_pack;
    return config;
}

} // namespace

const char *state_title(State state) {
    return state == State::idle_on_battery ? "idle on battery" : "USB online, pack attached";
}

SteadyRun::SteadyRun(State state, RunOptions options)
    : state_(state), options_(std::move(options)) {
    vh::ScenarioOptions scenario;
    scenario.headset = config_for(state);
    scenario.time_warp = options_.time_warp;
    scenario.timeout = options_.timeout;
    if (!options_.wrapper.empty()) {
        scenario.args.assign(options_.wrapper.begin() + 1, options_.wrapper.end());
        scenario.args.push_back(scenario.daemon_binary.string());
        scenario.daemon_binary = options_.wrapper.front();
    }
    scenario_ = std::make_unique<vh::Scenario>(std::move(scenario));
}

SteadyRun::~SteadyRun() = default;

pid_t SteadyRun::pid() {
    return scenario_->daemon().pid();
}

pid_t SteadyRun::daemon_pid() {
    // strace runs the daemon as its child; valgrind runs it in its own process.
    const pid_t started = pid();
    std::ifstream children("/proc/" + std::to_string(started) + "/task/" + std::to_string(started) +
                           "/children");
    pid_t child = 0;
    return children >> child ? child : started;
}

int SteadyRun::passes() {
    return scenario_->watchdog().count();
}

void SteadyRun::wait_passes(int n) {
    if (!scenario_->watchdog().wait_for_count(n, options_.timeout))
        throw std::runtime_error("the daemon did not reach loop pass " + std::to_string(n) +
                                 " in " + state_title(state_) + ":\n" +
                                 scenario_->daemon().transcript_text(40));
}

void SteadyRun::wait_quiet() {
    int seen = passes();
    for (;;) {
        std::this_thread::sleep_for(options_.quiet);
        const int now = passes();
        if (now == seen)
            return;
        seen = now;
    }
}

// The start-up events come in a burst of passes; while they last no timeout can expire.
// Three intervals of a whole period between heartbeats mean that only the timeout drives the loop.
void SteadyRun::wait_for_timeout_rhythm() {
    const auto period = std::chrono::duration<double>(20.0 / options_.time_warp);
    for (;;) {
        const std::vector<vh::WatchdogCapture::clock::time_point> times =
            scenario_->watchdog().times();
        const size_t n = times.size();
        if (n >= 4 && times[n - 1] - times[n - 2] >= 0.9 * period &&
            times[n - 2] - times[n - 3] >= 0.9 * period &&
            times[n - 3] - times[n - 4] >= 0.9 * period)
            return;
        wait_passes(static_cast<int>(n) + 1);
    }
}

void SteadyRun::start_and_settle() {
    vh::Daemon &daemon = scenario_->start();
    const auto expect = [&](vh::Stream stream, std::string_view text) {
        if (!daemon.wait_for_text(stream, text, options_.timeout))
            throw std::runtime_error("no \"" + std::string(text) + "\" while reaching " +
                                     state_title(state_) + ":\n" + daemon.transcript_text(40));
    };
    if (state_ == State::idle_on_battery) {
        wait_for_timeout_rhythm();
        return;
    }
    expect(vh::Stream::out, "  FG EXT - V:"); // the pack's gauge is in the report
    vh::Headset &hs = scenario_->hs();
    hs.battery.set_current_avg_ua(fast_charge_current_ua);
    hs.usb.plug(9_V, 3_A, vh::usb_type::pd);
    expect(vh::Stream::err, "QPH2 Entered\n");
    wait_quiet();
}

void SteadyRun::drive(int n, int window) {
    if (state_ == State::usb_with_pack) {
        send_events(n, window);
        return;
    }
    const int first = passes();
    for (int i = 1; i <= n; ++i)
        wait_passes(first + i);
}

void SteadyRun::send_events(int n, int window) {
    const int first = passes();
    for (int sent = 0; sent < n; ++sent) {
        if (sent >= window)
            wait_passes(first + sent - window + 1);
        scenario_->hs().emit_change(vh::path::tcpm);
    }
    wait_passes(first + n);
}

void SteadyRun::stop() {
    // To the daemon itself: a tracer that gets the signal would leave the daemon running.
    kill(daemon_pid(), SIGTERM);
    const std::optional<vh::ExitStatus> ended = scenario_->daemon().wait_exit(options_.timeout);
    if (!ended)
        throw std::runtime_error("the daemon did not end after SIGTERM");
    const vh::ExitStatus status = *ended;
    if (status != vh::ExitStatus::with_code(0))
        throw std::runtime_error("the daemon ended with " + status.describe() + ":\n" +
                                 scenario_->daemon().transcript_text(40));
}

} // namespace bench
