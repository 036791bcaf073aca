// Harness for the black-box tests: the real useraccountd and useraccountctl,
// run inside the sandbox of tests/sandbox/run-in-sandbox (one fresh sandbox
// per test: its own IPC namespace, /quex, /dev/log and /tmp).
//
// Paths         daemon_path, ctl_path: the built binaries.
// Fixture       sandbox_test: SetUp refuses to run outside the sandbox, then
//               prepares /quex (key file, recording account script) and
//               captures the system log. Members: system_log(), runs(),
//               runs_started(), wait_for_runs(n, timeout), set_script_sleep(s),
//               set_script_exit(status),
//               write_conf(text) -> path.
// Processes     process(program, argv): stdout and stderr go to files, stdin
//               is /dev/null; pid(), signal(sig), wait_exit(timeout) ->
//               optional<exit_status> (compare with exited(n), killed_by(sig)),
//               out(), err(). The destructor kills and reaps what is left.
//               start_daemon(args), run_ctl(args): argv[0] "useraccountd" and
//               "useraccountctl" (the daemon's argv[0] is its syslog ident).
// Emulation     a build for another architecture (i386 where the kernel
//               refuses it, arm64) runs under qemu-user, which follows no
//               execve: built_program(path) gives the words that run one of
//               its programs, emulator() the emulator's words (none natively).
// System log    syslog_capture: a datagram socket bound at /dev/log, read in
//               the background. entries() (everything logged before the
//               call), wait_for_entry(predicate or substring, timeout).
//               log_entry: priority (facility*8+level), ident, pid, message.
//               Bound at another path, or at an abstract "@name", it stands
//               in for a service manager's notify socket: each datagram is
//               an entry whose message is the datagram.
// Queue         command_queue: opened through open_command_queue() of
//               src/common/command_queue.h; send(type, bytes), waiting(), mode(),
//               remove(); exists() creates nothing.
// Script runs   script_run: the arguments one run of the account script got,
//               its start and end (CLOCK_REALTIME, microseconds) and euid.
// Helpers       wait_until(predicate, timeout), read_file, write_file,
//               file_exists, now_us(), plant_link_as_nobody(target, name).
//
// Failures in the harness itself throw std::runtime_error naming the call and
// the error text; gtest reports them as test failures.
#pragma once

#include <sys/types.h>
#include <syslog.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace blackbox {

using namespace std::chrono_literals;
using timeout = std::chrono::milliseconds;

inline constexpr char daemon_path[] = USERACCOUNTD_PATH;
inline constexpr char ctl_path[] = USERACCOUNTCTL_PATH;

// The words of the emulator that runs this build's programs (qemu-user and
// its options), or none where they run natively.
const std::vector<std::string>& emulator();
// The words that run a program built here, for posix_spawn, setpriv or a
// shell: its path; or the emulator's words where there is one, qemu's
// "-0 ARGV0" where argv0 is given (run natively, a program's argv[0] is the
// caller's to set), and the path of a copy that any user may read.
std::vector<std::string> built_program(const std::string& path, const std::string& argv0 = "");

// The exit status the sanitizer builds are told to use for a report.
inline constexpr int sanitizer_exit_code = 86;

inline constexpr char account_script[] = "/quex/sbin/useraccount.sh";
inline constexpr char runs_dir[] = "/quex/runs";
inline constexpr char conf_path[] = "/quex/etc/useraccount/useraccountd.conf";

// Ends the whole test program, loudly, unless it runs inside the sandbox.
void require_sandbox();

// ---- small helpers

bool wait_until(const std::function<bool()>& done, timeout limit);
std::string read_file(const std::string& path);  // "" when missing
void write_file(const std::string& path, std::string_view content, unsigned mode = 0644);
bool file_exists(const std::string& path);
std::int64_t now_us();  // CLOCK_REALTIME, the clock of script_run

// The user nobody makes the symlink /quex/tmp/NAME -> TARGET, in a sticky
// directory open to all (made when missing), as a hostile user would in /tmp.
::testing::AssertionResult plant_link_as_nobody(const std::string& target, const std::string& name);

// ---- processes

