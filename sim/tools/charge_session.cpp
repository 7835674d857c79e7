// SPDX-License-Identifier: MIT
#include "charge_session.hpp"

#include "harness/scenario.hpp"
#include "harness/temp_dir.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace vh {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The daemon's clocks run this much faster than the headset's: about two hours of charging
// pass in little more than a minute.
constexpr double time_warp = 100;
// Model steps of 2.5 s of battery time, a ten-second AICL run.
constexpr auto battery_tick = 25ms;
constexpr auto aicl_run = std::chrono::milliseconds(static_cast<int>(10'000 / time_warp));

constexpr auto phase_timeout = 30s;   // real time for a step that follows at once
constexpr auto charge_timeout = 5min; // real time for the whole charge to full

// The daemon's report lines and decisions as they arrived, time-stamped on arrival.
class Recorder {
  public:
    struct Line {
        Clock::time_point when;
        std::string text;
    };

    void output(Stream stream, std::string_view piece) {
        if (stream != Stream::err) {
            return;
        }
        std::lock_guard lock(mutex_);
        partial_.append(piece);
        for (std::size_t newline; (newline = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back({Clock::now(), partial_.substr(0, newline)});
            partial_.erase(0, newline + 1);
        }
    }

    std::vector<Line> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    mutable std::mutex mutex_;
    std::string partial_;
    std::vector<Line> lines_;
};

// One console report, as the daemon printed it.
struct Report {
    double minute = 0;
    int capacity = 0;     // fuel gauge, percent
    double battery_v = 0; // fuel gauge average
    double charge_a = 0;  // ADC
    double input_a = 0;   // ADC
    double usb_v = 0;     // ADC
    std::string state;    // fast-charge state
    int load = 0;         // load mask
    std::string status;   // the charger's
};

struct Mark {
    double minute;
    std::string label;
};

struct SessionRecord {
    std::vector<Report> reports;
    std::vector<Mark> limit_writes; // label: the current in A
    std::vector<Mark> decisions;
    std::vector<Mark> loads; // "on" / "off"
    double end_minute = 0;
};

// The daemon's decision lines and how the plot names them.
struct Decision {
    const char *line;
    const char *label;
};
constexpr std::array<Decision, 8> decision_lines{{
    {"Triggering AICL", "AICL triggered"},
    {"AICL Complete - Entering QPH2", "AICL done"},
    {"Entering QPH2 Directly", "QPH2 requested"},
    {"QPH2 Entered", "QPH2 entered"},
    {"QPH2 AICL Timeout, Trying anyway", "AICL timeout"},
    {"QPH2 Timeout, Exiting", "QPH2 timeout"},
    {"Exiting QPH2 - Low Current and No Load", "QPH2 left: low current"},
    {"Exiting QPH2 - ", "QPH2 left"},
}};

std::optional<std::string> decision_label(const std::string &line) {
    for (const Decision &d : decision_lines) {
        if (line.starts_with(d.line)) {
            return d.label;
        }
    }
    return std::nullopt;
}

// Fills report from one of its lines; true once the last line (the fast-charge state) is in.
bool parse_report_line(const std::string &line, Report &report) {
    int online = 0;
    double v = 0, negotiated_v = 0, negotiated_a = 0, limit = 0;
    std::array<char, 32> text{};
    unsigned load = 0;
    if (std::sscanf(line.c_str(), "USB(%d) - V: %lf, Neg: %lf; Cur: %lf, Neg: %lf;", &online,
                    &report.usb_v, &negotiated_v, &report.input_a, &negotiated_a) == 5) {
        return false;
    }
    if (std::sscanf(line.c_str(), "CHG(%d) - V: %lf, Flt: %lf; Cur: %lf, Lim: %lf; Stat: %31[^\n]",
                    &online, &v, &negotiated_v, &report.charge_a, &limit, text.data()) == 6) {
        report.status = text.data();
        return false;
    }
    if (std::sscanf(line.c_str(), "FG INT - V: %lf; Cur: %lf; SOC: %d", &report.battery_v, &v,
                    &report.capacity) == 3) {
        return false;
    }
    if (std::sscanf(line.c_str(), "QPH(%d) - Sel: %31[^;]; Load: 0x%X", &online, text.data(),
                    &load) == 3) {
        report.state = text.data();
        report.load = static_cast<int>(load);
        return true;
    }
    return false;
}

class Session {
  public:
    explicit Session(const ChargeSessionHooks &hooks) : hooks_(hooks), s_(options()) {}

    ~Session() { hooks_.daemon_started(0); }

    // The story; throws std::runtime_error when the daemon does not do its part in time.
    void run() {
        hooks_.narrate("Starting charged in the virtual headset, time warped x" +
                       std::to_string(static_cast<int>(time_warp)) +
                       ": internal battery at 15 %, no source");
        hooks_.daemon_started(s_.start().pid());
        expect("---- Current State ----", phase_timeout);
        check(s_.wait_for_file("typec_contract"), "the status files");
        reports(2);

        hooks_.narrate("Plugging a 9 V / 3 A USB Power Delivery source");
        plug_time_ = Clock::now();
        s_.hs().usb.plug(9'000'000, 3'000'000, usb_type::pd);
        expect("Triggering AICL\n", phase_timeout);
        expect("AICL Complete - Entering QPH2\n", phase_timeout);
        expect("QPH2 Entered\n", phase_timeout);
        hooks_.narrate("Fast charge (QPH2) at 2.7 A; the battery charges");
        check(s_.fs().wait_for_write(path::charger + "/constant_charge_current", "1350000",
                                     charge_timeout),
              "the current step above 64 %");
        hooks_.narrate("Above 64 %: the daemon halves the charge current to 1.35 A");
        expect("Exiting QPH2 - Low Current and No Load\n", charge_timeout);
        hooks_.narrate("Constant voltage: the current tapered, the daemon left fast charge");
        expect("Stat: Full", charge_timeout);
        hooks_.narrate("The charger ends the charge: full");
        reports(3);

        hooks_.narrate("Switching every load on (displays, pre-boost, tracking LED)");
        load_changes_.push_back({Clock::now(), true});
        s_.hs().loads.set_all(true);
        expect("QPH2 Entered\n", phase_timeout);
        reports(15);
        hooks_.narrate("Switching the loads off");
        load_changes_.push_back({Clock::now(), false});
        s_.hs().loads.set_all(false);
        expect("Exiting QPH2 - Low Current and No Load\n", phase_timeout);
        expect("Stat: Full", phase_timeout);
        reports(3);
    }

    // Stops the daemon; true when it ended cleanly.
    bool stop() {
        if (!s_.daemon().started()) {
            return false;
        }
        end_time_ = Clock::now();
        s_.daemon().send_signal(SIGTERM);
        const std::optional<ExitStatus> status = s_.daemon().wait_exit(phase_timeout);
        hooks_.daemon_started(0);
        hooks_.narrate("charged ended: " + (status ? status->describe() : "did not stop"));
        return status == ExitStatus::with_code(0);
    }

    SessionRecord record() {
        SessionRecord record;
        Report report;
        for (const Recorder::Line &line : recorder_->lines()) {
            if (line.text == "---- Current State ----") {
                report = Report{};
                report.minute = minute(line.when);
            } else if (parse_report_line(line.text, report)) {
                record.reports.push_back(report);
            } else if (auto label = decision_label(line.text)) {
                record.decisions.push_back({minute(line.when), *label});
            }
        }
        for (const FakeSysfs::Write &write :
             s_.fs().writes_to(path::charger + "/constant_charge_current")) {
            if (write.error == 0) {
                record.limit_writes.push_back(
                    {minute(write.when), std::to_string(std::atof(write.text.c_str()) * 1e-6)});
            }
        }
        for (const auto &[when, on] : load_changes_) {
            record.loads.push_back({minute(when), on ? "on" : "off"});
        }
        record.end_minute = minute(end_time_);
        return record;
    }

  private:
    ScenarioOptions options() {
        ScenarioOptions options;
        options.headset.battery_model = true;
        options.headset.internal.capacity = 15;
        options.headset.internal.voltage_avg_uv = 7'320'000;
        options.headset.internal.current_avg_ua = -300'000;
        options.headset.internal.time_to_empty_avg_s = 7'200;
        options.headset.battery_tick = battery_tick;
        options.headset.battery_step_s =
            std::chrono::duration<double>(battery_tick).count() * time_warp;
        options.headset.aicl_delay = aicl_run;
        options.time_warp = time_warp;
        options.argv0 = "charged";
        options.on_output = [recorder = recorder_](Stream stream, std::string_view piece) {
            recorder->output(stream, piece);
        };
        return options;
    }

    // Virtual minutes since the source was plugged.
    double minute(Clock::time_point when) const {
        return std::chrono::duration<double>(when - plug_time_).count() * time_warp / 60;
    }

    void check(bool seen, const std::string &what) const {
        if (!seen) {
            throw std::runtime_error("the daemon did not show " + what + " in time");
        }
    }
    void expect(const std::string &text, std::chrono::milliseconds timeout) {
        check(s_.daemon().wait_for_text(Stream::err, text, timeout),
              "\"" + text.substr(0, text.find('\n')) + "\"");
        if (auto label = decision_label(text)) {
            hooks_.narrate("  daemon: " + text.substr(0, text.find('\n')));
        }
    }
    // Waits for count more reports: count times the 20 s loop timeout at most.
    void reports(int count) {
        for (int i = 0; i < count; ++i) {
            expect("---- Current State ----", phase_timeout);
        }
    }

    const ChargeSessionHooks &hooks_;
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
    Scenario s_;
    Clock::time_point plug_time_ = Clock::now();
    Clock::time_point end_time_ = Clock::now();
    std::vector<std::pair<Clock::time_point, bool>> load_changes_;
};

// ---- data, plot and summary ----

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// Data blocks for gnuplot's index: 0 reports, 1 limit writes, 2 decisions, 3 loads.
void write_data(const std::filesystem::path &file, const SessionRecord &record) {
    std::ofstream out(file);
    out << "# charged in the virtual headset: one charge session, virtual minutes since the "
           "source was plugged\n"
        << "# minute capacity_% battery_V charge_A input_A usb_V state load status\n";
    for (const Report &r : record.reports) {
        out << r.minute << ' ' << r.capacity << ' ' << r.battery_v << ' ' << r.charge_a << ' '
            << r.input_a << ' ' << r.usb_v << ' ' << quoted(r.state) << ' ' << r.load << ' '
            << quoted(r.status) << '\n';
    }
    out << "\n\n# charger current limit as the daemon wrote it: minute A\n";
    for (const Mark &m : record.limit_writes) {
        out << m.minute << ' ' << m.label << '\n';
    }
    out << "\n\n# the daemon's decisions: minute label\n";
    for (const Mark &m : record.decisions) {
        out << m.minute << ' ' << quoted(m.label) << '\n';
    }
    out << "\n\n# loads switched: minute on/off\n";
    for (const Mark &m : record.loads) {
        out << m.minute << ' ' << quoted(m.label) << '\n';
    }
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

// Decisions close together share one marker; an AICL run's end shows in what follows it.
std::vector<Mark> merged_marks(const std::vector<Mark> &decisions, double span) {
    std::vector<Mark> marks;
    for (const Mark &d : decisions) {
        if (d.label == "AICL done") {
            continue;
        }
        if (!marks.empty() && d.minute - marks.back().minute < span * 0.012) {
            if (marks.back().label.find(d.label) == std::string::npos) {
                marks.back().label += ", " + d.label;
            }
        } else {
            marks.push_back(d);
        }
    }
    return marks;
}

std::string gnuplot_script(const std::filesystem::path &plot, const std::filesystem::path &data,
                           const SessionRecord &record) {
    const double start = record.reports.empty() ? 0 : std::min(0.0, record.reports[0].minute);
    const double end = record.end_minute;
    std::ostringstream gp;
    gp << (plot_format(plot) == "svg" ? "set terminal svg size 1280,1000 dynamic font 'sans,11'\n"
                                      : "set terminal pngcairo size 1280,1000 font 'sans,10'\n")
       << "set output " << quoted(plot.string()) << "\n"
       << "data = " << quoted(data.string()) << "\n"
       << "set multiplot layout 3,1 title 'charged in the virtual headset: a 9 V / 3 A source "
          "from 15 % to full, then a load (time warped x"
       << static_cast<int>(time_warp) << ")' font ',13'\n"
       << "set xrange [" << start << ":" << end << "]\n"
       << "set lmargin 12\nset rmargin 12\nset grid\nset key top left opaque\n"
       << "set style line 1 lw 2 lc rgb '#1f77b4'\nset style line 2 lw 2 lc rgb '#d62728'\n"
       << "set style line 3 lw 2 lc rgb '#2ca02c'\nset style line 4 lw 2 lc rgb '#7f7f7f'\n";
    // The loads' time as a shaded band, the daemon's decisions as dashed lines in every panel.
    std::optional<double> load_on;
    int object = 1;
    for (const Mark &m : record.loads) {
        if (m.label == "on") {
            load_on = m.minute;
        } else if (load_on) {
            gp << "set object " << object++ << " rect from " << *load_on << ", graph 0 to "
               << m.minute << ", graph 1 behind fc rgb '#fdf0d0' fs solid noborder\n";
            load_on.reset();
        }
    }
    const std::vector<Mark> marks = merged_marks(record.decisions, end - start);
    int arrow = 1;
    for (const Mark &m : marks) {
        gp << "set arrow " << arrow++ << " from " << m.minute << ", graph 0 to " << m.minute
           << ", graph 1 nohead dt 2 lc rgb '#999999'\n";
    }
    // Panel 1: what the fuel gauge reported.
    int label = 1;
    for (const Mark &m : marks) {
        gp << "set label " << label++ << " " << quoted(m.label) << " at " << m.minute
           << ", graph 0.04 rotate by 90 left offset -0.6,0 font ',9' tc rgb '#555555' front\n";
    }
    gp << "set ylabel 'capacity (%)'\nset yrange [0:105]\nset ytics nomirror\n"
       << "set y2label 'battery voltage (V)'\nset y2range [6.8:9.2]\nset y2tics\n"
       << "plot data index 0 using 1:2 with lines ls 1 title 'capacity (fuel gauge)', \\\n"
       << "     data index 0 using 1:3 axes x1y2 with lines ls 2 "
          "title 'battery voltage (fuel gauge average)'\n"
       << "unset label\nunset y2label\nunset y2tics\nset ytics mirror\n";
    // Panel 2: currents as the ADC measured them, the limit as the daemon set it.
    gp << "set ylabel 'current (A)'\nset yrange [-0.2:3.4]\n"
       << "plot data index 1 using 1:2 with steps ls 4 dt 3 "
          "title 'charge current limit (written by the daemon)', \\\n"
       << "     data index 0 using 1:4 with lines ls 1 title 'charge current (ADC)', \\\n"
       << "     data index 0 using 1:5 with lines ls 3 title 'input current (ADC)'\n";
    // Panel 3: the fast-charge state machine.
    gp << "set ylabel 'fast-charge state'\nset yrange [-0.5:4.5]\n"
       << "set ytics ('1' 0, 'AICL' 1, '1->2' 2, '2->1' 3, '2' 4)\n"
       << "state(s) = s eq '1' ? 0 : s eq 'AICL' ? 1 : s eq '1->2' ? 2 : s eq '2->1' ? 3 : 4\n"
       << "set xlabel 'virtual time since the source was plugged (minutes); shaded: loads on'\n"
       << "plot data index 0 using 1:(state(strcol(7))) with steps ls 2 "
          "title 'fast-charge state (daemon report)'\n"
       << "unset multiplot\n";
    return gp.str();
}

void run_gnuplot(const std::filesystem::path &script) {
    std::array<char, 8> program{"gnuplot"};
    std::string script_path = script.string();
    std::array<char *, 3> argv{program.data(), script_path.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, "gnuplot", nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        throw std::runtime_error(std::string("cannot run gnuplot: ") + std::strerror(error) +
                                 " (Debian: gnuplot-nox)");
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("gnuplot failed on " + script.string());
    }
}

// Minutes from the plug to the first report that satisfies condition.
template <typename Condition>
std::optional<double> first_minute(const SessionRecord &record, Condition condition) {
    for (const Report &r : record.reports) {
        if (r.minute >= 0 && condition(r)) {
            return r.minute;
        }
    }
    return std::nullopt;
}

std::string minutes_text(std::optional<double> minutes) {
    if (!minutes) {
        return "not reached";
    }
    std::ostringstream text;
    text.precision(0);
    text << std::fixed << *minutes << " min";
    return text.str();
}

void print_summary(const SessionRecord &record) {
    const auto to_80 = first_minute(record, [](const Report &r) { return r.capacity >= 80; });
    const auto full = first_minute(record, [](const Report &r) { return r.status == "Full"; });
    // Fast charge from each "QPH2 entered" to the next exit decision (or the end).
    double fast_minutes = 0;
    std::optional<double> entered;
    for (const Mark &d : record.decisions) {
        if (d.label == "QPH2 entered") {
            entered = d.minute;
        } else if (entered && (d.label.starts_with("QPH2 left") || d.label == "QPH2 timeout")) {
            fast_minutes += d.minute - *entered;
            entered.reset();
        }
    }
    if (entered) {
        fast_minutes += record.end_minute - *entered;
    }
    // Energy from the plug to full: battery voltage times charge current, and what the
    // source gave, between consecutive reports.
    double battery_wh = 0, source_wh = 0;
    for (std::size_t i = 1; i < record.reports.size(); ++i) {
        const Report &a = record.reports[i - 1], &b = record.reports[i];
        if (a.minute < 0 || (full && a.minute >= *full)) {
            continue;
        }
        const double hours = (b.minute - a.minute) / 60;
        battery_wh += hours * (a.battery_v * a.charge_a + b.battery_v * b.charge_a) / 2;
        source_wh += hours * (a.usb_v * a.input_a + b.usb_v * b.input_a) / 2;
    }
    std::printf("\nCharge session (virtual time from plugging the source):\n"
                "  to 80 %%:               %s\n"
                "  to full (charger):     %s\n"
                "  in fast charge (QPH2): %s\n"
                "  energy into the battery until full: %.1f Wh (from the source: %.1f Wh)\n",
                minutes_text(to_80).c_str(), minutes_text(full).c_str(),
                minutes_text(fast_minutes).c_str(), battery_wh, source_wh);
}

} // namespace

std::string plot_format(const std::filesystem::path &plot) {
    std::string extension = plot.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".png" ? "png" : extension == ".svg" ? "svg" : "";
}

int run_charge_session(const std::filesystem::path &plot, const ChargeSessionHooks &hooks) {
    const auto real_start = Clock::now();
    SessionRecord record;
    bool clean = false;
    {
        Session session(hooks);
        try {
            session.run();
            clean = session.stop();
        } catch (const std::exception &error) {
            session.stop();
            std::fprintf(stderr, "vheadset: %s\n", error.what());
            return 1;
        }
        record = session.record();
    }
    std::filesystem::path data = plot;
    data.replace_extension(".dat");
    write_data(data, record);
    TempDir temp("vh-plot-");
    const std::filesystem::path script = temp.path() / "charge-session.gp";
    std::ofstream(script) << gnuplot_script(plot, data, record);
    run_gnuplot(script);
    hooks.narrate("Plot: " + plot.string() + " (data: " + data.string() + ")");
    print_summary(record);
    std::printf("  real time: %.0f s\n",
                std::chrono::duration<double>(Clock::now() - real_start).count());
    return clean ? 0 : 1;
}

} // namespace vh
