// useraccountctl: what its commands share. Each command lives in a file of
// its own (ctl_send.cpp, ctl_status.cpp, ...), takes its own argv (argv[0]
// names the command, as getopt reports it) and returns the exit status.
//
// One error convention (src/common/README.md): a function that can fail says
// why, once, where it fails, and returns an exit status, 0 for success; its
// caller passes a status other than 0 on and adds nothing. Failures go to
// standard error (failed(), call_failed()); prepare and save, which run under
// the service, tell what they do to the queue and to the saved commands on
// standard output and in the system log (report()). The codecs print
// nothing: they return std::optional or bool.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <optional>
#include <string>

inline constexpr char program_name[] = "useraccountctl";

inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;
// send tells why nothing was sent, with values from sysexits.h.
inline constexpr int exit_text_too_long = 65;   // EX_DATAERR
inline constexpr int exit_not_prepared = 69;    // EX_UNAVAILABLE: no queue under the key
inline constexpr int exit_not_installed = 72;   // EX_OSFILE: no key file
inline constexpr int exit_queue_removed = 74;   // EX_IOERR: while send waited for room
inline constexpr int exit_queue_full = 75;      // EX_TEMPFAIL: with --no-wait
inline constexpr int exit_not_root_queue = 76;  // EX_PROTOCOL: someone else's queue
inline constexpr int exit_no_permission = 77;   // EX_NOPERM

int run_send(int argc, char** argv);
int run_status(int argc, char** argv);
int run_list(int argc, char** argv);
int run_prepare(int argc, char** argv);
int run_stop(int argc, char** argv);
int run_save(int argc, char** argv);

// "useraccountctl: MESSAGE" on standard error; returns exit_failure.
[[gnu::format(printf, 1, 2)]] int failed(const char* format, ...);

// "useraccountctl: CALL: ERROR TEXT", with an optional note for the operator
// in parentheses; returns exit_failure.
int call_failed(const char* call, const char* note = nullptr);

// "COMMAND: MESSAGE" and a hint at --help on standard error; returns
// exit_usage. command is argv[0] of the command.
[[gnu::format(printf, 2, 3)]] int usage_error(const char* command, const char* format, ...);
int usage_hint(const char* command);

// On standard output and in the system log (opened by the command), once in
// the journal: what became of a queue, of the messages on it and of the
// saved commands.
[[gnu::format(printf, 2, 3)]] void report(int priority, const char* format, ...);

// A user or group name first, as chown reads it; else a whole decimal id.
std::optional<unsigned> parse_id(const char* text, bool is_user);

// "2026-12-08 17:10:02 +0000" in local time, "never" for 0.
std::string local_time(time_t when);

// "1000 (alice)", or the bare number when the database has no such entry.
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);

// The process holding a write lock on the open file, 0 when none does, -1
// with errno when the question fails. Reads need no write access.
pid_t lock_holder(int fd);

// A descriptor, closed when its holder goes.
class unique_fd {
  public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    ~unique_fd() {
        if (fd_ != -1) {
            close(fd_);
        }
    }
    unique_fd(unique_fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    unique_fd& operator=(unique_fd&&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ != -1; }

  private:
    int fd_;
};
