// SPDX-License-Identifier: MIT
#include "bench/measure.hpp"

#include "bench/steady_run.hpp"
#include "harness/temp_dir.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Idle cycles come every 20 virtual seconds; at this warp one takes 100 ms of real time.
constexpr double idle_warp = 200.0;
// Under valgrind a pass takes far longer, the first time through most (translation): a
// period of 1 s keeps each timeout pass apart from the next.
constexpr double idle_warp_under_valgrind = 20.0;
// Slow enough that a pass's own duration barely stretches the virtual hour.
constexpr double wakeup_warp = 60.0;
// Idle windows in which the daemon received an event are passes of that event, not of the
// timeout, and are left out; these further cycles are driven so that enough remain.
constexpr int spare_idle_cycles = 5;
// Runs of the strace measurement before a daemon that never went steady is reported.
constexpr int idle_runs = 3;

RunOptions options_for(State state, std::vector<std::string> wrapper) {
    RunOptions options;
    options.wrapper = std::move(wrapper);
    options.time_warp = state == State::idle_on_battery ? idle_warp : 1.0;
    return options;
}

void run_command(const std::string &command) {
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("failed: " + command);
}

// ---- strace ----

// "1234  openat(AT_FDCWD, ...) = 3" -> "openat"; "" for signal and exit lines.
std::string syscall_name(const std::string &line) {
    size_t start = line.find_first_not_of("0123456789 ");
    if (start == std::string::npos || line.compare(start, 3, "---") == 0 ||
        line.compare(start, 3, "+++") == 0 || line.compare(start, 4, "<...") == 0)
        return {};
    const size_t paren = line.find('(', start);
    return paren == std::string::npos ? std::string() : line.substr(start, paren - start);
}

// ---- callgrind ----

std::string object_label(const std::string &object) {
    std::string base = std::filesystem::path(object).filename().string();
    if (base == std::filesystem::path(daemon_binary()).filename().string())
        return "daemon";
    for (const auto &[part, label] :
         std::vector<std::pair<std::string, std::string>>{{"libc.so", "libc"},
                                                          {"libudev", "libudev"},
                                                          {"libsystemd", "libsystemd"},
                                                          {"ld-linux", "ld.so"},
                                                          {"libstdc++", "libstdc++"},
                                                          {"timewarp", "time warp"},
                                                          {"faketime", "time warp"},
                                                          {"vgpreload", "valgrind"}})
        if (base.find(part) != std::string::npos)
            return label;
    return base;
}

// Objects that allocate only on behalf of their callers ("???": PLT stubs).
bool allocates_for_caller(const std::string &label) {
    return label == "libc" || label == "libstdc++" || label == "ld.so" || label == "valgrind" ||
           label == "???";
}

bool is_allocator_context(const std::string &name) {
    for (const char *allocator : {"malloc'", "calloc'", "realloc'"})
        if (name.starts_with(allocator))
            return true;
    return false;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

// One callgrind dump (uncompressed names and positions): exclusive instructions by object,
// and allocator calls by the chain of callers that callgrind kept for them.
struct Dump {
    std::map<std::string, double> instructions; // by object label
    // "object of the immediate caller|malloc'immediate caller'its caller'..." -> calls
    std::map<std::string, double> allocation_chains;
    std::map<std::string, std::string> object_of_function; // function -> object label
    bool received_event = false;                           // a udev event in this pass
};

Dump read_dump(const std::filesystem::path &file) {
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error("no callgrind dump " + file.string());
    Dump dump;
    std::string object, function, callee;
    bool inclusive_line = false; // the cost line after calls= belongs to the callee
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("ob=")) {
            object = object_label(line.substr(3));
        } else if (line.starts_with("fn=")) {
            function = line.substr(3);
            dump.object_of_function.emplace(function, object);
        } else if (line.starts_with("cfn=")) {
            callee = line.substr(4);
            dump.received_event = dump.received_event || callee == "udev_monitor_receive_device";
        } else if (line.starts_with("calls=")) {
            if (is_allocator_context(callee))
                dump.allocation_chains[object + "|" + callee] += std::stod(line.substr(6));
            inclusive_line = true;
        } else if (!line.empty() && (std::isdigit(static_cast<unsigned char>(line[0])) ||
                                     line[0] == '+' || line[0] == '-' || line[0] == '*')) {
            if (!inclusive_line) {
                const std::vector<std::string> fields = split(line, ' ');
                if (fields.size() >= 2)
                    dump.instructions[object] += std::stod(fields[1]);
            }
            inclusive_line = false;
        }
    }
    return dump;
}

