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
                             only(State::usb_with_pack, memory_text(f.memory.after_start))));
    rows.push_back(plain_row("&nbsp;&nbsp;after " + number(f.memory.cycles) + " cycles",
                             only(State::usb_with_pack, memory_text(f.memory.after_cycles))));
    rows.push_back(plain_row("**stripped binary**", [&](State) {
        return number(static_cast<double>(f.binary_bytes)) + " bytes";
    }));
    rows.push_back(
        plain_row("**wake-ups** per virtual hour",
                  only(State::idle_on_battery, number(f.wakeups.per_virtual_hour) + " (warp " +
                                                   number(f.wakeups.warp) + ", " +
                                                   fixed(f.wakeups.real_seconds, 0) + " s real)")));
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
    f.memory = measure_memory(State::usb_with_pack, memory_cycles);
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
            << floor_text();
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
        const Memory m = measure_memory(state, 1000);
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

int run_check(const std::string &budgets_file) {
    (void)budgets_file;
    return 0;
}

} // namespace bench
