#include "file_trust.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int trust_refusal(const struct stat& st, file_use use) {
    const bool regular = S_ISREG(st.st_mode);
    const bool directory = S_ISDIR(st.st_mode);
    if (use == file_use::own_directory) {
        if (!directory) {
            return ENOTDIR;
        }
    } else if (!regular && use != file_use::own_stream) {
        return directory ? EISDIR : EINVAL;
    }
    if (use == file_use::readable) {
        return 0;
    }
    const bool own = st.st_uid == 0 || st.st_uid == geteuid();
    const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!own || (directory && others_write && (st.st_mode & S_ISVTX) == 0) ||
        (regular && (others_write || st.st_nlink != 1))) {
        return EPERM;
    }
    return 0;
}

int open_checked(int dir, const char* name, int flags, mode_t mode, file_use use, struct stat* st) {
    const int fd = openat(dir, name, flags | O_CLOEXEC, mode);
    if (fd == -1) {
        return -1;
    }
    struct stat own {};
    struct stat& seen = st != nullptr ? *st : own;
    const int refusal = fstat(fd, &seen) == -1 ? errno : trust_refusal(seen, use);
    if (refusal != 0) {
        close(fd);
        errno = refusal;
        return -1;
    }
    return fd;
}
