// useraccountctl stop: "finish the command you are running, take nothing
// more, stop", told to a daemon that ignores SIGINT while a command runs and
// takes a second SIGINT as "end at once".
//
// The tool reads the daemon's SIGINT state from /proc/PID/status and sends
// SIGINT only when the daemon will act on it: its handler is installed, it is
// not handling one, none is pending, and it is asleep (waiting for a message,
// pausing, or writing). The state line is read before the signal masks, so a
// daemon seen asleep has either handled an earlier SIGINT (its disposition is
// then the default one for good) or has dropped it: a signal sent earlier
// would have woken it. A dropped SIGINT (sent just as a command started) is
// therefore sent again, and an accepted one never is.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <unistd.h>
// glibc 2.36 declares these without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ctl.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr long default_timeout_seconds = 60;
constexpr std::string_view daemon_name = "useraccountd";

void print_stop_help() {
    printf(
        "Usage: %s stop (--pid PID | -p PIDFILE) [--timeout SECONDS]\n"
        "\n"
        "Ask a running useraccountd to stop in order: it finishes the account command\n"
        "it is running, takes no further message, and ends. SIGINT is sent only when\n"
        "the daemon will act on it, never a second one that would end it at once.\n"
        "While it runs an account command, stop waits for the command to end.\n"
        "With a pause of 0 and messages waiting, the daemon is ready only when the\n"
        "queue runs empty; stop then waits for that, up to the timeout.\n"
        "\n"
        "Options:\n"
        "      --pid PID            the daemon's process id\n"
        "  -p, --pid_file PIDFILE   the daemon holding the lock on PIDFILE\n"
        "  -t, --timeout SECONDS    give up after this long (default %ld)\n"
        "  -h, --help               print this help\n"
        "\n"
        "Exit status: 0 once the daemon has ended; 1 on timeout, when there is no\n"
        "such daemon, or when PID is not a useraccountd process; 2 usage error.\n",
        program_name, default_timeout_seconds);
}

std::string proc_path(pid_t pid, std::string_view name) {
    return "/proc/" + std::to_string(pid) + "/" + std::string(name);
}

std::string read_proc_file(const std::string& path) {
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return content;
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return content;
}

enum class disposition { default_action, ignored, caught };

struct sigint_state {
    char process_state = '?';  // R, S, D, T, Z, ...
    disposition action = disposition::default_action;
    bool pending = false;
    bool blocked = false;
};

// The hexadecimal mask after "NAME:\t" has SIGINT's bit set.
bool sigint_in(std::string_view status, std::string_view name) {
    const std::size_t at = status.find("\n" + std::string(name) + ":");
    if (at == std::string_view::npos) {
        return false;
    }
    const unsigned long long mask = strtoull(status.data() + at + name.size() + 2, nullptr, 16);
    return (mask >> (SIGINT - 1) & 1U) != 0;
}

// false when the process has gone.
bool read_sigint_state(pid_t pid, sigint_state* state) {
    // One read: the kernel writes the state line before the masks.
    const std::string status = read_proc_file(proc_path(pid, "status"));
    const std::size_t at = status.find("\nState:");
    if (at == std::string::npos) {
        return false;
    }
    const std::size_t letter = status.find_first_not_of(" \t", at + 7);
    state->process_state = letter == std::string::npos ? '?' : status[letter];
    state->action = sigint_in(status, "SigIgn")   ? disposition::ignored
                    : sigint_in(status, "SigCgt") ? disposition::caught
                                                  : disposition::default_action;
    state->pending = sigint_in(status, "SigPnd") || sigint_in(status, "ShdPnd");
    state->blocked = sigint_in(status, "SigBlk");
    return true;
}

// Waits up to `wait` for any of the descriptors to become readable (a pidfd
// is, once its process has ended). True when one did.
bool wait_readable(const std::vector<int>& fds, std::chrono::milliseconds wait) {
    std::vector<pollfd> polled(fds.size(), pollfd{-1, POLLIN, 0});
    for (std::size_t i = 0; i < fds.size(); ++i) {
        polled[i].fd = fds[i];
    }
    const int r = poll(polled.data(), polled.size(), static_cast<int>(wait.count()));
    return r > 0;
}

