// SPDX-License-Identifier: MIT
#include "bench/report.hpp"

#include "bench/measure.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/utsname.h>
#include <vector>

namespace bench {

namespace {

constexpr int syscall_cycles = 50;
constexpr int callgrind_cycles = 20;
constexpr int memory_cycles = 10000;
constexpr int latency_events = 1000;

constexpr State states[] = {State::idle_on_battery, State::usb_with_pack};

// 12345.6 -> "12,346"; fractional figures below 10 keep one decimal.
std::string number(double value) {
    if (std::fabs(value) < 10 && std::fabs(value - std::round(value)) > 0.05) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", value);
        return text;
    }
    std::string digits = std::to_string(std::llround(std::fabs(value)));
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return (value < 0 ? "-" : "") + digits;
}

std::string number(long value) {
    return number(static_cast<double>(value));
}

std::string number(int value) {
    return number(static_cast<double>(value));
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::map<std::string, int> floor_by_name(State state) {
    std::map<std::string, int> floor;
    for (const FloorItem &item : syscall_floor(state))
        floor[item.name] += item.count;
    return floor;
}

int floor_total(State state) {
    int total = 0;
    for (const FloorItem &item : syscall_floor(state))
        total += item.count;
    return total;
}

struct Figures {
    std::map<State, Syscalls> syscalls;
    std::map<State, CycleCost> costs;
    Memory memory;
    Wakeups wakeups;
    Latency latency;
    long binary_bytes = 0;
};

using Row = std::vector<std::string>;

void add_syscall_rows(const Figures &f, std::vector<Row> &rows) {
    const auto cells = [](double measured, double floor) {
        const std::string ratio =
            floor > 0 ? fixed(measured / floor, 2) : (measured > 0 ? "-" : "");
        return Row{number(measured), floor > 0 ? number(floor) : "0", ratio};
    };
    Row total{"**system calls** (strace)"};
    for (State state : states) {
        const Row c = cells(f.syscalls.at(state).total, floor_total(state));
        total.insert(total.end(), c.begin(), c.end());
    }
    rows.push_back(total);
    std::set<std::string> names;
    for (State state : states) {
        for (const auto &[name, count] : f.syscalls.at(state).per_cycle)
            names.insert(name);
        for (const auto &[name, count] : floor_by_name(state))
            names.insert(name);
    }
    for (const std::string &name : names) {
        Row row{"&nbsp;&nbsp;" + name};
        for (State state : states) {
            const auto &measured = f.syscalls.at(state).per_cycle;
            const auto floor = floor_by_name(state);
            const double m = measured.contains(name) ? measured.at(name) : 0;
            const double fl = floor.contains(name) ? floor.at(name) : 0;
            const Row c = cells(m, fl);
            row.insert(row.end(), c.begin(), c.end());
        }
        rows.push_back(row);
    }
}

// One figure per state, without floor columns.
Row plain_row(const std::string &label, const std::function<std::string(State)> &cell) {
    Row row{label};
    for (State state : states) {
        row.push_back(cell(state));
        row.push_back("");
        row.push_back("");
    }
    return row;
}

double value_or_zero(const std::map<std::string, double> &values, const std::string &key) {
    const auto found = values.find(key);
    return found == values.end() ? 0 : found->second;
}

void add_cost_rows(const Figures &f, std::vector<Row> &rows) {
    rows.push_back(plain_row("**instructions**, user space (callgrind)",
                             [&](State s) { return number(f.costs.at(s).instructions_total); }));
    for (const char *object : {"daemon", "libc", "libudev", "libsystemd"})
        rows.push_back(plain_row(std::string("&nbsp;&nbsp;") + object, [&, object](State s) {
            return number(value_or_zero(f.costs.at(s).instructions, object));
        }));
    rows.push_back(plain_row("&nbsp;&nbsp;other (ld.so, time warp, ...)", [&](State s) {
        double other = f.costs.at(s).instructions_total;
        for (const char *object : {"daemon", "libc", "libudev", "libsystemd"})
            other -= value_or_zero(f.costs.at(s).instructions, object);
        return number(other);
    }));
    rows.push_back(plain_row("**heap allocations** by the daemon's code", [&](State s) {
        return number(value_or_zero(f.costs.at(s).allocations, "daemon"));
    }));
    rows.push_back(plain_row("&nbsp;&nbsp;by libudev (per event on USB)", [&](State s) {
        return number(value_or_zero(f.costs.at(s).allocations, "libudev"));
    }));
    rows.push_back(plain_row("&nbsp;&nbsp;by libsystemd", [&](State s) {
        return number(value_or_zero(f.costs.at(s).allocations, "libsystemd"));
    }));
}

std::string memory_text(const MemorySample &m) {
    return "RSS " + number(m.rss_kb) + " kB, PSS " + number(m.pss_kb) + " kB, anon " +
           number(m.anonymous_kb) + " kB, peak RSS " + number(m.peak_rss_kb) + " kB, " +
           std::to_string(m.descriptors) + " fds";
}

void add_once_rows(const Figures &f, std::vector<Row> &rows) {
    const auto only = [](State wanted, std::string text) {
        return [wanted, text](State s) { return s == wanted ? text : std::string("-"); };
    };
    rows.push_back(plain_row("**memory** after start-up",
                             only(State::idle_on_battery, memory_text(f.memory.after_start))));
    rows.push_back(
        plain_row("&nbsp;&nbsp;after " + number(f.memory.cycles) + " cycles, one TCPM event each",
                  only(State::idle_on_battery, memory_text(f.memory.after_cycles))));
    rows.push_back(plain_row("**stripped binary**", [&](State) {
        return number(static_cast<double>(f.binary_bytes)) + " bytes";
    }));
    rows.push_back(plain_row(
        "**wake-ups** per virtual hour",
        only(State::idle_on_battery,
             number(f.wakeups.per_virtual_hour) + " (warp " + number(f.wakeups.warp) + ", " +
                 fixed(f.wakeups.real_seconds, 0) + " s real; a pass's real time counts " +
                 number(f.wakeups.warp) + " times)")));
    const Latency &l = f.latency;
    rows.push_back(
        plain_row("**TCPM event to charger current write**, median / p99",
                  only(State::usb_with_pack, fixed(l.median_ms, 2) + " / " + fixed(l.p99_ms, 2) +
                                                 " ms (" + number(l.events) + " events)")));
    rows.push_back(plain_row(
        "&nbsp;&nbsp;in the fake sysfs's FUSE handlers",
        only(State::usb_with_pack, fixed(l.fs_median_ms, 2) + " / " + fixed(l.fs_p99_ms, 2) +
                                       " ms (" + number(l.requests_per_event) + " requests)")));
    rows.push_back(plain_row("&nbsp;&nbsp;the rest: daemon, kernel, FUSE transport",
                             only(State::usb_with_pack, fixed(l.rest_median_ms, 2) + " / " +
                                                            fixed(l.rest_p99_ms, 2) + " ms")));
    rows.push_back(plain_row(
        "&nbsp;&nbsp;the daemon's own CPU time per cycle",
        only(State::usb_with_pack, fixed(l.daemon_cpu_ms_per_cycle, 3) + " ms (user + kernel)")));
}

std::string table(const std::vector<Row> &rows) {
    std::ostringstream out;
    out << "| per update cycle |";
    for (State state : states)
        out << " " << state_title(state) << " | floor | ratio |";
    out << "\n|---|";
    for ([[maybe_unused]] State state : states)
        out << "--:|--:|--:|";
    out << "\n";
    for (const Row &row : rows) {
        out << "|";
        for (const std::string &cell : row)
            out << " " << cell << " |";
        out << "\n";
    }
    return out.str();
}

std::string floor_text() {
    std::ostringstream out;
    for (State state : states) {
        out << "Floor, " << state_title(state) << " (" << floor_total(state) << " calls):\n\n";
        for (const FloorItem &item : syscall_floor(state))
            out << "- " << item.count << " " << item.name << ": " << item.reason << "\n";
        out << "\n";
    }
    return out.str();
}

std::string method_text() {
    return R"(## How each figure is taken

The daemon binary runs unchanged in the virtual headset (fake sysfs on FUSE, udev events on
netlink, watchdog socket). *Idle on battery*: USB offline, headstrap without pack; the 20 s
timeout drives the cycles, time-warped through the harness (`VH_TIMEWARP_FACTOR`). *USB
online, pack attached*: a 9 V PD source with QPH2 fast charge in progress, pack and
cross-charger present; the bench sends one TCPM change event per cycle.

- System calls: `strace -f` over )" +
           number(syscall_cycles) + R"( steady cycles; the log is split at each report's
  first line, so a window is one whole loop pass (wait, event, callbacks, cycle, heartbeat).
  The floor is the list below: one call per read, write, open, close, seek, stat, rename
  and message that the daemon's required behaviour makes in that pass.
- Instructions: `valgrind --tool=callgrind --dump-before=control_update*`, one dump per
  cycle start; the figure is the sum of the dumps between the N-th and the M-th cycle of
  one run divided by M - N ()" +
           number(callgrind_cycles) + R"( cycles), so start-up and shutdown are not in it.
  Exclusive instructions are summed by object.
- Heap allocations: the same runs with `--separate-callers12=malloc|calloc|realloc`; each
  call is charged to the first caller outside libc (and PLT stubs).
- Memory: `/proc/PID/smaps_rollup` (Rss, Pss, Anonymous), `VmHWM` (peak RSS) and
  `/proc/PID/fd` of the plain daemon, idle, after start-up and after )" +
           number(memory_cycles) + R"( cycles each asked for by a TCPM event. PSS depends on
  what else shares the libraries, so only RSS, anonymous memory and descriptors are budgeted.
- Wake-ups: watchdog heartbeats (one per loop pass) over one virtual hour, idle.
- Latency: the injector's timestamp just before `sendto` of the TCPM event to the fake
  sysfs's write-log timestamp of the `constant_charge_current` write, one event in flight,
  )" + number(latency_events) +
           R"( events. The fake sysfs records the time each FUSE
  handler took; the handler time inside each window is the simulated filesystem's part.
  The rest is the daemon plus the kernel's FUSE round trips. The daemon's own CPU time per
  cycle comes from `/proc/PID/schedstat`. Times depend on the machine's load; the budgets
  (`tests/budget/budgets.txt`, checked by `./run test`) hold counts only.

)";
}

