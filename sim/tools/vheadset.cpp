// SPDX-License-Identifier: MIT
// vheadset: the charge daemon running in the virtual headset, for people to watch.
//
//   vheadset demo                  a default story with narration, then SIGTERM
//   vheadset demo --fast           the same without the pauses for the people watching
//   vheadset demo --interactive    the same headset, driven by commands on stdin
//   vheadset demo --plot FILE      a time-warped charge session from 15 % to full, plotted
//                                  into FILE (.png or .svg) with its data beside it
//   vheadset kernel                the same models on the vheadset kernel module's devices
//                                  (kernel/headset), driven by commands on stdin, for a
//                                  daemon that runs on its own (the installed service)
//
// Everything happens inside private mount and network namespaces of this one process tree:
// the fake /sys, the daemon, the udev events. Whatever ends the program (the story's end,
// quit, Ctrl-C, an error) the daemon is stopped and the mount goes with the namespace.
#include "charge_session.hpp"
#include "harness/scenario.hpp"
#include "headset/sandbox.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vh::operator""_V;
using vh::operator""_A;
using vh::operator""_mA;

constexpr double demo_time_warp = 5.0; // the 20 s loop timeout passes in 4 s

const std::array<const char *, 6> status_files = {
    "ac_status",      "battery_percent",         "battery_status",
    "typec_contract", "secs_until_battery_full", "secs_until_shutdown_request"};

// One writer for the terminal: daemon output arrives on the harness's reader thread,
// narration on the main thread.
class Console {
  public:
    Console() : colour_(isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr) {}

    void daemon_output(vh::Stream stream, std::string_view piece) {
        std::lock_guard lock(mutex_);
        if (open_line_ && *open_line_ != stream)
            std::fputs("\n", stdout);
        if (open_line_ != stream) {
            const bool err = stream == vh::Stream::err;
            std::fputs(colour_ ? (err ? "\033[2m  err| " : "\033[36m  out| ")
                               : (err ? "  err| " : "  out| "),
                       stdout);
        } else if (colour_) {
            std::fputs(stream == vh::Stream::err ? "\033[2m" : "\033[36m", stdout);
        }
        const bool ends_line = !piece.empty() && piece.back() == '\n';
        std::fwrite(piece.data(), 1, piece.size() - (ends_line ? 1 : 0), stdout);
        std::fputs(colour_ ? "\033[0m" : "", stdout);
        if (ends_line) {
            std::fputs("\n", stdout);
            open_line_.reset();
        } else {
            open_line_ = stream;
        }
        std::fflush(stdout);
    }

    void narrate(const std::string &text) { say(colour_ ? "\033[1;32m==> " : "==> ", text); }
    void show(const std::string &text) { say(colour_ ? "\033[33m" : "", text); }
    void error(const std::string &text) {
        std::lock_guard lock(mutex_);
        end_open_line();
        std::fprintf(stderr, "vheadset: %s\n", text.c_str());
    }

  private:
    void say(const char *style, const std::string &text) {
        std::lock_guard lock(mutex_);
        end_open_line();
        std::fprintf(stdout, "%s%s%s\n", style, text.c_str(), colour_ ? "\033[0m" : "");
        std::fflush(stdout);
    }
    void end_open_line() {
        if (open_line_) {
            std::fputs("\n", stdout);
            open_line_.reset();
        }
    }

    std::mutex mutex_;
    bool colour_;
    std::optional<vh::Stream> open_line_;
};

Console console;

// Ctrl-C and termination requests, taken by a thread of their own: they stop the daemon
// with SIGTERM, which ends every wait of the story (the daemon's output ends).
std::atomic<pid_t> daemon_pid{0};
std::atomic<bool> interrupted{false};
int wake_fd = -1; // wakes the interactive command loop

struct Interrupted : std::runtime_error {
    Interrupted() : std::runtime_error("interrupted") {}
};

void handle_signals(sigset_t set) {
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0 || signal == SIGUSR1)
            return;
        if (interrupted.exchange(true)) {
            // A second request: do not wait for an orderly stop.
            if (const pid_t pid = daemon_pid.load(); pid > 0)
                kill(pid, SIGKILL);
            continue;
        }
        console.narrate(std::string("Interrupted (") + strsignal(signal) +
                        "): stopping the daemon");
        if (const pid_t pid = daemon_pid.load(); pid > 0)
            kill(pid, SIGTERM);
        const std::uint64_t one = 1;
        if (write(wake_fd, &one, sizeof one) < 0) {
            // Nothing else to do: the loop also ends when the daemon's output ends.
        }
    }
}

// The working directory of the installed service, where the kernel mode shows status files.
constexpr const char *service_directory = "/run/charged";

