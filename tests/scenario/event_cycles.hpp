// SPDX-License-Identifier: MIT
// How many update cycles the events of a test step asked for. Each pass of the daemon's loop
// takes one udev event from the monitor, so an event sent after the step's events is handled
// after them. A USB-source event always runs a cycle, and an offline one changes nothing the
// policy acts on; its report carries a negotiated current of its own, which marks where the
// step's output ends.
#pragma once

#include "power_supply_events.hpp"

#include "harness/scenario.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

namespace vh::story {

inline constexpr const char *report_header = "---- Current State ----\n";

// Sends an offline USB-source event with a current no earlier marker had and waits for the
// report of its cycle.
inline bool run_marker_cycle(Scenario &s) {
    static int32_t markers_sent = 0;
    ++markers_sent;
    const int32_t current_ua = markers_sent * 100'000;
    send_change(s, path::tcpm, tcpm_properties("typec", false, 0, current_ua, std::nullopt));
    char usb_tail[64];
    std::snprintf(usb_tail, sizeof usb_tail, "Neg: %4.01f;  Type: Unknown\n", current_ua * 1e-6);
    return s.expect_err(usb_tail);
}

// The update cycles that the events sent by step asked for.
inline int cycles_run_by(Scenario &s, const std::function<void()> &step) {
    EXPECT_TRUE(run_marker_cycle(s));
    const int before = s.daemon().count(Stream::err, report_header);
    step();
    EXPECT_TRUE(run_marker_cycle(s));
    return s.daemon().count(Stream::err, report_header) - before - 1;
}

} // namespace vh::story
