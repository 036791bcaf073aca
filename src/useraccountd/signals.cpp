#include "signals.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "config.h"
#include "daemon.h"

volatile sig_atomic_t command_running = 0;

namespace {

// Arrival order of the pending requests; 0 when none is pending.
volatile sig_atomic_t stop_order = 0;
volatile sig_atomic_t reload_order = 0;
volatile sig_atomic_t arrivals = 0;

// A request that lands after the loop's last check but before it blocks in
// the receive or the pause would otherwise wait for the next message. While
// a request is pending, this timer keeps interrupting whatever wait the loop
// is in; an idle daemon with nothing pending has no timer running.
timer_t wakeup_timer;
volatile sig_atomic_t wakeup_armed = 0;

void set_wakeup(bool on) {
    itimerspec timer_value{};
    if (on) {
        timer_value.it_value.tv_nsec = 1'000'000;
        timer_value.it_interval.tv_nsec = 5'000'000;
    }
    timer_settime(wakeup_timer, 0, &timer_value, nullptr);
}

sigset_t request_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}

// Its only work is to interrupt a wait; installed with restart semantics, so
// a write or flush it lands in resumes.
void handle_wakeup(int) {}

}  // namespace

void handle_signal(int sig) {
    const int saved_errno = errno;
    arrivals = arrivals + 1;
    if (sig == SIGINT) {
        stop_order = arrivals;
        // A second SIGINT ends the process at once.
        signal(SIGINT, SIG_DFL);
    } else if (sig == SIGTERM) {
        // A supervisor's stop: it stays a stop request however often it
        // comes, so a running account command is never cut short by it.
        stop_order = arrivals;
    } else if (sig == SIGHUP) {
        reload_order = arrivals;
    }
    if (command_running == 0 && wakeup_armed == 0) {
        wakeup_armed = 1;
        set_wakeup(true);
    }
    errno = saved_errno;
}

void hold_requests() {
    const sigset_t requests = request_signals();
    if (sigprocmask(SIG_BLOCK, &requests, nullptr) == -1) {
        perror("sigprocmask");
        exit(1);
    }
}

void install_signal_handlers() {
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    const sigset_t requests = request_signals();
    const char* failed_call = nullptr;
    if (signal(SIGALRM, handle_wakeup) == SIG_ERR || signal(SIGINT, handle_signal) == SIG_ERR ||
        signal(SIGHUP, handle_signal) == SIG_ERR || signal(SIGTERM, handle_signal) == SIG_ERR) {
        failed_call = "signal";
    } else if (timer_create(CLOCK_MONOTONIC, &event, &wakeup_timer) == -1) {
        failed_call = "timer_create";
    } else if (sigprocmask(SIG_UNBLOCK, &requests, nullptr) == -1) {
        failed_call = "sigprocmask";
    }
    if (failed_call != nullptr) {
        perror(failed_call);
        exit(1);
    }
}

std::array<request, 2> take_requests() {
    std::array<request, 2> taken{request::none, request::none};
    if (wakeup_armed == 0 && stop_order == 0 && reload_order == 0) {
        return taken;
    }
    // Taken with the handler held back, so one that arrives meanwhile is
    // neither lost nor taken twice.
    const sigset_t requests = request_signals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &requests, &previous);
    if (wakeup_armed != 0) {
        set_wakeup(false);
        wakeup_armed = 0;
    }
    const sig_atomic_t stop = stop_order;
    const sig_atomic_t reload = reload_order;
    stop_order = 0;
    reload_order = 0;
    arrivals = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);

    const bool stop_first = stop != 0 && (reload == 0 || stop < reload);
    std::size_t n = 0;
    if (stop_first) {
        taken.at(n++) = request::stop;
    }
    if (reload != 0) {
        taken.at(n++) = request::reload;
    }
    if (stop != 0 && !stop_first) {
        taken.at(n) = request::stop;
    }
    return taken;
}

void stop_daemon() {
    fputs("Debug: stopping daemon ...\n", log_stream);
    if (pid_fd != -1) {
        // Only daemon mode takes the PID file, so only then is it removed.
        (void)!lockf(pid_fd, F_ULOCK, 0);
        close(pid_fd);
        pid_fd = -1;
        unlink(pid_file_name->c_str());
    }
    running = 0;
}

void reload_daemon() {
    fputs("Debug: reloading daemon config file ...\n", log_stream);
    read_conf_file(1);
}