std::string above_floor_text() {
    return R"(## Above the floor, and why it stays

- `sd_notify` (kept: libsystemd's heartbeat) opens a socket per call, sizes its buffer
  (2 getsockopt, 2 setsockopt), looks up 4 ids and closes it: 10 calls besides `sendmsg`.
- libudev receives an event with `recvfrom` (peek) before `recvmsg` and seeds the device's
  hash tables with 2 `getrandom`; it allocates 39 blocks per event and frees them.
- libc: formatting the report (about 90 % of the user-space instructions idle, 60 % on
  USB), mostly `%f` conversions.

Fixed after the first measurement (before -> after, per cycle, idle / USB with pack):
`.tmpfile` is unlinked only when an old entry is in the way (system calls 96 -> 90 /
164 -> 158); each report line is formatted into a fixed buffer and written once
(instructions 42,548 -> 41,586 / 123,052 -> 120,222).

)";
}

std::string first_line_with(const std::string &file, const std::string &key) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(key)) {
            const size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    return "unknown";
}

std::string machine_text() {
    int cpus = 0;
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        cpus += line.starts_with("processor") ? 1 : 0;
    utsname name{};
    uname(&name);
    return first_line_with("/proc/cpuinfo", "model name") + ", " + std::to_string(cpus) +
           " CPUs; " + name.sysname + " " + name.release + " " + name.version + " " + name.machine;
}

