// Whether useraccountd or useraccountctl, perhaps run as root, may use a file
// it has opened: never one that another user could have planted, nor one
// they could change behind its back. Checked on the open descriptor, so
// nothing can be swapped in between the check and the use. "This user" is
// the effective user; as root, root.
#pragma once

#include <sys/stat.h>

enum class file_use {
    // A regular file to read, whoever's: a FIFO or a device in its place
    // would hang the reader.
    readable,
    // A regular file of root's or this user's, with one link (no second name
    // of another file), that nobody else may write.
    own_file,
    // As own_file, or a file that is not regular (a device such as
    // /dev/full, a FIFO) of root's or this user's, which serves as it is.
    own_stream,
    // A directory of root's or this user's that nobody else may write unless
    // it is sticky: whoever may change its entries may put a file of theirs
    // in place of the next one looked up.
    own_directory,
};

// 0 when the file may serve for the use; else the error that refuses it:
// EISDIR or EINVAL for a file that is not regular, ENOTDIR for one that is
// no directory, EPERM for an owner, a mode or links that others control.
int trust_refusal(const struct stat& st, file_use use);

// openat(dir, name, flags | O_CLOEXEC, mode), then the file checked for use:
// the descriptor, with *st filled in when given, or -1 with errno (the
// refusal, or what the open left: ELOOP for a symbolic link with
// O_NOFOLLOW). O_NONBLOCK in flags keeps a FIFO from hanging the open.
int open_checked(int dir, const char* name, int flags, mode_t mode, file_use use,
                 struct stat* st = nullptr);
