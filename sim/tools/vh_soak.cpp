// SPDX-License-Identifier: MIT
// vh_soak: the charge daemon under a long random story in the virtual headset, with its
// clock warped, checking after every update cycle what its charging rules promise.
//
//   vh_soak [virtual hours] [--seed N] [--warp F]
//
// Defaults: 24 virtual hours, a seed from the clock (printed), the loop's 20 s period passing
// F = 200 times faster. The story plugs and unplugs USB-C sources of every type, switches the
// loads, moves both batteries' capacities from 0 to 100, attaches and detaches the pack,
// makes the charger drop out of QPH2, changes the battery voltage the limiter follows, injects
// read and write faults and sends SIGHUP bursts. Exit status 0 when no invariant was broken;
// every violation is printed with the seed that reproduces the run.
#include "harness/scenario.hpp"
#include "headset/sandbox.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vh::operator""_V;
using vh::operator""_mV;
using vh::operator""_A;
using vh::operator""_mA;
using clock_type = std::chrono::steady_clock;

constexpr const char *report_header = "---- Current State ----";
constexpr double loop_period_s = 20.0;
// Real time one pass may take on a loaded two-core machine (FUSE round trips, scheduling,
// sanitizers), allowed on top of the warped 20 s period between heartbeats. The warp makes
// every real delay look 200 times longer to the daemon, so a host hiccup of a few tens of
// milliseconds is not a late pass. A pass that skipped its heartbeat is caught exactly by
// the count of cycles and heartbeats.
constexpr auto pass_allowance = 1000ms;

const std::string charger_cv = vh::path::charger + "/constant_charge_voltage";
const std::string charger_cc = vh::path::charger + "/constant_charge_current";
const std::string charging_enable = vh::path::charger + "/charging_enable";
const std::string hwmon_min = vh::path::hwmon + "/in0_min";
const std::string hwmon_lcrit = vh::path::hwmon + "/in0_lcrit";
const std::string use_internal = vh::path::hotswap + "/use_internal_battery";
const std::string enable_cross = vh::path::hotswap + "/enable_cross_charger";

struct Options {
    double hours = 24.0;
    uint64_t seed = 0;
    double warp = 200.0;
};

Options parse_options(int argc, char **argv) {
    Options options;
    options.seed = static_cast<uint64_t>(clock_type::now().time_since_epoch().count()) % 1000000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seed" && i + 1 < argc)
            options.seed = std::stoull(argv[++i]);
        else if (arg == "--warp" && i + 1 < argc)
            options.warp = std::stod(argv[++i]);
        else if (!arg.empty() && arg[0] != '-')
            options.hours = std::stod(arg);
        else
            throw std::invalid_argument("usage: vh_soak [virtual hours] [--seed N] [--warp F]");
    }
    if (options.hours <= 0 || options.warp < 1)
        throw std::invalid_argument("the hours must be positive and the warp at least 1");
    return options;
}

struct ProcessFootprint {
    long rss_kb = -1;
    long descriptors = -1;
};

bool waiting_in_epoll(pid_t pid) {
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where.find("epoll") != std::string::npos;
}

ProcessFootprint footprint_of(pid_t pid) {
    ProcessFootprint result;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            result.rss_kb = std::stol(line.substr(6));
    std::error_code error;
    long count = 0;
    for (auto it =
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++count;
    result.descriptors = error ? -1 : count;
    return result;
}

// The footprint between two passes: a pass opens its one-shot files for a moment, so the
// descriptors are counted while the daemon waits in its epoll set, before and after alike.
ProcessFootprint idle_footprint_of(pid_t pid) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (waiting_in_epoll(pid)) {
            const ProcessFootprint sample = footprint_of(pid);
            if (waiting_in_epoll(pid))
                return sample;
        }
        std::this_thread::sleep_for(1ms);
    }
    return footprint_of(pid);
}

// What the story controls or the driver models decide: the inputs of the daemon's rules.
// Two equal samples around a whole update cycle mean that cycle saw these values.
struct Inputs {
    bool usb_online = false;
    int32_t usb_voltage_uv = 0;
    bool load = false;
    int32_t internal_capacity = 0;
    bool pack_attached = false;
    int32_t pack_capacity = 0;
    int32_t vbat_uv = 0;
    std::string qph2, aicl_status, internal_active, removable_active, pack_connected;
    bool pack_detected = false; // the daemon's report: the pack's gauge found and connected
    bool fault_active = false;
    bool operator==(const Inputs &) const = default;
};

