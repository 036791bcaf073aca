#include "state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string error_of(const std::string& what) {
    return what + ": " + strerror(errno);
}

// What makes a file or directory root's alone; "" when it is.
std::string untrusted(const struct stat& st, bool directory) {
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        return directory ? "not a directory" : "not a regular file";
    }
    if (st.st_uid != 0) {
        return "owned by uid " + std::to_string(st.st_uid) + ", not root";
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "writable by group or others";
    }
    if (!directory && st.st_nlink != 1) {
        return "has more than one link";
    }
    return "";
}

bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t n = write(fd, content.data(), content.size());
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string current_boot_id(std::string& problem) {
    const char* path = "/proc/sys/kernel/random/boot_id";
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    char text[64] = {};
    const ssize_t n = fd == -1 ? -1 : read(fd, text, sizeof text - 1);
    if (n == -1) {
        problem = error_of(path);
    }
    if (fd != -1) {
        close(fd);
    }
    std::string id(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!id.empty() && id.back() == '\n') {
        id.pop_back();
    }
    if (n != -1 && (id.empty() || id.find_first_of(" \n") != std::string::npos)) {
        problem = std::string(path) + ": no boot id in it";
        id.clear();
    }
    return id;
}

int open_root_dir(const char* path, bool create, std::string& problem) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1 && errno == ENOENT && create && mkdir(path, 0700) == 0) {
        fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd == -1) {
        problem = error_of(path);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) == -1) {
        problem = error_of(path);
        close(fd);
        return -1;
    }
    const std::string why = untrusted(st, true);
    if (!why.empty()) {
        problem = std::string(path) + ": " + why;
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

file_state read_root_file(int dir, const char* name, std::string& content, std::string& problem) {
    // O_NONBLOCK: a FIFO in the file's place cannot hang the open.
    const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        if (errno == ENOENT) {
            return file_state::missing;
        }
        problem = errno == ELOOP ? "a symbolic link" : error_of("open");
        return file_state::refused;
    }
    struct stat st {};
    if (fstat(fd, &st) == -1) {
        problem = error_of("fstat");
        close(fd);
        return file_state::refused;
    }
    problem = untrusted(st, false);
    if (!problem.empty()) {
        close(fd);
        return file_state::refused;
    }
    content.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            problem = error_of("read");
            close(fd);
            return file_state::refused;
        }
        content.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return file_state::read;
}

bool write_root_file(int dir, const char* name, std::string_view content, std::string& problem) {
    struct stat old {};
    if (fstatat(dir, name, &old, AT_SYMLINK_NOFOLLOW) == 0) {
        const std::string why = S_ISLNK(old.st_mode) ? "a symbolic link" : untrusted(old, false);
        if (!why.empty()) {
            problem = "refused to replace " + std::string(name) + ": " + why;
            return false;
        }
    } else if (errno != ENOENT) {
        problem = error_of("fstatat");
        return false;
    }
    // A file left by a save that died is never written through: it goes,
    // and the new one is made afresh.
    const std::string temporary = std::string(name) + ".new";
    if (unlinkat(dir, temporary.c_str(), 0) == -1 && errno != ENOENT) {
        problem = error_of("unlink " + temporary);
        return false;
    }
    const int fd =
        openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1) {
        problem = error_of("open " + temporary);
        return false;
    }
    const char* failed_call = nullptr;
    if (fchmod(fd, 0600) == -1) {
        failed_call = "fchmod";
    } else if (!write_all(fd, content)) {
        failed_call = "write";
    } else if (fsync(fd) == -1) {
        failed_call = "fsync";
    }
    if (close(fd) == -1 && failed_call == nullptr) {
        failed_call = "close";
    }
    if (failed_call == nullptr && renameat(dir, temporary.c_str(), dir, name) == -1) {
        failed_call = "rename";
    }
    if (failed_call != nullptr) {
        problem = error_of(std::string(failed_call) + " " + temporary);
        unlinkat(dir, temporary.c_str(), 0);
        return false;
    }
    if (fsync(dir) == -1) {
        problem = error_of("fsync of the directory");
        return false;
    }
    return true;
}

bool remove_root_file(int dir, const char* name, std::string& problem) {
    if (unlinkat(dir, name, 0) == -1 && errno != ENOENT) {
        problem = error_of(std::string("unlink ") + name);
        return false;
    }
    if (fsync(dir) == -1) {
        problem = error_of("fsync of the directory");
        return false;
    }
    return true;
}
