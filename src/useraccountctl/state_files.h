// Files of root's that outlive one run of useraccountctl: the commands saved
// at a stop, which survive a reboot, and the record of a private queue that
// holds messages, which goes with the reboot as that queue does. Each lives
// in a directory of root's that nobody else may write, is read only when it
// is a plain file of root's, and is replaced whole, never written in place.
#pragma once

#include <string>
#include <string_view>

inline constexpr char state_dir[] = "/var/lib/useraccountd";
inline constexpr char saved_commands_name[] = "saved-commands";
inline constexpr char saved_commands_path[] = "/var/lib/useraccountd/saved-commands";
inline constexpr char held_record_dir[] = "/run";
inline constexpr char held_record_name[] = "useraccountd-held-queue";

// The kernel's id of this boot; "" with problem set when it cannot be read.
std::string current_boot_id(std::string& problem);

// Opens a directory that belongs to root and that nobody else may write,
// making it (mode 0700) when it is missing and create is set. -1 with errno
// and problem set (ENOENT: missing).
int open_root_dir(const char* path, bool create, std::string& problem);

enum class file_state { read, missing, refused };

// The content of name in dir, when it is a regular file of root's with one
// link that nobody else may write; refused, with problem set, for anything
// else (a symlink, another owner, a FIFO, a file others may write).
file_state read_root_file(int dir, const char* name, std::string& content, std::string& problem);

// Replaces name in dir with content: a new file (mode 0600) is written,
// synced and renamed over the old one, then the directory is synced. Refuses
// to replace anything but what read_root_file would read. false with problem
// set; the old file then stays as it was.
bool write_root_file(int dir, const char* name, std::string_view content, std::string& problem);

// Removes name from dir, and syncs the directory; true when it is gone.
bool remove_root_file(int dir, const char* name, std::string& problem);
