// Files that the daemon writes by a name given on its command line (the log
// file, the PID file, the outcome record). Run as root, it must not be led by
// a path that another user controls to a file of theirs or of the system.
#pragma once

#include <sys/types.h>

#include <cstdio>

#include "file_trust.h"

// Opens name like open(2) with O_NOFOLLOW, once every component from "/" has
// been walked (a relative name from the working directory's absolute path):
// each directory on the way must belong to root or the effective user and,
// unless it is sticky, be writable by nobody else; a symlink on the way must
// belong to root or the effective user, and its target is walked the same
// way. Returns the descriptor, or -1 with errno set: EPERM for a directory or
// symlink on the way that someone else controls, ELOOP for a symlink as the
// last component or too many symlinks, else what the failing call left. The
// file itself is then checked for use (file_trust.h).
int open_trusted_file(const char* name, int flags, mode_t mode, file_use use);

// The directory name, walked and checked the same way through its last
// component too (a symlink there is followed like the others): an O_PATH
// descriptor, or -1 with errno.
int open_trusted_directory(const char* name);

// The stream of fd, or nullptr with fd closed and fdopen's errno; also
// nullptr, errno kept, for fd -1.
FILE* stream_of(int fd, const char* mode);