// The first caller in the chain whose object allocates for itself. The immediate caller's
// object is known exactly; further out, functions are looked up by name (stripped
// libraries name theirs by address, which may repeat across objects: rarely needed).
std::string allocation_owner(const std::string &chain, const Dump &dump) {
    const size_t bar = chain.find('|');
    const std::string immediate_object = chain.substr(0, bar);
    if (!allocates_for_caller(immediate_object))
        return immediate_object;
    const std::vector<std::string> names = split(chain.substr(bar + 1), '\'');
    for (size_t i = 2; i < names.size(); ++i) {
        const auto found = dump.object_of_function.find(names[i]);
        if (found != dump.object_of_function.end() && !allocates_for_caller(found->second))
            return found->second;
    }
    return immediate_object;
}

// ---- /proc ----

long field_kb(const std::filesystem::path &file, const std::string &name) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(name + ":"))
            return std::stol(line.substr(name.size() + 1));
    throw std::runtime_error("no " + name + " in " + file.string());
}

// Between passes, so that no file of a cycle is open at the moment of the sample.
void wait_until_waiting(pid_t pid) {
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    for (int tries = 0; tries < 1000; ++tries) {
        std::ifstream in(wchan);
        std::string where;
        if (in >> where && where.find("epoll") != std::string::npos)
            return;
        std::this_thread::sleep_for(1ms);
    }
    throw std::runtime_error("the daemon never settled into its wait");
}

MemorySample sample_memory(pid_t pid) {
    wait_until_waiting(pid);
    const std::filesystem::path proc = "/proc/" + std::to_string(pid);
    MemorySample sample;
    sample.rss_kb = field_kb(proc / "smaps_rollup", "Rss");
    sample.pss_kb = field_kb(proc / "smaps_rollup", "Pss");
    sample.anonymous_kb = field_kb(proc / "smaps_rollup", "Anonymous");
    sample.peak_rss_kb = field_kb(proc / "status", "VmHWM");
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(proc / "fd"))
        ++sample.descriptors;
    return sample;
}

// Nanoseconds the process has run on a CPU (first field of schedstat).
double cpu_ns(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns;
}

double ms(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

} // namespace

std::string daemon_binary() {
    return vh::default_daemon_binary().string();
}