struct exit_status {
    bool signaled = false;  // killed by signal `number`, else exited with `number`
    int number = 0;
    friend bool operator==(const exit_status&, const exit_status&) = default;
};
inline exit_status exited(int code) {
    return {false, code};
}
inline exit_status killed_by(int sig) {
    return {true, sig};
}
std::ostream& operator<<(std::ostream& os, const exit_status& s);

class process {
  public:
    // Runs `program` with `argv` (argv[0] included, chosen by the caller).
    process(std::string program, std::vector<std::string> argv, bool stdin_null = true);
    ~process();
    process(process&& other) noexcept;
    process(const process&) = delete;
    process& operator=(const process&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // The exit status once the process has ended, or nothing after `limit`.
    std::optional<exit_status> wait_exit(timeout limit);
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }
    const std::string& out_path() const { return out_path_; }

  private:
    pid_t pid_ = -1;
    std::optional<exit_status> status_;
    std::string out_path_;
    std::string err_path_;
};

// Waits for `text` on the process's standard output; gives up early when it
// has ended, and then says what it wrote.
::testing::AssertionResult wait_for_output(process& p, const std::string& text,
                                           timeout limit = 20s);

process start_daemon(const std::vector<std::string>& args,
                     const std::string& argv0 = "useraccountd");
process run_ctl(const std::vector<std::string>& args);
// Runs a program built here as argv0, under the emulator where there is one.
process run_built(const std::string& path, const std::string& argv0,
                  const std::vector<std::string>& args);

// ---- system log

struct log_entry {
    int priority = -1;
    std::string ident;
    pid_t pid = -1;  // -1 when the entry carries none
    std::string message;
    std::string raw;                                         // the datagram as received
    int facility() const { return priority & LOG_FACMASK; }  // LOG_DAEMON, LOG_AUTHPRIV, ...
    int level() const { return priority & LOG_PRIMASK; }     // LOG_ERR, LOG_INFO, ...
};
std::ostream& operator<<(std::ostream& os, const log_entry& e);
std::optional<log_entry> parse_log_entry(std::string_view datagram);

class syslog_capture {
  public:
    explicit syslog_capture(std::string path = "/dev/log");
    ~syslog_capture();
    syslog_capture(const syslog_capture&) = delete;
    syslog_capture& operator=(const syslog_capture&) = delete;

    // Every entry sent before this call, in order of arrival.
    std::vector<log_entry> entries();
    std::optional<log_entry> wait_for_entry(const std::function<bool(const log_entry&)>& match,
                                            timeout limit);
    std::optional<log_entry> wait_for_entry(std::string_view substring, timeout limit);

  private:
    void read_loop();
    void sync();

    std::string path_;
    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<log_entry> entries_;
    std::uint64_t syncs_sent_ = 0;
    std::uint64_t syncs_seen_ = 0;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// ---- command queue

class command_queue {
  public:
    command_queue();  // opens or creates the queue as the daemon does
    int id() const { return id_; }
    // 0 when sent, else the errno of msgsnd (EAGAIN when full and nowait).
    int send(long type, std::string_view text, bool nowait = false) const;
    std::size_t waiting() const;  // messages on the queue (msg_qnum)
    unsigned mode() const;        // permission bits
    void remove() const;
    // Whether the contract's queue exists; creates nothing.
    static bool exists();
    // Removes the contract's queue if one exists; creates nothing.
    static void remove_existing();

  private:
    int id_ = -1;
};

// ---- the recording account script

struct script_run {
    int number = 0;  // 1, 2, ... in order of start
    std::vector<std::string> args;
    std::int64_t start_us = 0;
    std::int64_t end_us = 0;
    int euid = -1;
};

class sandbox_test : public ::testing::Test {
  protected:
    void SetUp() override;

    syslog_capture& system_log() { return *system_log_; }
    std::vector<script_run> runs() const;  // the finished runs, in order
    std::size_t runs_started() const;
    bool wait_for_runs(std::size_t n, timeout limit) const;
    void set_script_sleep(double seconds) const;             // 0: no sleep
    void set_script_exit(int status) const;                  // after recording the run
    std::string write_conf(std::string_view content) const;  // returns conf_path

  private:
    std::optional<syslog_capture> system_log_;
};

}  // namespace blackbox
