// useraccountctl stop: "finish the command you are running, take nothing
// more, stop", which is what SIGTERM tells useraccountd. The tool makes sure
// that the process is useraccountd, sends SIGTERM once, and waits.
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
#include <string_view>

#include "ctl.h"

namespace {

constexpr long default_timeout_seconds = 60;
constexpr std::string_view daemon_name = "useraccountd";

void print_stop_help() {
    printf(
        "Usage: %s stop (--pid PID | -p PIDFILE) [--timeout SECONDS]\n"
        "\n"
        "Ask a running useraccountd to stop in order: it finishes the account command\n"
        "it is running, takes no further message, and ends. The tool sends SIGTERM\n"
        "once and waits until the daemon has ended.\n"
        "\n"
        "Options:\n"
        "      --pid PID            the daemon's process id\n"
        "  -p, --pid_file PIDFILE   the daemon holding the lock on PIDFILE\n"
        "  -t, --timeout SECONDS    give up waiting after this long (default %ld)\n"
        "  -h, --help               print this help\n"
        "\n"
        "Exit status: 0 once the daemon has ended; 1 on timeout, when there is no\n"
        "such daemon, or when PID is not a useraccountd process; 2 usage error.\n",
        program_name, default_timeout_seconds);
}

// The daemon's pid: given, or the holder of the PID file's lock. 0 when no
// such daemon exists (reported), -1 on a failure (reported).
pid_t find_daemon(pid_t given, const char* pid_file) {
    if (pid_file == nullptr) {
        return given;
    }
    const int fd = open(pid_file, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) {
        const std::string call = std::string("open ") + pid_file;
        call_failed(call.c_str(), errno == ENOENT ? "no daemon is running with it" : nullptr);
        return -1;
    }
    const pid_t holder = lock_holder(fd);
    if (holder == -1) {
        call_failed("fcntl F_GETLK");
    } else if (holder == 0) {
        failed("no process holds the lock on %s: no daemon is running with it", pid_file);
    }
    close(fd);
    return holder;
}

// Only a useraccountd process is told to stop. An upgraded daemon runs a
// binary that has since been replaced.
bool is_daemon(pid_t pid) {
    char exe[32];
    snprintf(exe, sizeof exe, "/proc/%ld/exe", static_cast<long>(pid));
    char target[PATH_MAX];
    const ssize_t n = readlink(exe, target, sizeof target);
    if (n == -1) {
        const std::string call = std::string("readlink ") + exe;
        call_failed(call.c_str(), "cannot tell what the process runs");
        return false;
    }
    std::string_view path(target, static_cast<std::size_t>(n));
    if (path.ends_with(" (deleted)")) {
        path.remove_suffix(std::string_view(" (deleted)").size());
    }
    if (path.substr(path.rfind('/') + 1) != daemon_name) {
        failed("process %ld is not useraccountd (it runs %.*s); nothing sent",
               static_cast<long>(pid), static_cast<int>(path.size()), path.data());
        return false;
    }
    return true;
}

// SIGTERM once, then the wait: a pidfd becomes readable once its process
// has ended.
int signal_and_wait(int daemon_fd, pid_t pid, long timeout_seconds) {
    if (pidfd_send_signal(daemon_fd, SIGTERM, nullptr, 0) == -1 && errno != ESRCH) {
        return call_failed("pidfd_send_signal");
    }
    pollfd ended{daemon_fd, POLLIN, 0};
    const int r = poll(&ended, 1, static_cast<int>(timeout_seconds * 1000));
    if (r == -1) {
        return call_failed("poll");
    }
    if (r == 0) {
        return failed(
            "daemon %ld has not stopped within %ld s; it ends once the account command it is "
            "running has ended",
            static_cast<long>(pid), timeout_seconds);
    }
    return 0;
}

}  // namespace

int run_stop(int argc, char** argv) {
    static const option long_options[] = {
        {"pid", required_argument, nullptr, 'P'},
        {"pid_file", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    long given_pid = 0;
    const char* pid_file = nullptr;
    long timeout_seconds = default_timeout_seconds;
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, "p:t:h", long_options, nullptr)) != -1) {
        switch (option_char) {
            case 'P':
                if (!parse_positive(optarg, &given_pid) || given_pid > INT_MAX) {
                    return usage_error(argv[0], "invalid pid '%s'", optarg);
                }
                break;
            case 'p':
                pid_file = optarg;
                break;
            case 't':
                // poll() counts milliseconds in an int.
                if (!parse_positive(optarg, &timeout_seconds) || timeout_seconds > INT_MAX / 1000) {
                    return usage_error(argv[0], "invalid timeout '%s': whole seconds, at least 1",
                                       optarg);
                }
                break;
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
    if ((given_pid == 0) == (pid_file == nullptr)) {
        return usage_error(argv[0], "give either --pid PID or -p PIDFILE");
    }

    const pid_t pid = find_daemon(static_cast<pid_t>(given_pid), pid_file);
    if (pid <= 0) {
        return exit_failure;
    }
    // The pidfd names this process for good: a recycled pid cannot be hit.
    const int daemon_fd = pidfd_open(pid, 0);
    if (daemon_fd == -1) {
        return call_failed("pidfd_open", errno == ESRCH ? "no daemon runs with that pid" : nullptr);
    }
    int status = exit_failure;
    if (is_daemon(pid)) {
        status = signal_and_wait(daemon_fd, pid, timeout_seconds);
    }
    close(daemon_fd);
    return status;
}
