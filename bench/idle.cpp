// idle: CPU time and context switches of a server waiting on an empty queue,
// and again after a reload, which arms the daemon's wake-up timer. Run again
// with $NOTIFY_SOCKET set, where the reload is also told to the manager.
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "harness.h"

namespace bench {
namespace {

struct idle_run {
    double cpu_ms = 0;  // from ticks
    double run_us = 0;  // from schedstat
    long switches = 0;
};

idle_run idle_once(server_kind kind, bool after_reload) {
    clear_queue();
    server s(kind, 0);
    if (after_reload) {
        // A reload arms the wake-up timer; it must be stopped again once the
        // loop has acted, or the idle daemon keeps waking.
        kill(s.pid(), SIGHUP);
        sleep_for(0.1);
        s.wait_in_call(SYS_msgrcv, 5.0);
    }
    sleep_for(0.2);
    const cpu_figures before = s.cpu();
    sleep_for(config.idle_seconds);
    const cpu_figures after = s.cpu();
    s.stop();
    const double ms_per_tick = 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    return {static_cast<double>(after.ticks - before.ticks) * ms_per_tick,
            static_cast<double>(after.run_ns - before.run_ns) / 1000.0,
            after.switches - before.switches};
}

}  // namespace

void bench_idle(server_kind daemon_kind, const std::string& condition) {
    const idle_run f = idle_once(server_kind::floor, false);
    progress("  idle floor done\n");
    const idle_run d = idle_once(daemon_kind, false);
    progress("  idle %s done\n", name_of(daemon_kind));
    const idle_run r = idle_once(daemon_kind, true);
    progress("  idle %s after a reload done\n", name_of(daemon_kind));
    const std::string what = "idle " + std::to_string(config.idle_seconds) + " s, empty queue" +
                             (daemon_kind == server_kind::daemon_record ? ", record on" : "") +
                             condition;
    table.push_back({what, "CPU time, utime+stime (ms)", fixed(f.cpu_ms, 0), fixed(d.cpu_ms, 0),
                     ratio_of(d.cpu_ms, f.cpu_ms), "0", verdict(d.cpu_ms == 0)});
    table.push_back({what, "time on CPU, schedstat (us)", fixed(f.run_us, 1), fixed(d.run_us, 1),
                     ratio_of(d.run_us, f.run_us), "0", verdict(d.run_us == 0)});
    table.push_back({what, "context switches", std::to_string(f.switches),
                     std::to_string(d.switches),
                     ratio_of(static_cast<double>(d.switches), static_cast<double>(f.switches)),
                     "0", verdict(d.switches == 0)});
    const std::string what_reload = what + ", after a SIGHUP";
    table.push_back({what_reload, "CPU time, utime+stime (ms)", fixed(f.cpu_ms, 0),
                     fixed(r.cpu_ms, 0), ratio_of(r.cpu_ms, f.cpu_ms), "0",
                     verdict(r.cpu_ms == 0)});
    table.push_back({what_reload, "time on CPU, schedstat (us)", fixed(f.run_us, 1),
                     fixed(r.run_us, 1), ratio_of(r.run_us, f.run_us), "0",
                     verdict(r.run_us == 0)});
    table.push_back({what_reload, "context switches", std::to_string(f.switches),
                     std::to_string(r.switches),
                     ratio_of(static_cast<double>(r.switches), static_cast<double>(f.switches)),
                     "0", verdict(r.switches == 0)});
}

}  // namespace bench