// Counts update cycles and checks each cycle's report as its lines arrive (reader thread).
class ReportWatch {
  public:
    void output(vh::Stream stream, std::string_view piece) {
        std::lock_guard lock(mutex_);
        std::string &partial = stream == vh::Stream::err ? err_ : out_;
        partial.append(piece);
        if (partial.empty() || partial.back() != '\n')
            return;
        partial.pop_back();
        if (stream == vh::Stream::err)
            line(partial);
        else if (partial.starts_with("Tavlock: external battery "))
            pack_detected_ = partial.starts_with("Tavlock: external battery detected");
        partial.clear();
    }
    int cycles() const {
        std::lock_guard lock(mutex_);
        return cycles_;
    }
    // The pack as the daemon's last report showed it.
    bool pack_detected() const {
        std::lock_guard lock(mutex_);
        return pack_detected_;
    }
    uint64_t checks() const {
        std::lock_guard lock(mutex_);
        return checks_;
    }
    std::vector<std::string> violations() const {
        std::lock_guard lock(mutex_);
        return violations_;
    }
    // How often each fast-charge milestone was reached.
    std::map<std::string, int> milestones() const {
        std::lock_guard lock(mutex_);
        return milestones_;
    }

  private:
    void line(const std::string &text) {
        if (text == report_header) {
            ++cycles_;
            return;
        }
        for (const char *milestone :
             {"Triggering AICL", "AICL Complete - Entering QPH2",
              "QPH2 AICL Timeout, Trying anyway", "Entering QPH2 Directly", "QPH2 Entered",
              "QPH2 Timeout, Exiting", "Exiting QPH2 - Low Current and No Load",
              "Exiting QPH2 - Unknown", "Exiting QPH2 - USB Voltage Drop", "Caught Signal: 1"})
            if (text == milestone)
                ++milestones_[milestone];
        // Line 5 of the report: the charger's QPH2 flag plus one and a known state name.
        if (text.starts_with("QPH(")) {
            static const std::set<std::string> names = {"1", "2", "2->1", "AICL", "1->2"};
            const auto sel = text.find("Sel: ");
            const auto end = text.find(';', sel);
            const std::string name = sel == std::string::npos || end == std::string::npos
                                         ? ""
                                         : text.substr(sel + 5, end - sel - 5);
            ++checks_;
            if ((text[4] != '1' && text[4] != '2') || names.count(name) == 0)
                violations_.push_back("cycle " + std::to_string(cycles_) +
                                      ": malformed state line \"" + text + "\"");
        }
    }

    mutable std::mutex mutex_;
    std::string err_, out_;
    int cycles_ = 0;
    bool pack_detected_ = false;
    uint64_t checks_ = 0;
    std::map<std::string, int> milestones_;
    std::vector<std::string> violations_;
};