// While an account command runs, the daemon waits for its child: wait for
// that child's end too, so that the daemon's next moment of readiness is not
// missed. The children of a daemon in a command are the system shell.
void wait_for_command(pid_t pid, int daemon_fd, std::chrono::milliseconds wait) {
    std::vector<int> fds{daemon_fd};
    const std::string children =
        read_proc_file(proc_path(pid, "task/" + std::to_string(pid) + "/children"));
    const char* p = children.c_str();
    for (char* end = nullptr;; p = end) {
        const long child = strtol(p, &end, 10);
        if (end == p) {
            break;
        }
        const int fd = pidfd_open(static_cast<pid_t>(child), 0);
        if (fd != -1) {
            fds.push_back(fd);
        }
    }
    // Between ignoring SIGINT and starting the shell there is no child yet.
    wait_readable(fds, fds.size() > 1 ? wait : std::min(wait, std::chrono::milliseconds(1)));
    for (std::size_t i = 1; i < fds.size(); ++i) {
        close(fds[i]);
    }
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
    char target[4096];
    const std::string exe = proc_path(pid, "exe");
    const ssize_t n = readlink(exe.c_str(), target, sizeof target - 1);
    if (n == -1) {
        call_failed(("readlink " + exe).c_str(), "cannot tell what the process runs");
        return false;
    }
    std::string_view path(target, static_cast<std::size_t>(n));
    if (path.ends_with(" (deleted)")) {
        path.remove_suffix(std::string_view(" (deleted)").size());
    }
    const std::string_view name = path.substr(path.rfind('/') + 1);
    if (name != daemon_name) {
        failed("process %ld is not useraccountd (it runs %.*s); nothing sent",
               static_cast<long>(pid), static_cast<int>(path.size()), path.data());
        return false;
    }
    return true;
}

const char* what_it_was_doing(const sigint_state& state) {
    switch (state.action) {
        case disposition::ignored:
            return "it is running an account command";
        case disposition::default_action:
            return "it has taken the stop request, or is still starting, but has not ended";
        case disposition::caught:
            break;
    }
    return "it never waited idle long enough to take the stop request";
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
                if (!parse_positive(optarg, &given_pid) || given_pid > 0x7fffffffL) {
                    return usage_error(argv[0], "invalid pid '%s'", optarg);
                }
                break;
            case 'p':
                pid_file = optarg;
                break;
            case 't':
                if (!parse_positive(optarg, &timeout_seconds)) {
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
    const auto deadline = clock_type::now() + std::chrono::seconds(timeout_seconds);

    const pid_t pid = find_daemon(static_cast<pid_t>(given_pid), pid_file);
    if (pid <= 0) {
        return exit_failure;
    }
    // The pidfd names this process for good: a recycled pid cannot be hit.
    const int daemon_fd = pidfd_open(pid, 0);
    if (daemon_fd == -1) {
        return call_failed("pidfd_open", errno == ESRCH ? "no daemon runs with that pid" : nullptr);
    }
    if (!is_daemon(pid)) {
        close(daemon_fd);
        return exit_failure;
    }

    using std::chrono::milliseconds;
    sigint_state state;
    int status = exit_failure;
    for (;;) {
        if (wait_readable({daemon_fd}, milliseconds(0))) {
            status = 0;
            break;
        }
        const auto now = clock_type::now();
        if (now >= deadline) {
            failed("daemon %ld has not stopped within %ld s: %s; no second SIGINT was sent",
                   static_cast<long>(pid), timeout_seconds, what_it_was_doing(state));
            break;
        }
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - now) + milliseconds(1);
        if (!read_sigint_state(pid, &state)) {
            // Ending: /proc no longer shows it, its pidfd soon says so.
            wait_readable({daemon_fd}, std::min(left, milliseconds(10)));
            continue;
        }
        switch (state.action) {
            case disposition::ignored:
                wait_for_command(pid, daemon_fd, std::min(left, milliseconds(1000)));
                break;
            case disposition::default_action:
                // Taken (it only has to end now), or the handler is not yet
                // installed: a SIGINT now would end it at once.
                wait_readable({daemon_fd}, std::min(left, milliseconds(2)));
                break;
            case disposition::caught:
                if (state.process_state == 'S' && !state.pending && !state.blocked &&
                    pidfd_send_signal(daemon_fd, SIGINT, nullptr, 0) == -1 && errno != ESRCH) {
                    status = call_failed("pidfd_send_signal");
                    close(daemon_fd);
                    return status;
                }
                wait_readable({daemon_fd}, std::min(left, milliseconds(1)));
                break;
        }
    }
    close(daemon_fd);
    return status;
}
