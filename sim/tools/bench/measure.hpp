// SPDX-License-Identifier: MIT
// The benchmark's measurements: each runs the daemon in the virtual headset in one of two
// steady states, with or without a tool around it, and turns what the tool or the headset
// recorded into per-cycle figures.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

enum class State {
    idle_on_battery, // USB offline, headstrap without pack; the 20 s timeout drives the cycles
    usb_with_pack,   // 9 V PD source in fast charge, pack attached; one cycle per TCPM event
};
const char *state_title(State state);

// System calls of one update cycle (one loop pass), by name.
struct Syscalls {
    std::map<std::string, double> per_cycle;
    double total = 0;
    int cycles = 0; // passes averaged over
};
// The strace log split at each report's first line.
Syscalls measure_syscalls(State state, int cycles);

// The floor: the calls one cycle of the state must make, counted from the daemon's
// required behaviour, by name, each with what it is for.
struct FloorItem {
    std::string name;
    int count;
    std::string reason;
};
std::vector<FloorItem> syscall_floor(State state);

// Instructions and heap allocations of one update cycle, from callgrind.
struct CycleCost {
    std::map<std::string, double> instructions; // by object: daemon, libc, libudev, ...
    double instructions_total = 0;
    std::map<std::string, double> allocations; // by the first caller outside libc
    int cycles = 0;
};
CycleCost measure_callgrind(State state, int cycles);

// Memory and descriptors of the plain daemon after start-up and after many cycles, idle on
// battery, each cycle asked for by a TCPM event (so libudev's per-event work is in it).
struct MemorySample {
    long rss_kb = 0, pss_kb = 0, anonymous_kb = 0, peak_rss_kb = 0;
    int descriptors = 0;
};
struct Memory {
    MemorySample after_start, after_cycles;
    int cycles = 0;
};
Memory measure_memory(int cycles);

// Loop passes per virtual hour while idle, under the time warp.
struct Wakeups {
    double per_virtual_hour = 0;
    double warp = 0;
    double real_seconds = 0;
};
Wakeups measure_wakeups();

// Event-to-write latency: TCPM event injected, charger current written.
struct Latency {
    int events = 0;
    double median_ms = 0, p99_ms = 0;
    double fs_median_ms = 0, fs_p99_ms = 0;     // in the fake sysfs's handlers
    double rest_median_ms = 0, rest_p99_ms = 0; // the rest: daemon, kernel, FUSE transport
    double requests_per_event = 0;
    double daemon_cpu_ms_per_cycle = 0; // on-CPU time of the daemon process per cycle
};
Latency measure_latency(int events);

// Size of the daemon binary once stripped, in bytes.
long stripped_binary_size();

// The daemon binary the figures are about.
std::string daemon_binary();

} // namespace bench