// Reads the status files over and over while the daemon rewrites them in every cycle: a
// reader must always find a whole file, never an empty or partial one.
class StatusReader {
  public:
    explicit StatusReader(const vh::Scenario &s) : s_(s) {}
    ~StatusReader() { stop(); }
    void start() {
        thread_ = std::thread([this] { loop(); });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    uint64_t reads() const { return reads_; }
    uint64_t bad() const { return bad_; }
    std::string first_bad() const {
        std::lock_guard lock(mutex_);
        return first_bad_;
    }

  private:
    void loop() {
        const auto &formats = vh::status_file_formats();
        while (running_) {
            for (const auto &[name, format] : formats) {
                const std::optional<std::string> content = s_.read_file(name);
                ++reads_;
                if (!content || !std::regex_match(*content, format)) {
                    std::lock_guard lock(mutex_);
                    if (bad_++ == 0)
                        first_bad_ = name + ": " + (content ? "\"" + *content + "\"" : "absent");
                }
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    const vh::Scenario &s_;
    std::atomic<bool> running_ = true;
    std::atomic<uint64_t> reads_ = 0, bad_ = 0;
    mutable std::mutex mutex_;
    std::string first_bad_;
    std::thread thread_;
};

// Notices when the host stalls this process (other jobs on the cores): a thread that sleeps
// 5 ms at a time records each late wake-up. A heartbeat gap is allowed the stalls inside it,
// which no daemon can avoid.
class StallWatch {
  public:
    StallWatch()
        : thread_([this] {
              while (running_) {
                  const auto before = clock_type::now();
                  std::this_thread::sleep_for(5ms);
                  const auto late = clock_type::now() - before - 5ms;
                  if (late > 10ms) {
                      std::lock_guard lock(mutex_);
                      stalls_.emplace_back(clock_type::now(), late);
                  }
              }
          }) {}
    ~StallWatch() {
        running_ = false;
        thread_.join();
    }
    // The stall time that ended within (from, to].
    clock_type::duration within(clock_type::time_point from, clock_type::time_point to) const {
        std::lock_guard lock(mutex_);
        clock_type::duration total{};
        for (const auto &[when, late] : stalls_)
            if (when > from && when <= to)
                total += late;
        return total;
    }

  private:
    std::atomic<bool> running_ = true;
    mutable std::mutex mutex_;
    std::vector<std::pair<clock_type::time_point, clock_type::duration>> stalls_;
    std::thread thread_;
};

// What the host held the daemon back by, sampled every 5 ms: the time the daemon and the
// soak's FUSE threads that answer its reads and writes waited for a core while ready to run
// (the second field of /proc/PID/schedstat, in ns), and the time the daemon slept
// uninterruptibly on the host's disk (its status files are written there; seen as state D
// outside a FUSE request, counted for the sampling intervals it spans, half an interval at
// each end). A heartbeat gap is allowed it as it is allowed the soak's own stalls. (A FUSE
// thread is known by waiting in /dev/fuse for a request whenever it is idle.)
class HostDelays {
  public:
    using Sample = std::pair<clock_type::time_point, uint64_t>; // when, ns of delay so far
    ~HostDelays() { stop(); }
    void start(pid_t pid) {
        pid_ = pid;
        sample();
        thread_ = std::thread([this] {
            while (running_) {
                std::this_thread::sleep_for(5ms);
                sample();
            }
        });
    }
    void stop() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    // The delay between the last sample at or before from and the first at or after to (a
    // sample is taken now, so one follows every past moment).
    clock_type::duration within(clock_type::time_point from, clock_type::time_point to) {
        sample();
        std::lock_guard lock(mutex_);
        if (samples_.empty())
            return {};
        const auto earlier = [](const Sample &sample, clock_type::time_point t) {
            return sample.first < t;
        };
        auto first = std::lower_bound(samples_.begin(), samples_.end(), from, earlier);
        if (first != samples_.begin() && (first == samples_.end() || first->first > from))
            --first;
        auto last = std::lower_bound(samples_.begin(), samples_.end(), to, earlier);
        if (last == samples_.end())
            --last;
        return last->second > first->second ? std::chrono::nanoseconds(last->second - first->second)
                                            : clock_type::duration{};
    }

  private:
    static std::optional<uint64_t> waited_ns(const std::string &schedstat) {
        std::ifstream in(schedstat);
        uint64_t on_cpu_ns = 0, waiting_ns = 0;
        if (!(in >> on_cpu_ns >> waiting_ns))
            return std::nullopt; // the task has ended
        return waiting_ns;
    }

    static std::string first_word(const std::string &file) {
        std::ifstream in(file);
        std::string word;
        in >> word;
        return word;
    }

    // In uninterruptible sleep on something other than a FUSE answer.
    bool daemon_on_disk() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t name_end = line.rfind(')');
        if (name_end == std::string::npos || name_end + 2 >= line.size() ||
            line[name_end + 2] != 'D')
            return false;
        const std::string wchan = first_word("/proc/" + std::to_string(pid_) + "/wchan");
        return wchan.find("fuse") == std::string::npos &&
               wchan.find("request_wait_answer") == std::string::npos;
    }

    void find_fuse_threads() {
        std::error_code error;
        for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
             !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            const std::string task = it->path().string();
            if (!last_ns_.contains(task + "/schedstat") &&
                first_word(task + "/wchan").find("fuse_dev") != std::string::npos) {
                if (const std::optional<uint64_t> now = waited_ns(task + "/schedstat"))
                    last_ns_[task + "/schedstat"] = *now;
            }
        }
    }

    void sample() {
        std::lock_guard lock(mutex_);
        const clock_type::time_point now = clock_type::now();
        if (samples_taken_++ % 20 == 0)
            find_fuse_threads();
        const std::string daemon = "/proc/" + std::to_string(pid_) + "/schedstat";
        if (!last_ns_.contains(daemon))
            last_ns_[daemon] = waited_ns(daemon).value_or(0);
        // Each task's growth since the last sample: a task that ended takes nothing away.
        for (auto &[schedstat, last] : last_ns_) {
            if (const std::optional<uint64_t> waited = waited_ns(schedstat);
                waited && *waited > last) {
                total_ns_ += *waited - last;
                last = *waited;
            }
        }
        const bool on_disk = daemon_on_disk();
        if (!samples_.empty()) {
            const auto interval =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - samples_.back().first)
                    .count();
            total_ns_ += static_cast<uint64_t>(interval) *
                         ((on_disk ? 1U : 0U) + (was_on_disk_ ? 1U : 0U)) / 2;
        }
        was_on_disk_ = on_disk;
        samples_.emplace_back(now, total_ns_);
    }

    pid_t pid_ = 0;
    std::atomic<bool> running_ = true;
    std::mutex mutex_;
    std::map<std::string, uint64_t> last_ns_; // by schedstat file: the daemon, FUSE threads
    uint64_t total_ns_ = 0;
    uint64_t samples_taken_ = 0;
    bool was_on_disk_ = false;
    std::vector<Sample> samples_;
    std::thread thread_;
};

class Soak {
  public:
    Soak(const Options &options, vh::Scenario &scenario, ReportWatch &report)
        : options_(options), s_(scenario), report_(report), random_(options.seed) {}

