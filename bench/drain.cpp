// drain: the time to serve N type-1 messages sent while the server waits,
// with a pause of 0. Once with sudo bound to /usr/bin/true in a private mount
// namespace (what is left is the server's own work plus sh), once through the
// real sudo, bash and a trivial script; and with sudo bound again, the daemon
// telling a service manager what it does, as under its unit.
#include <sys/mount.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace bench {
namespace {

struct drain_run {
    double seconds = 0;
    double own_cpu_us = 0;  // the server process alone, not its children
    long sudo_commands = 0;
    long notifications = 0;  // datagrams to the service manager
};

drain_run drain_once(server_kind kind, const std::vector<std::string>& texts, const log_sink& sink,
                     const log_sink* manager) {
    clear_queue();
    server s(kind, 0);
    const long commands_before = sink.sudo_commands();
    const long notifications_before = manager != nullptr ? manager->datagrams() : 0;
    const cpu_figures cpu_before = s.cpu();
    std::atomic<bool> all_sent{false};
    const double start = now();
    std::thread sender([&] {
        for (const std::string& text : texts) {
            send(1, text);
        }
        // Taken only once the last command has ended: its taking ends the run.
        send(2, "end");
        all_sent = true;
    });
    while (!(all_sent.load() && waiting_messages() == 0)) {
        sleep_for(200e-6);
    }
    const double seconds = now() - start;
    const cpu_figures cpu_after = s.cpu();
    const long notifications = manager != nullptr ? manager->datagrams() : 0;
    sender.join();
    s.stop();
    sleep_for(0.05);  // the last of sudo's entries on their way to the sink
    return {seconds, static_cast<double>(cpu_after.run_ns - cpu_before.run_ns) / 1000.0,
            sink.sudo_commands() - commands_before, notifications - notifications_before};
}

void bind_sudo_to_true(bool bound) {
    if (bound) {
        if (mount("/usr/bin/true", "/usr/bin/sudo", nullptr, MS_BIND, nullptr) == -1) {
            fail("mount --bind /usr/bin/true /usr/bin/sudo");
        }
    } else if (umount2("/usr/bin/sudo", 0) == -1) {
        fail("umount /usr/bin/sudo");
    }
}

}  // namespace

void bench_drain(const char* label, int messages, int rounds, bool real_sudo, const log_sink& sink,
                 server_kind daemon_kind, const log_sink* manager) {
    std::vector<std::string> texts;
    for (int i = 0; i < messages; ++i) {
        char text[64];
        snprintf(text, sizeof text, "add user%05d 'Bench User %d'", i, i);
        texts.emplace_back(text);
    }
    if (!real_sudo) {
        bind_sudo_to_true(true);
    }
    std::vector<double> floor_s;
    std::vector<double> daemon_s;
    std::vector<double> round_ratios;
    std::vector<double> floor_cpu_us;
    std::vector<double> daemon_cpu_us;
    long commands_expected = 0;
    long commands_seen = 0;
    std::vector<double> notifications_per_message;
    for (int round = 0; round < rounds; ++round) {
        // Alternate the order, so neither side always runs on a warmer machine.
        const bool floor_first = round % 2 == 0;
        drain_run floor_run;
        drain_run daemon_run;
        for (int side = 0; side < 2; ++side) {
            const bool floor_now = (side == 0) == floor_first;
            const drain_run run =
                drain_once(floor_now ? server_kind::floor : daemon_kind, texts, sink, manager);
            (floor_now ? floor_run : daemon_run) = run;
            progress("  %s round %d %s: %.3f s\n", label, round + 1,
                     floor_now ? "floor" : "useraccountd", run.seconds);
        }
        floor_s.push_back(floor_run.seconds);
        daemon_s.push_back(daemon_run.seconds);
        round_ratios.push_back(daemon_run.seconds / floor_run.seconds);
        floor_cpu_us.push_back(floor_run.own_cpu_us / messages);
        daemon_cpu_us.push_back(daemon_run.own_cpu_us / messages);
        notifications_per_message.push_back(static_cast<double>(daemon_run.notifications) /
                                            messages);
        if (real_sudo) {
            commands_expected += 2L * messages;
            commands_seen += floor_run.sudo_commands + daemon_run.sudo_commands;
        }
    }
    if (!real_sudo) {
        bind_sudo_to_true(false);
    }
    const double f = median(floor_s);
    const double d = median(daemon_s);
    const std::string what = std::string("drain ") + label + ", N=" + std::to_string(messages) +
                             ", " + std::to_string(rounds) + " rounds";
    table.push_back({what, "time to drain, median (s)", fixed(f, 3), fixed(d, 3), ratio_of(d, f),
                     "<= 1.03", verdict(d / f <= 1.03)});
    table.push_back({what, "per message (ms)", fixed(f * 1000 / messages, 3),
                     fixed(d * 1000 / messages, 3), ratio_of(d, f), "", ""});
    table.push_back({what, "ratio per round (min .. max)", "", "",
                     fixed(*std::min_element(round_ratios.begin(), round_ratios.end()), 3) +
                         " .. " + fixed(maximum(round_ratios), 3),
                     "", ""});
    const double fc = median(floor_cpu_us);
    const double dc = median(daemon_cpu_us);
    table.push_back({what, "server's own CPU per message, median (us)", fixed(fc, 1), fixed(dc, 1),
                     ratio_of(dc, fc), "", ""});
    // The server runs one command at a time, so its own extra CPU lies on
    // the critical path; this ratio is what the rounds would show without
    // the noise of a shared machine.
    const double implied = 1 + (dc - fc) * messages / 1e6 / f;
    table.push_back({what,
                     "ratio implied by the extra own CPU: 1 + (d - f) / floor time per message", "",
                     "", fixed(implied, 4), "<= 1.03", verdict(implied <= 1.03)});
    if (manager != nullptr) {
        // Waiting, then running, for each command: the status changes twice.
        table.push_back({what, "notifications to the service manager per message, median", "",
                         fixed(median(notifications_per_message), 2), "", "", ""});
    }
    if (real_sudo) {
        table.push_back({what, "commands sudo logged / sent", "", "",
                         std::to_string(commands_seen) + " / " + std::to_string(commands_expected),
                         "all", verdict(commands_seen == commands_expected)});
    }
}

}  // namespace bench