class Demo {
  public:
    Demo(bool fast, bool kernel) : s_(options(kernel)), fast_(fast), kernel_(kernel) {}

    void start() {
        console.narrate("Starting charged in the virtual headset: PM8550B charger, USB-C port, "
                        "internal battery at 50 %, headstrap without pack");
        vh::Daemon &d = s_.start();
        started_ = true;
        daemon_pid = d.pid();
        check(s_.daemon().wait_for_text(vh::Stream::err, "Starting "), "its version line");
        // The first report is complete once its last line and the status files are there.
        check(s_.daemon().wait_for_text(vh::Stream::err, "---- Current State ----"),
              "its first report");
        check(s_.wait_for_file("typec_contract"), "the status files");
    }

    void story() {
        linger();
        show_status_files("after start-up");

        console.narrate("Plugging a 9 V / 3 A USB Power Delivery source");
        s_.hs().usb.plug(9_V, 3_A, vh::usb_type::pd);
        expect_err("Triggering AICL\n");
        console.narrate("The charger runs its input current detection (AICL) and reports it done");
        expect_err("AICL Complete - Entering QPH2\n");
        expect_err("QPH2 Entered\n");
        console.narrate("The charger is in QPH2 fast-charge mode; the battery charges");
        linger();
        show_status_files("fast charging");

        console.narrate("The battery reaches full: the charge current falls to nothing");
        s_.hs().battery.set_capacity(100);
        expect_err("Exiting QPH2 - Low Current and No Load\n");
        linger();
        show_status_files("after leaving QPH2");

        console.narrate("Attaching the external battery pack to the headstrap");
        s_.hs().pack.attach();
        expect_out("Tavlock: external battery detected");
        linger();
        show_status_files("with the pack");

        console.narrate("Detaching the pack");
        s_.hs().pack.detach();
        expect_out("Tavlock: external battery disconnected");
        linger();
        show_status_files("without the pack");
    }

    void interactive() {
        console.show(help_text);
        std::string pending;
        for (;;) {
            const std::optional<std::string> line = read_command(pending);
            if (!line || !run_command(*line))
                return;
        }
    }

    int stop() {
        if (!started_)
            return kernel_ ? 0 : 1;
        if (!s_.daemon().exit_status())
            console.narrate("Stopping the daemon with SIGTERM");
        s_.daemon().send_signal(SIGTERM);
        const std::optional<vh::ExitStatus> status = s_.daemon().wait_exit(s_.timeout());
        daemon_pid = 0;
        if (!status) {
            console.error("the daemon did not stop within 10 s; killing it");
            return 1;
        }
        console.narrate("charged ended: " + status->describe());
        return *status == vh::ExitStatus::with_code(0) ? 0 : 1;
    }

  private:
    static vh::ScenarioOptions options(bool kernel) {
        vh::ScenarioOptions options;
        if (kernel)
            options.headset.backend = vh::backend::kernel;
        options.headset.battery_model = true;
        options.headset.internal.capacity = 50;
        options.headset.internal.current_avg_ua = -300'000;
        // Long enough for the fuel gauge to average in the charge current before QPH2 starts;
        // with the old discharge average the daemon would leave QPH2 at once.
        options.headset.aicl_delay = 1500ms;
        options.time_warp = demo_time_warp;
        options.argv0 = "charged";
        options.on_output = [](vh::Stream stream, std::string_view piece) {
            console.daemon_output(stream, piece);
        };
        return options;
    }

    void check(bool seen, const std::string &what) {
        if (seen)
            return;
        if (interrupted)
            throw Interrupted();
        throw std::runtime_error("the daemon did not show " + what + " within " +
                                 std::to_string(s_.timeout().count() / 1000) + " s");
    }
    void expect_err(const std::string &text) {
        check(s_.daemon().wait_for_text(vh::Stream::err, text, s_.timeout()),
              "\"" + text.substr(0, text.find('\n')) + "\"");
    }
    void expect_out(const std::string &text) {
        check(s_.daemon().wait_for_text(vh::Stream::out, text, s_.timeout()), "\"" + text + "\"");
    }

    // A pause for the people watching (the daemon runs on meanwhile); the story itself waits
    // on the daemon's lines. Ends early on Ctrl-C.
    void linger() {
        if (fast_)
            return;
        pollfd fd{wake_fd, POLLIN, 0};
        poll(&fd, 1, 2500);
        if (interrupted)
            throw Interrupted();
    }