    int run();

  private:
    // Story steps.
    void step();
    void plug_or_unplug();
    void toggle_load();
    void inject_fault();
    void clear_fault();
    void sighup_burst();

    Inputs sample() const;
    bool settle(Inputs &settled);
    bool wait_for_cycles(int target);
    void check_settled(const Inputs &in);
    void check_writes();
    void check_heartbeats();
    void expect(bool holds, const std::string &what);
    double virtual_hours() const;
    int32_t pick(int32_t low, int32_t high) {
        return std::uniform_int_distribution<int32_t>(low, high)(random_);
    }

    const Options &options_;
    vh::Scenario &s_;
    ReportWatch &report_;
    std::mt19937_64 random_;
    clock_type::time_point started_ = clock_type::now();
    StallWatch stalls_;
    HostDelays host_delays_;
    clock_type::duration longest_gap_allowed_{};

    // The story's own view of what it set.
    bool usb_ = false;
    int32_t usb_voltage_ = 0;
    std::array<bool, 4> loads_{};
    int32_t internal_capacity_ = 45;
    int32_t pack_capacity_ = 80;
    int32_t vbat_ = 7'600'000;
    struct Fault {
        std::string path;
        bool on_read;
    };
    std::optional<Fault> fault_;

    // Results.
    uint64_t checks_ = 0;
    uint64_t steps_ = 0;
    uint64_t settled_checks_ = 0;
    uint64_t unsettled_ = 0;
    uint64_t writes_seen_ = 0;
    std::size_t heartbeats_seen_ = 0;
    clock_type::duration longest_gap_{};
    std::vector<std::string> violations_;
};

double Soak::virtual_hours() const {
    const std::chrono::duration<double> real = clock_type::now() - started_;
    return real.count() * options_.warp / 3600.0;
}

void Soak::expect(bool holds, const std::string &what) {
    ++checks_;
    if (!holds && violations_.size() < 50)
        violations_.push_back(std::to_string(virtual_hours()).substr(0, 6) + " h: " + what);
}

Inputs Soak::sample() const {
    vh::FakeSysfs &fs = s_.fs();
    Inputs in;
    in.usb_online = usb_;
    in.usb_voltage_uv = usb_voltage_;
    in.load = std::any_of(loads_.begin(), loads_.end(), [](bool on) { return on; });
    in.internal_capacity = internal_capacity_;
    in.pack_attached = s_.hs().pack.attached();
    in.pack_capacity = pack_capacity_;
    in.vbat_uv = vbat_;
    in.qph2 = fs.value(vh::path::charger + "/qph2");
    in.aicl_status = fs.value(vh::path::charger + "/aicl_status");
    in.internal_active = fs.value(vh::path::hotswap + "/internal_active");
    in.removable_active = fs.value(vh::path::hotswap + "/removable_active");
    in.pack_connected = fs.value(vh::path::hotswap + "/realtime_pack_connected");
    in.pack_detected = report_.pack_detected();
    in.fault_active = fault_.has_value();
    return in;
}

bool Soak::wait_for_cycles(int target) {
    // Cycles come at the latest every warped 20 s; a generous real bound guards the run.
    const auto deadline = clock_type::now() + 20s;
    while (report_.cycles() < target) {
        if (clock_type::now() > deadline || !s_.daemon().running())
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Waits for a whole update cycle that began after the inputs were sampled and ended before
// they were sampled again, with the same inputs both times.
bool Soak::settle(Inputs &settled) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const Inputs before = sample();
        const int cycles = report_.cycles();
        // Cycle cycles + 2 gathered its snapshot after the sample; the header of the one after
        // it shows that it has ended, writes included.
        if (!wait_for_cycles(cycles + 3))
            return false;
        settled = sample();
        if (settled == before)
            return true;
    }
    ++unsettled_;
    return false;
}

int32_t governing_capacity(const Inputs &in) {
    const bool external_source = in.removable_active == "1" && in.internal_active != "1";
    return in.pack_detected && external_source ? in.pack_capacity : in.internal_capacity;
}

void Soak::check_settled(const Inputs &in) {
    ++settled_checks_;
    vh::FakeSysfs &fs = s_.fs();
    if (in.fault_active)
        return; // faults make values stale by design; the write checks still run
    if (in.usb_online) {
        const std::string cv = in.load ? "8800000" : "8900000";
        expect(fs.value(charger_cv) == cv, "USB online, load " + std::to_string(in.load) +
                                               ": charge voltage " + fs.value(charger_cv) +
                                               ", want " + cv);
        const int32_t capacity = governing_capacity(in);
        const std::string cc = in.qph2 == "1" ? (capacity > 64 ? "1350000" : "2700000") : "1000000";
        expect(fs.value(charger_cc) == cc, "USB online, qph2 " + in.qph2 + ", capacity " +
                                               std::to_string(capacity) + ": charge current " +
                                               fs.value(charger_cc) + ", want " + cc);
    }
    if (in.vbat_uv >= 6'000'000 && in.vbat_uv <= 9'000'000) {
        const int32_t base = in.vbat_uv / 2000;
        const int32_t level0 = std::clamp(base - 800, 2800, 3600);
        const int32_t level1 = std::clamp(base - 800, 2600, 3600);
        expect(fs.value(hwmon_min) == std::to_string(level0) &&
                   fs.value(hwmon_lcrit) == std::to_string(level1),
               "battery " + std::to_string(in.vbat_uv) + " uV: limiter thresholds " +
                   fs.value(hwmon_min) + "/" + fs.value(hwmon_lcrit) + ", want " +
                   std::to_string(level0) + "/" + std::to_string(level1));
    }
    if (in.pack_detected) {
        bool external = false;
        bool cross = false;
        if (in.usb_online) {
            external = in.internal_capacity > 96 && in.pack_capacity < 98;
        } else {
            external = in.pack_capacity > 3;
            cross = external;
        }
        const std::string source = external ? "0" : "1";
        const std::string enable = cross ? "1" : "0";
        expect(fs.value(use_internal) == source && fs.value(enable_cross) == enable,
               "pack " + std::to_string(in.pack_capacity) + " %, internal " +
                   std::to_string(in.internal_capacity) + " %, USB " +
                   std::to_string(in.usb_online) + ": use_internal_battery " +
                   fs.value(use_internal) + " enable_cross_charger " + fs.value(enable_cross) +
                   ", want " + source + " " + enable);
    }
}

// Every write since the last look: only the values the rules allow.
void Soak::check_writes() {
    vh::FakeSysfs &fs = s_.fs();
    const std::vector<vh::FakeSysfs::Write> writes = fs.writes();
    fs.clear_writes();
    const std::string cv = fs.canonical(charger_cv), cc = fs.canonical(charger_cc),
                      enable = fs.canonical(charging_enable), min = fs.canonical(hwmon_min),
                      lcrit = fs.canonical(hwmon_lcrit);
    for (const vh::FakeSysfs::Write &write : writes) {
        ++writes_seen_;
        const std::string where = write.path + " <- \"" + write.text + "\"";
        if (write.path == enable)
            expect(write.text == "1", "charging disabled: " + where);
        else if (write.path == cc)
            expect(write.text == "1000000" || write.text == "1350000" || write.text == "2700000",
                   "charge current not of the fast-charge rules: " + where);
        else if (write.path == cv)
            expect(write.text == "8800000" || write.text == "8900000",
                   "charge voltage not 8.8 V or 8.9 V: " + where);
        else if (write.path == min)
            expect(std::atoi(write.text.c_str()) >= 2800 && std::atoi(write.text.c_str()) <= 3600,
                   "level-0 threshold out of bounds: " + where);
        else if (write.path == lcrit)
            expect(std::atoi(write.text.c_str()) >= 2600 && std::atoi(write.text.c_str()) <= 3600,
                   "level-1 threshold out of bounds: " + where);
    }
}

// Every cycle is followed by a heartbeat, and heartbeats come at least every warped 20 s plus
// one pass (plus the time the host stalled the run or held the daemon and the FUSE threads
// that answer it back).
void Soak::check_heartbeats() {
    const std::vector<clock_type::time_point> times = s_.watchdog().times();
    const auto allowed = std::chrono::duration_cast<clock_type::duration>(
                             std::chrono::duration<double>(loop_period_s / options_.warp)) +
                         pass_allowance;
    for (std::size_t i = std::max<std::size_t>(heartbeats_seen_, 1); i < times.size(); ++i) {
        const auto gap = times[i] - times[i - 1];
        const auto allowed_here = allowed + stalls_.within(times[i - 1], times[i]) +
                                  host_delays_.within(times[i - 1], times[i]);
        if (gap > longest_gap_) {
            longest_gap_ = gap;
            longest_gap_allowed_ = allowed_here;
        }
        expect(gap <= allowed_here,
               "heartbeat gap of " +
                   std::to_string(std::chrono::duration<double>(gap).count() * options_.warp) +
                   " virtual s");
    }
    heartbeats_seen_ = times.size();
    expect(static_cast<int>(times.size()) >= report_.cycles() - 1,
           std::to_string(report_.cycles()) + " cycles but " + std::to_string(times.size()) +
               " heartbeats");
}

void Soak::plug_or_unplug() {
    if (usb_ && pick(0, 2) == 0) {
        s_.hs().usb.unplug();
        usb_ = false;
        usb_voltage_ = 0;
        return;
    }
    static const std::array<int32_t, 5> volts = {5_V, 9_V, 12_V, 15_V, 20_V};
    static const std::array<int32_t, 4> amps = {500_mA, 1500_mA, 2_A, 3_A};
    static const std::array<vh::usb_type, 3> types = {vh::usb_type::c, vh::usb_type::pd,
                                                      vh::usb_type::pd_pps};
    const int32_t voltage = volts[static_cast<std::size_t>(pick(0, 4))];
    const int32_t current = amps[static_cast<std::size_t>(pick(0, 3))];
    const vh::usb_type type = types[static_cast<std::size_t>(pick(0, 2))];
    if (usb_)
        s_.hs().usb.renegotiate(voltage, current, type);
    else
        s_.hs().usb.plug(voltage, current, type);
    s_.hs().adc.set_vusb_uv(voltage);
    usb_ = true;
    usb_voltage_ = voltage;
}

void Soak::toggle_load() {
    const auto which = static_cast<std::size_t>(pick(0, 3));
    loads_[which] = !loads_[which];
    vh::Headset::Loads &loads = s_.hs().loads;
    switch (which) {
    case 0:
        loads.set_backlight_left(loads_[which]);
        break;
    case 1:
        loads.set_backlight_right(loads_[which]);
        break;
    case 2:
        loads.set_preboost(loads_[which]);
        break;
    default:
        loads.set_room_tracking(loads_[which]);
        break;
    }
}

// Faults on files that are read or written afresh in every cycle, so the rules apply again
// as soon as the fault clears. (A watched file that failed with ENODEV leaves the watch set
// for good, as an unbound driver's does; the fault scenarios cover those.)
void Soak::inject_fault() {
    static const std::array<int, 3> errors = {EIO, EAGAIN, ENODEV};
    static const std::vector<Fault> faults = {
        {vh::path::adc + "/" + vh::adc_channel::vbat, true},
        {vh::path::adc + "/" + vh::adc_channel::vusb, true},
        {vh::path::adc + "/" + vh::adc_channel::ichg, true},
        {vh::path::gauge(3, 36) + "/capacity", true},
        {vh::path::gauge(3, 36) + "/current_avg", true},
        {charger_cv, false},
        {charger_cc, false},
        {hwmon_min, false},
        {use_internal, false},
        {enable_cross, false},
    };
    const Fault &fault =
        faults[static_cast<std::size_t>(pick(0, static_cast<int32_t>(faults.size()) - 1))];
    const auto error = static_cast<std::size_t>(pick(0, 2));
    if (!s_.fs().exists(fault.path))
        return;
    if (fault.on_read)
        s_.fs().fail_reads(fault.path, errors[error]);
    else
        s_.fs().fail_writes(fault.path, errors[error]);
    fault_ = fault;
}

void Soak::clear_fault() {
    if (!fault_)
        return;
    if (s_.fs().exists(fault_->path)) {
        if (fault_->on_read)
            s_.fs().fail_reads(fault_->path, 0);
        else
            s_.fs().fail_writes(fault_->path, 0);
    }
    fault_.reset();
}

void Soak::sighup_burst() {
    for (int i = 0; i < 5; ++i)
        s_.daemon().send_signal(SIGHUP);
}

void Soak::step() {
    ++steps_;
    clear_fault();
    switch (pick(0, 10)) {
    case 0:
    case 1:
        plug_or_unplug();
        break;
    case 2:
        toggle_load();
        break;
    case 3:
        internal_capacity_ = pick(0, 100);
        s_.hs().battery.set_capacity(internal_capacity_);
        break;
    case 4:
        if (s_.hs().pack.attached()) {
            s_.hs().pack.detach();
        } else {
            s_.hs().pack.attach();
            s_.hs().pack.set_capacity(pack_capacity_);
        }
        break;
    case 5:
        // The pack's gauge exists only while the pack is attached.
        pack_capacity_ = pick(0, 100);
        if (s_.hs().pack.attached())
            s_.hs().pack.set_capacity(pack_capacity_);
        break;
    case 6:
        vbat_ = pick(5'500'000, 9'500'000);
        s_.hs().adc.set_vbat_uv(vbat_);
        break;
    case 7:
        // The charger leaves QPH2 by itself or forgets its AICL result.
        if (pick(0, 1) == 0)
            s_.hs().charger.leave_qph2();
        else
            s_.hs().charger.reset_aicl();
        break;
    case 8:
        inject_fault();
        break;
    case 9:
        sighup_burst();
        break;
    default:
        s_.hs().battery.set_current_avg_ua(pick(-2'000'000, 3'000'000));
        break;
    }
}

int Soak::run() {
    vh::Daemon &d = s_.start();
    host_delays_.start(d.pid());
    if (!wait_for_cycles(2))
        throw std::runtime_error("the daemon did not start its cycles:\n" + d.transcript_text(40));
    s_.hs().adc.set_vbat_uv(vbat_);
    Inputs settled;
    settle(settled);
    const ProcessFootprint first = idle_footprint_of(d.pid());
    StatusReader reader(s_);
    reader.start();

    const double hours = options_.hours;
    int last_hour = 0;
    while (virtual_hours() < hours && d.running()) {
        step();
        if (settle(settled))
            check_settled(settled);
        check_writes();
        check_heartbeats();
        // Dwell: up to two virtual minutes of quiet timeout passes.
        std::this_thread::sleep_for(std::chrono::duration<double>(pick(0, 120) / options_.warp));
        if (static_cast<int>(virtual_hours()) > last_hour) {
            last_hour = static_cast<int>(virtual_hours());
            std::printf("vh_soak: %d virtual h, %d cycles, %llu checks\n", last_hour,
                        report_.cycles(),
                        static_cast<unsigned long long>(checks_ + report_.checks()));
            std::fflush(stdout);
        }
    }
    expect(d.running(), "the daemon ended during the soak:\n" + d.transcript_text(40));

    // Back to the state of the first measurement: no fault, no USB, no pack, no load.
    clear_fault();
    if (usb_)
        s_.hs().usb.unplug();
    usb_ = false;
    usb_voltage_ = 0;
    if (s_.hs().pack.attached())
        s_.hs().pack.detach();
    loads_ = {};
    s_.hs().loads.set_all(false);
    settle(settled);
    check_writes();
    check_heartbeats();
    const ProcessFootprint last = idle_footprint_of(d.pid());
    const double ran_hours = virtual_hours();
    reader.stop();
    expect(reader.bad() == 0,
           std::to_string(reader.bad()) + " of " + std::to_string(reader.reads()) +
               " status file reads found a partial file, first " + reader.first_bad());
    expect(last.descriptors == first.descriptors, "descriptors " +
                                                      std::to_string(first.descriptors) + " -> " +
                                                      std::to_string(last.descriptors));
    // The daemon allocates nothing itself; libudev's and libc's arenas may settle a little.
    expect(last.rss_kb - first.rss_kb <= 256, "memory " + std::to_string(first.rss_kb) + " kB -> " +
                                                  std::to_string(last.rss_kb) + " kB");

    host_delays_.stop();
    const vh::ExitStatus status = d.stop(SIGTERM, 10s);
    expect(status == vh::ExitStatus::with_code(0), "stop: " + status.describe());

    std::vector<std::string> all = violations_;
    for (const std::string &v : report_.violations())
        all.push_back(v);
    const uint64_t checks = checks_ + report_.checks();
    std::printf("vh_soak: seed %llu, warp %g\n", static_cast<unsigned long long>(options_.seed),
                options_.warp);
    std::printf("  virtual hours:          %.2f\n", ran_hours);
    std::printf("  story steps:            %llu (%llu settled checks, %llu never settled)\n",
                static_cast<unsigned long long>(steps_),
                static_cast<unsigned long long>(settled_checks_),
                static_cast<unsigned long long>(unsettled_));
    std::printf("  update cycles:          %d\n", report_.cycles());
    std::printf("  heartbeats:             %zu\n", heartbeats_seen_);
    std::printf("  writes checked:         %llu\n", static_cast<unsigned long long>(writes_seen_));
    std::printf("  status file reads:      %llu (%llu partial or empty)\n",
                static_cast<unsigned long long>(reader.reads()),
                static_cast<unsigned long long>(reader.bad()));
    std::printf("  invariant checks:       %llu\n", static_cast<unsigned long long>(checks));
    std::printf("  longest heartbeat gap:  %.1f virtual s (%.0f ms real; allowed %.0f ms: %.0f ms "
                "plus stalls and host delays)\n",
                std::chrono::duration<double>(longest_gap_).count() * options_.warp,
                std::chrono::duration<double, std::milli>(longest_gap_).count(),
                std::chrono::duration<double, std::milli>(longest_gap_allowed_).count(),
                loop_period_s * 1000.0 / options_.warp +
                    std::chrono::duration<double, std::milli>(pass_allowance).count());
    std::printf("  memory (VmRSS):         %ld kB at start, %ld kB at end\n", first.rss_kb,
                last.rss_kb);
    std::printf("  descriptors:            %ld at start, %ld at end\n", first.descriptors,
                last.descriptors);
    for (const auto &[milestone, count] : report_.milestones())
        std::printf("  \"%s\": %d\n", milestone.c_str(), count);
    std::printf("  violations:             %zu\n", all.size());
    for (const std::string &v : all)
        std::printf("    %s\n", v.c_str());
    if (!all.empty())
        std::printf("  reproduce: ./run soak %g --seed %llu\n", options_.hours,
                    static_cast<unsigned long long>(options_.seed));
    return all.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    try {
        const Options options = parse_options(argc, argv);
        vh::enter_sandbox();
        ReportWatch report;
        vh::ScenarioOptions scenario;
        scenario.time_warp = options.warp;
        scenario.headset.aicl_delay = 2ms;
        scenario.on_output = [&report](vh::Stream stream, std::string_view piece) {
            report.output(stream, piece);
        };
        vh::Scenario s(scenario);
        Soak soak(options, s, report);
        return soak.run();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vh_soak: %s\n", error.what());
        return 2;
    }
}
