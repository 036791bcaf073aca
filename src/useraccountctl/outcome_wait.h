// useraccountctl send --wait: follows the daemon's outcome record (useraccountd
// -r; src/common/outcome_line.h describes its lines) from where it ended
// before the send, until the first line with the sent type and text, across
// the renames that rotate it.
#pragma once

#include <sys/types.h>

#include <climits>
#include <string>
#include <string_view>
#include <vector>

// Where the packaged unit has the daemon write its record.
inline constexpr char default_record_file[] = "/var/log/useraccountd/outcomes.log";

inline constexpr long max_wait_seconds = INT_MAX;

// Exit statuses of send --wait for the command's outcome; those of the send
// itself are in ctl.h.
inline constexpr int exit_command_failed = 3;      // a status other than 0, a signal, not run
inline constexpr int exit_command_refused = 4;     // refused by the daemon, or oversized
inline constexpr int exit_outcome_unknown = 5;     // its daemon ended while it ran
inline constexpr int exit_wait_timed_out = 6;      // no line within the time given
inline constexpr int exit_record_unreadable = 66;  // EX_NOINPUT

class outcome_follower {
  public:
    explicit outcome_follower(std::string path) : path_(std::move(path)), rotated_(path_ + ".1") {}
    ~outcome_follower();
    outcome_follower(const outcome_follower&) = delete;
    outcome_follower& operator=(const outcome_follower&) = delete;

    // Before the send: notes where the record ends, so that only lines
    // written after it count. A record not made yet counts from its first
    // line, but it must be one this user may read. 0, or the exit status
    // after a message on standard error (nothing has been sent yet).
    int mark_end();

    // After the send: waits up to timeout seconds (0: without a bound) for
    // the first line of this type and text, prints it on standard output and
    // returns the exit status its outcome means.
    int wait_for(long type, std::string_view text, long timeout);

    // One file the record's name has stood for, read up to offset, the end
    // of its last whole line.
    struct record_file {
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
        off_t offset = 0;
        bool complete = false;  // seen away from the name: it gets no more lines
    };

  private:
    bool known(const struct stat& st) const;
    int open_file(const std::string& path, bool from_end);
    int follow_names();

    std::string path_;
    std::string rotated_;  // FILE.1, where the daemon's rotation moves it
    // The files followed since the mark, oldest first.
    std::vector<record_file> files_;
};
