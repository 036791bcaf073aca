// stop: SIGTERM, the stop a supervisor sends, at random moments. While the
// daemon waits for a message, pauses, or turns from a burst of messages back
// into the wait: the time from the signal to its exit. While it runs an
// account command, which it lets finish: the time from the command's end to
// its exit.
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "harness.h"

namespace bench {
namespace {

enum class moment { waiting, pausing, burst, command };

const char* name_of(moment m) {
    switch (m) {
        case moment::waiting:
            return "waiting";
        case moment::pausing:
            return "pausing";
        case moment::burst:
            return "burst into a wait";
        case moment::command:
            return "during a command";
    }
    return "";
}

struct stop_trial {
    double seconds = 0;
    long call_at_signal = -1;
    bool clean = false;  // exited 0 (useraccountd) or by SIGTERM (floor)
};

const int burst_messages = 16;

// How long a burst takes to drain, so that signals can be spread over it and
// a little past its end, where the loop turns back into the wait.
double burst_duration() {
    clear_queue();
    server s(server_kind::daemon, 0);
    std::vector<double> seconds;
    for (int i = 0; i < 9; ++i) {
        const double start = now();
        for (int m = 0; m < burst_messages; ++m) {
            send(2, "burst");
        }
        while (waiting_messages() != 0) {
        }
        seconds.push_back(now() - start);
        s.wait_in_call(SYS_msgrcv, 5.0);
    }
    s.stop();
    return median(seconds);
}

stop_trial stop_once(server_kind kind, moment when, std::mt19937& random, double burst_window = 0) {
    clear_queue();
    server s(kind, when == moment::pausing ? 1 : 0);
    std::uniform_real_distribution<double> jitter(0, 1);
    switch (when) {
        case moment::waiting:
            sleep_for(jitter(random) * 5e-3);
            break;
        case moment::pausing:
            send(2, "pause");
            s.wait_in_call(SYS_clock_nanosleep, 5.0);
            sleep_for(jitter(random) * 20e-3);
            break;
        case moment::burst:
            // A few messages drain in well under a millisecond; a signal that
            // lands as the last one is done meets the loop just before it
            // waits again.
            for (int i = 0; i < burst_messages; ++i) {
                send(2, "burst");
            }
            spin_for(jitter(random) * burst_window);
            break;
        case moment::command:
            // Through the real sudo: the command takes some milliseconds, and
            // a second message waits behind it.
            send(1, "stop during a command");
            send(1, "never taken");
            s.wait_in_call(SYS_wait4, 5.0);
            sleep_for(jitter(random) * 2e-3);
            break;
    }
    stop_trial trial;
    trial.call_at_signal = s.current_call();
    double from = now();
    s.signal(SIGTERM);
    if (when == moment::command) {
        while (s.has_child()) {
            sleep_for(20e-6);
        }
        from = now();
    }
    int status = 0;
    trial.seconds = s.reap(&status) - from;
    trial.clean = kind == server_kind::daemon ? WIFEXITED(status) && WEXITSTATUS(status) == 0
                                              : WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
    if (when == moment::command && waiting_messages() != 1) {
        trial.clean = false;
    }
    return trial;
}

}  // namespace

void bench_stop() {
    std::mt19937 random(config.seed + 1);
    const int per_moment = std::max(1, config.stop_trials / 4);
    std::vector<double> floor_ms;
    for (int i = 0; i < per_moment; ++i) {
        floor_ms.push_back(stop_once(server_kind::floor, moment::waiting, random).seconds * 1000);
    }
    progress("  stop floor done\n");
    const double burst_window = 1.5 * burst_duration();
    std::vector<double> all_ms;
    int unclean = 0;
    int in_receive = 0;
    int in_pause = 0;
    int in_command = 0;
    int running = 0;
    for (const moment when : {moment::waiting, moment::pausing, moment::burst, moment::command}) {
        std::vector<double> ms;
        for (int i = 0; i < per_moment; ++i) {
            const stop_trial trial = stop_once(server_kind::daemon, when, random, burst_window);
            ms.push_back(trial.seconds * 1000);
            unclean += trial.clean ? 0 : 1;
            in_receive += trial.call_at_signal == SYS_msgrcv ? 1 : 0;
            in_pause += trial.call_at_signal == SYS_clock_nanosleep ? 1 : 0;
            in_command += trial.call_at_signal == SYS_wait4 ? 1 : 0;
            running += trial.call_at_signal == -1 ? 1 : 0;
        }
        all_ms.insert(all_ms.end(), ms.begin(), ms.end());
        progress("  stop useraccountd %s done\n", name_of(when));
        const bool command = when == moment::command;
        const std::string what = std::string("stop, SIGTERM ") + name_of(when) + ", " +
                                 std::to_string(per_moment) + " trials";
        const std::string figure = command ? "from the command's end to exit" : "to exit";
        // The floor has no orderly stop: SIGTERM's default action on a
        // process blocked in its receive is the fastest any server can end.
        table.push_back({what, figure + ", median (ms)", command ? "" : fixed(median(floor_ms), 2),
                         fixed(median(ms), 2),
                         command ? "" : ratio_of(median(ms), median(floor_ms)), "", ""});
        table.push_back({what, figure + ", max (ms)", command ? "" : fixed(maximum(floor_ms), 2),
                         fixed(maximum(ms), 2),
                         command ? "" : ratio_of(maximum(ms), maximum(floor_ms)), "< 50",
                         verdict(maximum(ms) < 50)});
    }
    const std::string what = "stop, all " + std::to_string(all_ms.size()) + " trials";
    table.push_back({what, "to exit, median / p99 / max (ms)",
                     fixed(median(floor_ms), 2) + " / " + fixed(quantile(floor_ms, 0.99), 2) +
                         " / " + fixed(maximum(floor_ms), 2),
                     fixed(median(all_ms), 2) + " / " + fixed(quantile(all_ms, 0.99), 2) + " / " +
                         fixed(maximum(all_ms), 2),
                     "", "max < 50", verdict(maximum(all_ms) < 50)});
    const auto over_1ms =
        std::count_if(all_ms.begin(), all_ms.end(), [](double ms) { return ms >= 1.0; });
    table.push_back({what, "trials over 1 ms (a busy machine, or the wake-up timer's first tick)",
                     "", "", std::to_string(over_1ms), "", ""});
    table.push_back(
        {what,
         "burst of " + std::to_string(burst_messages) + " drains in (us); SIGTERM spread over", "",
         fixed(burst_window / 1.5 * 1e6, 0), fixed(burst_window * 1e6, 0), "", ""});
    table.push_back({what, "where SIGTERM landed: receive / pause / command / running", "", "",
                     std::to_string(in_receive) + " / " + std::to_string(in_pause) + " / " +
                         std::to_string(in_command) + " / " + std::to_string(running),
                     "", ""});
    table.push_back({what, "ended with status 0, the next command still queued (floor: by SIGTERM)",
                     "", "",
                     std::to_string(static_cast<int>(all_ms.size()) - unclean) + " / " +
                         std::to_string(all_ms.size()),
                     "all", verdict(unclean == 0)});
}

}  // namespace bench
