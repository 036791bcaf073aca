// useraccountctl stop: "finish the command you are running, take nothing
// more, stop", which is what SIGTERM tells useraccountd, sent to the daemon
// that holds the lock on its PID file, then the wait for it to end.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <unistd.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <string>

#include "bounded_number.h"
#include "ctl.h"
#include "file_trust.h"

namespace {

constexpr long default_timeout_seconds = 60;

void print_stop_help() {
    printf(
        "Usage: %s stop -p PIDFILE [--timeout SECONDS]\n"
        "\n"
        "Ask the useraccountd that holds the lock on PIDFILE to stop in order: it\n"
        "finishes the account command it is running, takes no further message, and\n"
        "ends. The tool sends SIGTERM once and waits until the daemon has ended.\n"
        "\n"
        "Options:\n"
        "  -p, --pid_file PIDFILE   the daemon's PID file (useraccountd -d -p)\n"
        "  -t, --timeout SECONDS    give up waiting after this long (default %ld)\n"
        "  -h, --help               print this help\n"
        "\n"
        "Exit status: 0 once the daemon has ended; 1 on timeout, or when no daemon\n"
        "holds the lock; 2 usage error.\n",
        program_name, default_timeout_seconds);
}

// SIGTERM once to the holder of the lock, then the wait. The daemon gives up
// its lock at the stop request, before its command ends: the wait is for the
// process, through a pidfd, which becomes readable once it has ended. The
// lock is asked for again once the pidfd is open, so that a pid that an
// ended daemon left to another process is never signalled.
int stop_daemon(const char* pid_file, long timeout_seconds) {
    const unique_fd fd(
        open_checked(AT_FDCWD, pid_file, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, file_use::readable));
    if (!fd) {
        return call_failed((std::string("open ") + pid_file).c_str(),
                           errno == ENOENT ? "no daemon is running with it" : nullptr);
    }
    const pid_t holder = lock_holder(fd.get());
    if (holder == -1) {
        return call_failed("fcntl F_GETLK");
    }
    const unique_fd daemon(holder != 0 ? pidfd_open(holder, 0) : -1);
    if (holder != 0 && !daemon && errno != ESRCH) {
        return call_failed("pidfd_open");
    }
    if (!daemon || lock_holder(fd.get()) != holder) {
        return failed("no process holds the lock on %s: no daemon is running with it", pid_file);
    }
    if (pidfd_send_signal(daemon.get(), SIGTERM, nullptr, 0) == -1 && errno != ESRCH) {
        return call_failed("pidfd_send_signal");
    }
    pollfd ended{daemon.get(), POLLIN, 0};
    const int r = poll(&ended, 1, static_cast<int>(timeout_seconds * 1000));
    if (r == -1) {
        return call_failed("poll");
    }
    if (r == 0) {
        return failed(
            "daemon %ld has not stopped within %ld s; it ends once the account command it is "
            "running has ended",
            static_cast<long>(holder), timeout_seconds);
    }
    return 0;
}

}  // namespace

int run_stop(int argc, char** argv) {
    static const option long_options[] = {
        {"pid_file", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char* pid_file = nullptr;
    long timeout_seconds = default_timeout_seconds;
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, "p:t:h", long_options, nullptr)) != -1) {
        switch (option_char) {
            case 'p':
                pid_file = optarg;
                break;
            case 't':
                // poll() counts milliseconds in an int.
                if (const auto value = parse_number(optarg, 1L, INT_MAX / 1000L)) {
                    timeout_seconds = *value;
                    break;
                }
                return usage_error(argv[0], "invalid timeout '%s': whole seconds, at least 1",
                                   optarg);
            case 'h':
                print_stop_help();
                return 0;
            default:
                return usage_hint(argv[0]);
        }
    }
    if (optind < argc) {
        return usage_error(argv[0], "unexpected argument '%s'", argv[optind]);
    }
    if (pid_file == nullptr) {
        return usage_error(argv[0], "-p PIDFILE is needed");
    }
    return stop_daemon(pid_file, timeout_seconds);
}