std::string today() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return text;
}

void progress(const std::string &what) {
    std::fprintf(stderr, "vh_bench: %s\n", what.c_str());
}

} // namespace

int run_report(const std::string &markdown) {
    Figures f;
    for (State state : states) {
        progress(std::string("system calls, ") + state_title(state));
        f.syscalls[state] = measure_syscalls(state, syscall_cycles);
        progress(std::string("instructions and allocations, ") + state_title(state));
        f.costs[state] = measure_callgrind(state, callgrind_cycles);
    }
    progress("memory over " + number(memory_cycles) + " cycles");
    f.memory = measure_memory(memory_cycles);
    progress("latency over " + number(latency_events) + " events");
    f.latency = measure_latency(latency_events);
    progress("wake-ups over a virtual hour");
    f.wakeups = measure_wakeups();
    f.binary_bytes = stripped_binary_size();

    std::vector<Row> rows;
    add_syscall_rows(f, rows);
    add_cost_rows(f, rows);
    add_once_rows(f, rows);
    const std::string text = table(rows);
    std::cout << text << std::flush;

    if (!markdown.empty()) {
        std::ofstream out(markdown);
        out << "# Performance of the charge daemon\n\n"
            << "Measured by `./run bench` (`vh_bench report --markdown docs/performance.md`) on "
            << today() << ".\n\nMachine: " << machine_text() << ".\n\nDaemon: `" << daemon_binary()
            << "` (RelWithDebInfo build, measured as built).\n\n"
            << text << "\n"
            << method_text() << above_floor_text() << floor_text();
        if (!out)
            throw std::runtime_error("cannot write " + markdown);
    }
    return 0;
}