Syscalls measure_syscalls(State state, int cycles) {
    std::vector<std::map<std::string, int>> steady;
    int left_out = 0;
    for (int run_number = 0; run_number < idle_runs && steady.size() < static_cast<size_t>(cycles);
         ++run_number) {
        steady.clear();
        const vh::TempDir dir("vh-bench-");
        const std::string log = (dir.path() / "strace.log").string();
        SteadyRun run(state,
                      options_for(state, {"/usr/bin/strace", "-f", "-qq", "-s", "40", "-o", log}));
        run.start_and_settle();
        const int driven = cycles + (state == State::idle_on_battery ? spare_idle_cycles : 0);
        run.drive(driven + 1);
        run.stop();

        // A window runs from one report's first line to the next: one whole loop pass. The
        // last ones before the shutdown's are all steady; the shutdown's own is left out.
        const std::string marker = "write(2, \"---- Current State ----\\n\"";
        std::vector<std::map<std::string, int>> windows;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);) {
            if (line.find(marker) != std::string::npos)
                windows.emplace_back();
            const std::string name = syscall_name(line);
            if (!windows.empty() && !name.empty())
                ++windows.back()[name];
        }
        if (windows.size() < static_cast<size_t>(driven) + 1)
            throw std::runtime_error("strace saw fewer cycles than were driven");
        for (size_t i = windows.size() - 1 - static_cast<size_t>(driven);
             i + 1 < windows.size() && steady.size() < static_cast<size_t>(cycles); ++i) {
            if (state == State::idle_on_battery && windows[i].contains("recvmsg")) {
                ++left_out; // a pass of an event, not of the timeout
                continue;
            }
            steady.push_back(windows[i]);
        }
    }
    if (steady.size() < static_cast<size_t>(cycles))
        throw std::runtime_error(std::to_string(left_out) + " idle cycles in " +
                                 std::to_string(idle_runs) +
                                 " runs received an event: the daemon never went steady");
    if (left_out > 0)
        std::fprintf(stderr, "vh_bench: %d idle cycles received an event and were left out\n",
                     left_out);
    Syscalls result;
    for (const std::map<std::string, int> &window : steady) {
        for (const auto &[name, count] : window)
            result.per_cycle[name] += count;
    }
    for (auto &[name, count] : result.per_cycle) {
        count /= cycles;
        result.total += count;
    }
    result.cycles = cycles;
    return result;
}

CycleCost measure_callgrind(State state, int cycles) {
    vh::TempDir dir("vh-bench-");
    if (std::getenv("VH_BENCH_KEEP") != nullptr)
        dir.keep();
    const std::string out = (dir.path() / "callgrind.out").string();
    RunOptions options =
        options_for(state, {"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                            // One dump per cycle: the costs from one cycle's start to the next.
                            "--dump-before=control_update*", "--dump-instr=no",
                            "--compress-strings=no", "--compress-pos=no",
                            // Allocator calls keep their callers, so each is charged to the code
                            // that asked for it rather than to the libc function in between.
                            "--separate-callers12=malloc", "--separate-callers12=calloc",
                            "--separate-callers12=realloc"});
    options.timeout = 120s;
    if (state == State::idle_on_battery)
        options.time_warp = idle_warp_under_valgrind;
    SteadyRun run(state, options);
    run.start_and_settle();
    const int driven = cycles + (state == State::idle_on_battery ? spare_idle_cycles : 0);
    run.drive(driven + 1);
    run.stop();

    // Dump k is written when cycle k starts and holds the pass that ended there; the last
    // dumps are steady passes (the shutdown's costs go to the final dump, not numbered).
    int last = 0;
    while (std::filesystem::exists(out + "." + std::to_string(last + 1)))
        ++last;
    if (last < driven + 1)
        throw std::runtime_error("callgrind dumped fewer cycles than were driven");
    std::vector<Dump> steady;
    int left_out = 0;
    for (int k = last - driven + 1; k <= last && steady.size() < static_cast<size_t>(cycles); ++k) {
        Dump dump = read_dump(out + "." + std::to_string(k));
        if (state == State::idle_on_battery && dump.received_event) {
            ++left_out; // a pass of an event, not of the timeout
            continue;
        }
        steady.push_back(std::move(dump));
    }
    if (left_out > 0)
        std::fprintf(stderr, "vh_bench: %d idle cycles received an event and were left out\n",
                     left_out);
    if (steady.size() < static_cast<size_t>(cycles))
        throw std::runtime_error(std::to_string(driven - static_cast<int>(steady.size())) + " of " +
                                 std::to_string(driven) +
                                 " idle cycles received an event: the daemon never went steady");
    CycleCost cost;
    for (const Dump &dump : steady) {
        for (const auto &[object, count] : dump.instructions)
            cost.instructions[object] += count;
        for (const auto &[chain, count] : dump.allocation_chains)
            cost.allocations[allocation_owner(chain, dump)] += count;
    }
    for (auto &[object, count] : cost.instructions) {
        count /= cycles;
        cost.instructions_total += count;
    }
    for (auto &[owner, count] : cost.allocations)
        count /= cycles;
    cost.cycles = cycles;
    return cost;
}