    void show_status_files(const std::string &when) {
        std::ostringstream text;
        text << "Status files (" << when << "):";
        for (const char *name : status_files) {
            std::string content =
                (kernel_ ? read_service_file(name) : s_.read_file(name)).value_or("(absent)");
            while (!content.empty() && content.back() == '\n')
                content.pop_back();
            text << "\n    " << name << std::string(30 - std::strlen(name), ' ') << content;
        }
        console.show(text.str());
    }

    static std::optional<std::string> read_service_file(const char *name) {
        std::ifstream in(std::string(service_directory) + "/" + name, std::ios::binary);
        if (!in)
            return std::nullopt;
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // One line from stdin; nothing at its end or when interrupted.
    std::optional<std::string> read_command(std::string &pending) {
        for (;;) {
            if (const auto newline = pending.find('\n'); newline != std::string::npos) {
                std::string line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                return line;
            }
            std::array<pollfd, 2> fds{{{STDIN_FILENO, POLLIN, 0}, {wake_fd, POLLIN, 0}}};
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
                return std::nullopt;
            if (fds[1].revents != 0 || interrupted)
                return std::nullopt;
            if (fds[0].revents == 0)
                continue;
            std::array<char, 1024> buffer{};
            const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
            if (got <= 0)
                return std::nullopt;
            pending.append(buffer.data(), static_cast<std::size_t>(got));
        }
    }

    static constexpr const char *help_text =
        "Commands:\n"
        "  plug [volts] [amps] [c|pd|pps]   attach a USB-C source (default 9 V, 3 A, pd)\n"
        "  unplug                           remove it\n"
        "  load <left|right|preboost|ir> <on|off>\n"
        "                                   switch a display backlight, the pre-boost\n"
        "                                   regulator or the room-tracking LED\n"
        "  pack attach|detach               the external battery pack on the headstrap\n"
        "  capacity <percent>               set the internal battery's charge\n"
        "  status                           show the status files\n"
        "  help                             this text\n"
        "  quit                             stop the daemon (SIGTERM) and end";

    // Runs one command; false ends the session.
    bool run_command(const std::string &line) {
        std::istringstream words(line);
        std::string command;
        if (!(words >> command))
            return true;
        std::vector<std::string> args;
        for (std::string word; words >> word;)
            args.push_back(word);
        try {
            return dispatch(command, args);
        } catch (const std::invalid_argument &error) {
            console.error(error.what());
            return true;
        }
    }

    bool dispatch(const std::string &command, const std::vector<std::string> &args) {
        vh::Headset &hs = s_.hs();
        if (command == "quit" || command == "exit") {
            return false;
        } else if (command == "help") {
            console.show(help_text);
        } else if (command == "status") {
            show_status_files("now");
        } else if (command == "plug") {
            const double volts = args.size() > 0 ? number(args[0], 5, 20) : 9;
            const double amps = args.size() > 1 ? number(args[1], 0.1, 5) : 3;
            const vh::usb_type type = args.size() > 2 ? usb_type_named(args[2]) : vh::usb_type::pd;
            if (args.size() > 3)
                throw std::invalid_argument("usage: plug [volts] [amps] [c|pd|pps]");
            hs.usb.plug(static_cast<int32_t>(volts * 1e6), static_cast<int32_t>(amps * 1e6), type);
            console.narrate("Plugged a " + args_text(args, "9 3 pd") + " source");
        } else if (command == "unplug") {
            hs.usb.unplug();
            console.narrate("Unplugged the USB-C source");
        } else if (command == "load") {
            if (args.size() != 2 || (args[1] != "on" && args[1] != "off"))
                throw std::invalid_argument("usage: load <left|right|preboost|ir> <on|off>");
            const bool on = args[1] == "on";
            if (args[0] == "left")
                hs.loads.set_backlight_left(on);
            else if (args[0] == "right")
                hs.loads.set_backlight_right(on);
            else if (args[0] == "preboost")
                hs.loads.set_preboost(on);
            else if (args[0] == "ir")
                hs.loads.set_room_tracking(on);
            else
                throw std::invalid_argument("unknown load \"" + args[0] +
                                            "\" (left, right, preboost or ir)");
            console.narrate("Load " + args[0] + " switched " + args[1]);
        } else if (command == "pack") {
            if (args.size() == 1 && args[0] == "attach")
                hs.pack.attach();
            else if (args.size() == 1 && args[0] == "detach")
                hs.pack.detach();
            else
                throw std::invalid_argument("usage: pack attach|detach");
            console.narrate(args[0] == "attach" ? "Pack attached" : "Pack detached");
        } else if (command == "capacity") {
            if (args.size() != 1)
                throw std::invalid_argument("usage: capacity <percent>");
            hs.battery.set_capacity(static_cast<int32_t>(number(args[0], 0, 100)));
            console.narrate("Internal battery set to " + args[0] + " %");
        } else {
            throw std::invalid_argument("unknown command \"" + command + "\" (type help)");
        }
        return true;
    }

    static std::string args_text(const std::vector<std::string> &args, const char *defaults) {
        std::istringstream fallback(defaults);
        std::vector<std::string> shown(3);
        for (std::string &word : shown)
            fallback >> word;
        for (std::size_t i = 0; i < args.size() && i < shown.size(); ++i)
            shown[i] = args[i];
        return shown[0] + " V / " + shown[1] + " A " + shown[2];
    }

    static double number(const std::string &text, double low, double high) {
        std::size_t used = 0;
        double value = 0;
        try {
            value = std::stod(text, &used);
        } catch (const std::exception &) {
            used = 0;
        }
        if (used != text.size() || value < low || value > high) {
            std::ostringstream message;
            message << "\"" << text << "\" is not a number from " << low << " to " << high;
            throw std::invalid_argument(message.str());
        }
        return value;
    }

    static vh::usb_type usb_type_named(const std::string &name) {
        if (name == "c")
            return vh::usb_type::c;
        if (name == "pd")
            return vh::usb_type::pd;
        if (name == "pps")
            return vh::usb_type::pd_pps;
        throw std::invalid_argument("unknown contract type \"" + name + "\" (c, pd or pps)");
    }

    vh::Scenario s_;
    bool fast_;
    bool kernel_;
    bool started_ = false;
};

// The models on the module's devices: nothing is started, the service does its own work.
int run_kernel() {
    Demo demo(true, true);
    console.narrate("The headset's models drive the vheadset module's devices; type help");
    try {
        demo.interactive();
    } catch (const std::exception &error) {
        console.error(error.what());
        return 1;
    }
    return demo.stop();
}

int run(bool interactive, bool fast) {
    Demo demo(fast, false);
    try {
        demo.start();
        if (interactive)
            demo.interactive();
        else
            demo.story();
    } catch (const Interrupted &) {
        // The daemon was asked to stop; its exit status follows.
    } catch (const std::exception &error) {
        console.error(error.what());
        demo.stop();
        return 1;
    }
    return demo.stop();
}

int run_plot(const std::string &plot) {
    return vh::run_charge_session(
        plot, {.narrate = [](const std::string &text) { console.narrate(text); },
               .daemon_started = [](pid_t pid) { daemon_pid = pid; }});
}

int usage() {
    std::fprintf(stderr, "usage: vheadset demo [--interactive | --fast | --plot FILE]\n"
                         "       vheadset kernel\n"
                         "  --interactive  drive the headset with commands on stdin\n"
                         "  --fast         the default story without pauses\n"
                         "  --plot FILE    a time-warped charge session from 15 %% to full,\n"
                         "                 plotted into FILE (.png or .svg)\n"
                         "  kernel         the models on the vheadset kernel module's devices,\n"
                         "                 driven by commands on stdin (the daemon runs on\n"
                         "                 its own, e.g. as the installed service)\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool plot = args.size() == 3 && args[1] == "--plot";
    const bool kernel = args.size() == 1 && args[0] == "kernel";
    if (!kernel && (args.empty() || args[0] != "demo" || (args.size() > 2 && !plot) ||
                    (args.size() == 2 && args[1] != "--interactive" && args[1] != "--fast")))
        return usage();
    if (plot && vh::plot_format(args[2]).empty()) {
        std::fprintf(stderr, "vheadset: the plot file must end in .png or .svg\n");
        return 2;
    }
    const bool interactive = args.size() == 2 && args[1] == "--interactive";
    const bool fast = args.size() == 2 && args[1] == "--fast";

    if (!vh::running_as_root()) {
        std::fprintf(stderr, "vheadset: the virtual headset needs root: it mounts a fake /sys in "
                             "private mount and network namespaces (try: sudo ./run demo)\n");
        return 1;
    }
    try {
        if (!kernel)
            vh::enter_sandbox(); // while this process has one thread
    } catch (const std::exception &error) {
        std::fprintf(stderr, "vheadset: %s\n", error.what());
        return 1;
    }

    // Every thread created from here on inherits the blocked set; only the signal thread
    // takes these signals.
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1})
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    wake_fd = eventfd(0, EFD_CLOEXEC);
    std::thread signal_thread(handle_signals, set);

    int result = 1;
    try {
        result = kernel ? run_kernel() : plot ? run_plot(args[2]) : run(interactive, fast);
    } catch (const std::exception &error) {
        console.error(error.what());
    }
    pthread_kill(signal_thread.native_handle(), SIGUSR1);
    signal_thread.join();
    return result;
}
