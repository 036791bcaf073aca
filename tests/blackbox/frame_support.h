// Shared by the black-box tests of the process frame (configuration file,
// daemon mode, stop and reload signals): the daemon's output lines, its own
// system-log entries, and a view of detached daemons.
//
// A detached daemon is no child of the test, so frame_test makes the test
// process a child subreaper: the intermediate session leader and the daemon
// are re-parented to it once their parents end, and their exit statuses can
// be collected like any child's.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "command_queue.h"
#include "harness.h"

namespace blackbox {

inline constexpr int info = LOG_DAEMON | LOG_INFO;
inline constexpr int error = LOG_DAEMON | LOG_ERR;

inline std::string debug_line(int n) {
    return "Debug: " + std::to_string(n) + "\n";
}
inline std::string echo_line(long type, const std::string& text) {
    return "\nTesing...... Type:" + std::to_string(type) + "      " + text + "\n";
}
inline const std::string receiving = "receiving msg..... \n";
inline const std::string stopping = "Debug: stopping daemon ...\n";
inline const std::string reloading = "Debug: reloading daemon config file ...\n";

inline std::size_t count_of(const std::string& haystack, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

using entry_list = std::vector<std::pair<int, std::string>>;  // priority, message

// Fields of /proc/PID/stat that tell a daemon's place among sessions.
struct proc_stat {
    pid_t pid = -1;
    char state = '?';
    pid_t ppid = -1;
    pid_t pgrp = -1;
    pid_t session = -1;
    int tty_nr = -1;
};

inline std::optional<proc_stat> read_proc_stat(pid_t pid) {
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name is in parentheses and may itself hold blanks.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    proc_stat s;
    s.pid = pid;
    std::istringstream rest(text.substr(close + 1));
    rest >> s.state >> s.ppid >> s.pgrp >> s.session >> s.tty_nr;
    if (!rest) {
        return std::nullopt;
    }
    return s;
}

// The value of "Name:" in /proc/PID/status, "" when absent.
inline std::string proc_status_field(pid_t pid, const std::string& name) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(name + ":")) {
            const std::size_t value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

// Whether a process has a handler for `sig` (SigCgt), or nothing under the
// emulator: qemu catches every signal for the program it runs, whose own
// handlers are not to be seen.
inline std::optional<bool> catches_signal(pid_t pid, int sig) {
    if (!emulator().empty()) {
        return std::nullopt;
    }
    const std::string mask = proc_status_field(pid, "SigCgt");
    return !mask.empty() && (std::stoull(mask, nullptr, 16) >> (sig - 1) & 1) == 1;
}

inline bool alive(pid_t pid) {
    const auto s = read_proc_stat(pid);
    return s && s->state != 'Z' && s->state != 'X';
}

inline std::string link_target(const std::string& path) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(path, ec);
    return ec ? "" : target.string();
}

// The calls the daemon waits in, as /proc/PID/syscall numbers them. Under
// the emulator they are the host's calls that qemu makes for the daemon.
// Natively, the i386 C library reaches message queues and sockets through
// the ipc() and socketcall() multiplexers.
#if defined(HOST_SYS_msgrcv)
inline constexpr long call_msgrcv = HOST_SYS_msgrcv;
inline constexpr long call_sendto = HOST_SYS_sendto;
inline constexpr long call_clock_nanosleep = HOST_SYS_clock_nanosleep;
inline constexpr long call_wait4 = HOST_SYS_wait4;
inline constexpr long call_write = HOST_SYS_write;
#else
#ifdef __i386__
inline constexpr long call_msgrcv = SYS_ipc;
inline constexpr long call_sendto = SYS_socketcall;
#else
inline constexpr long call_msgrcv = SYS_msgrcv;
inline constexpr long call_sendto = SYS_sendto;
#endif
inline constexpr long call_clock_nanosleep = SYS_clock_nanosleep;
inline constexpr long call_wait4 = SYS_wait4;
inline constexpr long call_write = SYS_write;
#endif

// The system call a process is blocked in (call_msgrcv while it waits for a
// message, call_clock_nanosleep in the pause, call_wait4 while an account
// command runs), or -1 while it runs.
inline long blocked_syscall(pid_t pid) {
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/syscall");
    if (text.empty() || text.find_first_not_of("0123456789") == 0) {
        return -1;
    }
    return std::stol(text);
}

inline bool wait_for_syscall(pid_t pid, long number, timeout limit = 20s) {
    return wait_until([&] { return blocked_syscall(pid) == number; }, limit);
}

// Whether a live process runs the daemon's binary: under the emulator, the
// emulator's binary with the daemon's among its words.
inline bool runs_daemon(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    if (emulator().empty()) {
        return link_target(proc + "/exe") == std::filesystem::canonical(daemon_path).string();
    }
    const std::string binary = '\0' + built_program(daemon_path).back() + '\0';
    return link_target(proc + "/exe") == std::filesystem::canonical(emulator().front()).string() &&
           read_file(proc + "/cmdline").find(binary) != std::string::npos;
}

// The name the kernel keeps for a process of the daemon's binary (comm, and
// so of an ended one): the emulator's under the emulator.
inline std::string daemon_comm() {
    const std::string binary = emulator().empty() ? daemon_path : emulator().front();
    return std::filesystem::path(binary).filename().string().substr(0, 15) + "\n";
}

// Live processes running the daemon's binary, whoever their parent.
inline std::vector<pid_t> daemon_processes() {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = std::stoi(name);
        if (alive(pid) && runs_daemon(pid)) {
            found.push_back(pid);
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

inline exit_status decode_status(int raw) {
    return WIFSIGNALED(raw) ? killed_by(WTERMSIG(raw)) : exited(WEXITSTATUS(raw));
}

// Messages the daemon has served, the pause after each included: echoed on
// standard output and followed by the next iteration's debug line.
inline std::size_t served(const process& d) {
    const std::string out = d.out();
    const std::string echo = "\nTesing...... Type:";
    std::size_t n = count_of(out, echo);
    const std::size_t last = out.rfind(echo);
    if (last != std::string::npos && out.find("Debug: ", last) == std::string::npos) {
        --n;
    }
    return n;
}

// Sends `n` type-2 messages and says whether all of them were served within
// `limit`; with a pause of 1 s they would take at least n - 1 seconds.
inline ::testing::AssertionResult serves_without_pause(process& d, const command_queue& q,
                                                       std::size_t n = 10, timeout limit = 5s) {
    const std::size_t before = served(d);
    for (std::size_t i = 0; i < n; ++i) {
        if (const int err = q.send(2, "fast " + std::to_string(i)); err != 0) {
            return ::testing::AssertionFailure() << "msgsnd: " << std::strerror(err);
        }
    }
    if (wait_until([&] { return served(d) >= before + n; }, limit)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << served(d) - before << " of " << n << " messages served within "
           << std::chrono::duration_cast<std::chrono::milliseconds>(limit).count() << " ms\n"
           << d.out();
}

// Sends one message to a waiting daemon and measures until the next
// iteration shows, that is, the time the message and its pause took.
inline std::optional<std::chrono::milliseconds> time_one_message(process& d, const command_queue& q,
                                                                 timeout limit) {
    const std::size_t before = served(d);
    const auto start = std::chrono::steady_clock::now();
    if (q.send(2, "timed") != 0 || !wait_until([&] { return served(d) > before; }, limit)) {
        return std::nullopt;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

class frame_test : public sandbox_test {
  protected:
    void SetUp() override {
        sandbox_test::SetUp();
        // Under the emulator, tests/sandbox/as-subreaper has made it one.
        if (emulator().empty()) {
            ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0) << std::strerror(errno);
        }
    }

    void TearDown() override {
        for (const pid_t pid : daemon_processes()) {
            kill(pid, SIGKILL);
        }
        int raw = 0;
        while (waitpid(-1, &raw, WNOHANG) > 0) {
        }
        if (emulator().empty()) {
            prctl(PR_SET_CHILD_SUBREAPER, 0);
        }
    }

    static ::testing::AssertionResult wait_for_file_text(const std::string& path,
                                                         const std::string& text,
                                                         timeout limit = 20s) {
        if (wait_until([&] { return read_file(path).find(text) != std::string::npos; }, limit)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << "\"" << text << "\" not in " << path << ":\n"
                                             << read_file(path);
    }

    // The daemon's own entries (ident useraccountd, this pid), as sent so far.
    entry_list entries_of(pid_t pid) {
        entry_list mine;
        for (const auto& e : system_log().entries()) {
            if (e.ident == "useraccountd" && e.pid == pid) {
                mine.emplace_back(e.priority, e.message);
            }
        }
        return mine;
    }

    std::optional<log_entry> wait_for_entry_of(pid_t pid, int priority, const std::string& text,
                                               timeout limit = 20s) {
        return system_log().wait_for_entry(
            [&](const log_entry& e) {
                return e.ident == "useraccountd" && e.pid == pid && e.priority == priority &&
                       e.message == text;
            },
            limit);
    }

    // The pid of the first daemon that logged "Started", or -1.
    pid_t wait_for_started(timeout limit = 20s) {
        const auto started = system_log().wait_for_entry(
            [](const log_entry& e) {
                return e.ident == "useraccountd" && e.message == "Started useraccountd";
            },
            limit);
        return started ? started->pid : -1;
    }

    // SIGINT, then status 0 within `limit`.
    static void stop(process& d, timeout limit = 20s) {
        d.signal(SIGINT);
        EXPECT_EQ(d.wait_exit(limit), exited(0)) << "stderr: " << d.err();
    }

    // The exit status of a re-parented process (a detached daemon or its
    // session leader), or nothing if it has not ended within `limit`.
    static std::optional<exit_status> wait_orphan(pid_t pid, timeout limit) {
        std::optional<exit_status> status;
        wait_until(
            [&] {
                int raw = 0;
                if (waitpid(pid, &raw, WNOHANG) == pid) {
                    status = decode_status(raw);
                }
                return status.has_value();
            },
            limit);
        return status;
    }

    // Collects the exit statuses of `n` ended processes of the daemon's
    // binary that were re-parented to the test, by pid (in the order they
    // were forked). Call it only once every process object has been waited
    // for: it takes any ended child running the daemon's binary.
    static std::map<pid_t, exit_status> collect_orphans(std::size_t n, timeout limit) {
        std::map<pid_t, exit_status> got;
        wait_until(
            [&] {
                for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                    const std::string name = entry.path().filename().string();
                    if (name.find_first_not_of("0123456789") != std::string::npos) {
                        continue;
                    }
                    const pid_t pid = std::stoi(name);
                    const auto s = read_proc_stat(pid);
                    if (!s || s->ppid != getpid() || s->state != 'Z' ||
                        read_file("/proc/" + name + "/comm") != daemon_comm()) {
                        continue;
                    }
                    int raw = 0;
                    if (waitpid(pid, &raw, WNOHANG) == pid) {
                        got.emplace(pid, decode_status(raw));
                    }
                }
                return got.size() >= n;
            },
            limit);
        return got;
    }

    static std::vector<exit_status> statuses(const std::map<pid_t, exit_status>& by_pid) {
        std::vector<exit_status> all;
        for (const auto& [pid, status] : by_pid) {
            all.push_back(status);
        }
        return all;
    }
};

// The pid a PID file names, or -1 when it holds no "<digits>\n".
inline pid_t pid_in_file(const std::string& path) {
    const std::string text = read_file(path);
    if (text.size() < 2 || text.back() != '\n' ||
        text.find_first_not_of("0123456789") != text.size() - 1) {
        return -1;
    }
    return std::stoi(text);
}

inline unsigned file_mode(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return st.st_mode & 07777;
}

}  // namespace blackbox