Memory measure_memory(int cycles) {
    SteadyRun run(State::idle_on_battery, options_for(State::idle_on_battery, {}));
    run.start_and_settle();
    Memory memory;
    memory.after_start = sample_memory(run.daemon_pid());
    run.send_events(cycles, 4);
    memory.after_cycles = sample_memory(run.daemon_pid());
    memory.cycles = cycles;
    run.stop();
    return memory;
}

Wakeups measure_wakeups() {
    RunOptions options = options_for(State::idle_on_battery, {});
    options.time_warp = wakeup_warp;
    SteadyRun run(State::idle_on_battery, options);
    run.start_and_settle();
    const int first = run.passes();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(3600.0 / wakeup_warp));
    const int passes = run.passes() - first;
    const double real_s = std::chrono::duration<double>(Clock::now() - start).count();
    run.stop();
    return {passes / (real_s * wakeup_warp / 3600.0), wakeup_warp, real_s};
}

Latency measure_latency(int events) {
    SteadyRun run(State::usb_with_pack, options_for(State::usb_with_pack, {}));
    run.start_and_settle();
    vh::Scenario &s = run.scenario();
    vh::FakeSysfs &fs = s.fs();
    const std::string current = vh::path::charger + "/constant_charge_current";

    struct Window {
        Clock::time_point sent, written;
    };
    std::vector<Window> windows;
    fs.record_requests(true);
    const double cpu_before = cpu_ns(run.daemon_pid());
    for (int i = 0; i < events; ++i) {
        const uint64_t after = fs.last_seq();
        const int passes = run.passes();
        s.hs().emit_change(vh::path::tcpm);
        const Clock::time_point sent = s.hs().events().last_sent_at();
        const auto writes = fs.wait_for_writes_to(current, s.timeout(), after);
        if (writes.empty())
            throw std::runtime_error("no charger current write after a TCPM event");
        windows.push_back({sent, writes.front().when});
        // The pass ends before the next event goes out: one event in flight at a time.
        if (!s.watchdog().wait_for_count(passes + 1, s.timeout()))
            throw std::runtime_error("the pass of a TCPM event did not end");
        if (i % 100 == 99)
            fs.clear_writes();
    }
    const double cpu_after = cpu_ns(run.daemon_pid());
    fs.record_requests(false);
    const std::vector<vh::FakeSysfs::Request> requests = fs.requests();
    run.stop();

    std::vector<double> total, in_fs, rest;
    size_t request_count = 0;
    for (const Window &window : windows) {
        Clock::duration handled{};
        for (const auto &request : requests) {
            const auto start = std::max(request.start, window.sent);
            const auto end = std::min(request.end, window.written);
            if (start < end) {
                handled += end - start;
                ++request_count;
            }
        }
        total.push_back(ms(window.written - window.sent));
        in_fs.push_back(ms(handled));
        rest.push_back(total.back() - in_fs.back());
    }
    Latency latency;
    latency.events = events;
    latency.median_ms = percentile(total, 0.5);
    latency.p99_ms = percentile(total, 0.99);
    latency.fs_median_ms = percentile(in_fs, 0.5);
    latency.fs_p99_ms = percentile(in_fs, 0.99);
    latency.rest_median_ms = percentile(rest, 0.5);
    latency.rest_p99_ms = percentile(rest, 0.99);
    latency.requests_per_event = static_cast<double>(request_count) / events;
    latency.daemon_cpu_ms_per_cycle = (cpu_after - cpu_before) / 1e6 / events;
    return latency;
}

long stripped_binary_size() {
    const vh::TempDir dir("vh-bench-");
    const std::filesystem::path stripped = dir.path() / "charged";
    run_command("strip --strip-all -o '" + stripped.string() + "' '" + daemon_binary() + "'");
    return static_cast<long>(std::filesystem::file_size(stripped));
}

} // namespace bench