int run_one(const std::string &what, const std::string &state_name) {
    const State state = state_name == "idle" ? State::idle_on_battery : State::usb_with_pack;
    const auto print_map = [](const std::map<std::string, double> &values) {
        for (const auto &[name, value] : values)
            std::printf("  %-24s %s\n", name.c_str(), fixed(value, 2).c_str());
    };
    if (what == "syscalls") {
        const Syscalls s = measure_syscalls(state, 20);
        print_map(s.per_cycle);
        std::printf("total %s over %d cycles\n", fixed(s.total, 2).c_str(), s.cycles);
    } else if (what == "callgrind") {
        const CycleCost c = measure_callgrind(state, 10);
        print_map(c.instructions);
        std::printf("total %s\nallocations:\n", fixed(c.instructions_total, 1).c_str());
        print_map(c.allocations);
    } else if (what == "memory") {
        const Memory m = measure_memory(1000);
        std::printf("%s\n%s\n", memory_text(m.after_start).c_str(),
                    memory_text(m.after_cycles).c_str());
    } else if (what == "latency") {
        const Latency l = measure_latency(200);
        std::printf("median %.2f p99 %.2f fs %.2f/%.2f rest %.2f/%.2f req %.1f cpu %.3f\n",
                    l.median_ms, l.p99_ms, l.fs_median_ms, l.fs_p99_ms, l.rest_median_ms,
                    l.rest_p99_ms, l.requests_per_event, l.daemon_cpu_ms_per_cycle);
    } else if (what == "wakeups") {
        const Wakeups w = measure_wakeups();
        std::printf("%.1f per virtual hour\n", w.per_virtual_hour);
    } else {
        return 2;
    }
    return 0;
}

namespace {

struct Budget {
    std::string figure;
    double limit;
};

// "figure budget" per line; '#' starts a comment.
std::vector<Budget> read_budgets(const std::string &file) {
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error("cannot read " + file);
    std::vector<Budget> budgets;
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        Budget budget;
        if (fields >> budget.figure >> budget.limit)
            budgets.push_back(budget);
    }
    return budgets;
}

// The budgeted figures, by name; only the measurements some budget needs are run.
std::map<std::string, double> budgeted_figures(const std::vector<Budget> &budgets) {
    const auto wanted = [&](const std::string &prefix) {
        for (const Budget &budget : budgets)
            if (budget.figure.starts_with(prefix))
                return true;
        return false;
    };
    std::map<std::string, double> figures;
    for (State state : states) {
        const std::string key = state == State::idle_on_battery ? "idle." : "usb.";
        if (wanted(key + "syscalls")) {
            progress(std::string("system calls, ") + state_title(state));
            figures[key + "syscalls_per_cycle"] = measure_syscalls(state, 20).total;
        }
        if (wanted(key + "daemon_")) {
            progress(std::string("instructions and allocations, ") + state_title(state));
            const CycleCost cost = measure_callgrind(state, 10);
            figures[key + "daemon_instructions_per_cycle"] =
                value_or_zero(cost.instructions, "daemon");
            figures[key + "daemon_allocations_per_cycle"] =
                value_or_zero(cost.allocations, "daemon");
        }
    }
    if (wanted("growth.")) {
        progress("memory and descriptors over " + number(memory_cycles) + " cycles");
        const Memory m = measure_memory(memory_cycles);
        figures["growth.rss_kb"] =
            static_cast<double>(m.after_cycles.rss_kb - m.after_start.rss_kb);
        figures["growth.anonymous_kb"] =
            static_cast<double>(m.after_cycles.anonymous_kb - m.after_start.anonymous_kb);
        figures["growth.descriptors"] = m.after_cycles.descriptors - m.after_start.descriptors;
    }
    return figures;
}

} // namespace

int run_check(const std::string &budgets_file) {
    const std::vector<Budget> budgets = read_budgets(budgets_file);
    const std::map<std::string, double> figures = budgeted_figures(budgets);
    int broken = 0;
    for (const Budget &budget : budgets) {
        const auto found = figures.find(budget.figure);
        if (found == figures.end()) {
            std::printf("BROKEN  %-38s no such figure\n", budget.figure.c_str());
            ++broken;
            continue;
        }
        const bool within = found->second <= budget.limit;
        std::printf("%-7s %-38s %10s  (budget %s)\n", within ? "ok" : "BROKEN",
                    budget.figure.c_str(), fixed(found->second, 1).c_str(),
                    number(budget.limit).c_str());
        broken += within ? 0 : 1;
    }
    if (broken > 0)
        std::printf("%d of %zu budgets broken (%s)\n", broken, budgets.size(),
                    budgets_file.c_str());
    return broken > 0 ? 1 : 0;
}

} // namespace bench
