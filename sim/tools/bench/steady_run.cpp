// SPDX-License-Identifier: MIT
#include "bench/steady_run.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace bench {

namespace {

using vh::operator""_V;
using vh::operator""_A;

constexpr std::string_view report_header = "---- Current State ----\n";
constexpr int32_t fast_charge_current_ua = 1'500'000; // what the gauge reads while QPH2 charges
// How far the settling marker event's negotiated current is from the source's own: far
// enough that the report shows a different figure.
constexpr int32_t marker_step_ua = 500'000;

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

// The daemon takes one udev event per pass, in the order they came. An event sent now is
// handled after every event that start-up or the story so far asked for; once its report is
// out, only the cycles this run drives are left. The marker is the source's own event with
// a negotiated current no other has (its report shows it); the source's unchanged event
// after it puts the daemon's view of the source back as it was.
void SteadyRun::settle_by_marker_event() {
    vh::Daemon &daemon = scenario_->daemon();
    vh::Headset &hs = scenario_->hs();
    const auto send_and_await = [&](const vh::Properties &properties) {
        int32_t current_ua = 0;
        for (const auto &[key, value] : properties)
            if (key == "POWER_SUPPLY_CURRENT_NOW")
                current_ua = std::stoi(value);
        char negotiated[48];
        std::snprintf(negotiated, sizeof negotiated, "Neg: %4.01f;  Type: ", current_ua * 1e-6);
        const std::string canonical = scenario_->fs().canonical(vh::path::tcpm);
        hs.events().send("change", canonical.substr(std::string("/sys").size()), "power_supply",
                         properties);
        if (!daemon.wait_for_text(vh::Stream::err, negotiated, options_.timeout))
            throw std::runtime_error("no report of the marker event (\"" + std::string(negotiated) +
                                     "\") in " + state_title(state_) + ":\n" +
                                     daemon.transcript_text(40));
    };
    const vh::Properties own = hs.properties_of(vh::path::tcpm);
    vh::Properties marker = own;
    bool marked = false;
    for (auto &[key, value] : marker) {
        if (key == "POWER_SUPPLY_CURRENT_NOW") {
            const int32_t current_ua = std::stoi(value);
            value = std::to_string(current_ua < 1'000'000 ? current_ua + marker_step_ua
                                                          : current_ua - marker_step_ua);
            marked = true;
        }
    }
    if (!marked)
        throw std::runtime_error("the USB-C source's event carries no current to mark");
    daemon.skip_to_end(vh::Stream::err);
    send_and_await(marker);
    send_and_await(own);
    wait_until_waiting(); // that pass has ended and sent its heartbeat
}

// The daemon waits in its epoll set: between passes.
void SteadyRun::wait_until_waiting() {
    const std::string wchan = "/proc/" + std::to_string(daemon_pid()) + "/wchan";
    const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(wchan);
        std::string where;
        if (in >> where && where.find("epoll") != std::string::npos)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    throw std::runtime_error(std::string("the daemon never settled into its wait in ") +
                             state_title(state_));
}

void SteadyRun::start_and_settle() {
    vh::Daemon &daemon = scenario_->start();
    const auto expect = [&](vh::Stream stream, std::string_view text) {
        if (!daemon.wait_for_text(stream, text, options_.timeout))
            throw std::runtime_error("no \"" + std::string(text) + "\" while reaching " +
                                     state_title(state_) + ":\n" + daemon.transcript_text(40));
    };
    // The loop's first pass comes after start-up: every event start-up asked for is queued.
    expect(vh::Stream::err, report_header);
    if (state_ == State::usb_with_pack) {
        expect(vh::Stream::out, "  FG EXT - V:"); // the pack's gauge is in the report
        vh::Headset &hs = scenario_->hs();
        hs.battery.set_current_avg_ua(fast_charge_current_ua);
        hs.usb.plug(9_V, 3_A, vh::usb_type::pd);
        expect(vh::Stream::err, "QPH2 Entered\n");
    }
    settle_by_marker_event();
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
