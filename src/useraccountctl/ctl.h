// useraccountctl: what its commands share. Each command lives in a file of
// its own (ctl_send.cpp, ctl_status.cpp, ...), takes its own argv (argv[0]
// names the command, as getopt reports it) and returns the exit status.
#pragma once

#include <sys/types.h>

#include <charconv>
#include <string>
#include <string_view>
#include <vector>

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

// A whole positive decimal number, nothing else around it.
bool parse_positive(const char* text, long* value);

// A whole decimal number of the type, nothing else around it.
template <typename Number>
bool whole_number(std::string_view text, Number& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end;
}

// A user or group name first, as chown reads it; else a whole decimal id.
bool parse_id(const char* text, bool is_user, unsigned* id);
// Permission bits in octal, 0 to 0777.
bool parse_mode(const char* text, unsigned* mode);

// "1000 (alice)", or the bare number when the database has no such entry.
std::string user_name(uid_t uid);
std::string group_name(gid_t gid);

// One queue of the system's table as /proc/sysvipc/msg lists it, which every
// user may read, even one who may only write to the queue.
struct queue_row {
    int id = -1;
    uid_t owner = 0;
    uid_t creator = 0;  // never changes, whoever the owner becomes
};
// Every queue in the table of this IPC namespace; false with errno when the
// table cannot be read.
bool read_queue_table(std::vector<queue_row>& rows);

// The process holding a write lock on the open file, 0 when none does, -1
// with errno when the question fails. Reads need no write access.
pid_t lock_holder(int fd);
