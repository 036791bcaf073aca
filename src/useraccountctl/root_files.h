// Root's files that outlive one run of useraccountctl, in a directory of
// root's that nobody else may write: the saved commands (saved_file.h) and
// the queue's key for the package's removal (queue-key). Each is read only
// when it is a plain file of root's (file_trust.h), and replaced whole, never
// written in place. A failure is reported "PATH: WHY; WHAT_THEN" (report()),
// where the caller says what follows from it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ctl.h"
#include "saved_file.h"

inline constexpr char state_dir[] = "/var/lib/useraccountd";
inline constexpr char saved_commands_name[] = "saved-commands";
inline constexpr char saved_commands_path[] = "/var/lib/useraccountd/saved-commands";
inline constexpr char queue_key_name[] = "queue-key";

// The kernel's id of this boot; nothing when it cannot be read (reported).
std::optional<std::string> current_boot_id(const char* what_then);

// The content of name in the state directory; nothing when it or the
// directory is missing (content empty, status 0) or refused (reported, status
// exit_failure).
int read_root_file(const char* name, std::optional<std::string>& content, const char* what_then);

// Replaces name in the state directory, made (mode 0700) when missing, with
// content: a new file (mode 0600) is written, synced and renamed over the old
// one, then the directory is synced. Refuses to replace anything but what
// read_root_file would read; the old file then stays as it was.
int write_root_file(const char* name, std::string_view content, const char* what_then);

// Removes name from the state directory, and syncs the directory.
int remove_root_file(const char* name, const char* what_then);

// The saved-commands file (saved_file.h) in the state directory: its
// commands, nothing when it is missing; one that is refused or damaged is
// reported, with status exit_failure, and left as it is.
int read_saved(std::optional<saved_commands>& saved, const char* what_then);
inline int write_saved(const saved_commands& saved, const char* what_then) {
    return write_root_file(saved_commands_name, encode_saved(saved), what_then);
}
inline int remove_saved(const char* what_then) {
    return remove_root_file(saved_commands_name, what_then);
}

// The time of a save as saved_at holds it, seconds and nanoseconds; and the
// local time it stands for.
std::string save_stamp();
std::string saved_time(const saved_commands& saved);
