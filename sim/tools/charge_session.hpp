// SPDX-License-Identifier: MIT
// A whole charge session of the daemon in the virtual headset, time-warped: a low battery,
// a 9 V / 3 A source, AICL, fast charge, the current step at 64 %, the low-current exit, full,
// then a load switched on and off. Recorded from what the daemon did (its writes to the fake
// sysfs with the headset's time stamps, its report lines as they arrived) and plotted with
// gnuplot against virtual time.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>

namespace vh {

struct ChargeSessionHooks {
    std::function<void(const std::string &)> narrate; // one step of the story
    std::function<void(pid_t)> daemon_started;        // 0 once it has ended
};

// Runs the session inside the sandbox, writes its data beside the plot (same name, ".dat")
// and the plot itself: PNG or SVG by plot's extension. Prints a summary. Returns the exit
// code for the program: 0 when the daemon went through the whole story and ended cleanly.
int run_charge_session(const std::filesystem::path &plot, const ChargeSessionHooks &hooks);

// "png" or "svg" for a plot file name, "" for anything else.
std::string plot_format(const std::filesystem::path &plot);

} // namespace vh
