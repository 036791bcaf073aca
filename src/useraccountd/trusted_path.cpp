#include "trusted_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

// As the kernel allows in one path.
constexpr int max_symlinks = 40;

// Whoever may change a directory's entries may put a link or a directory of
// their own in place of the next component. In a sticky directory others may
// add entries but not replace those they do not own, and what is walked into
// next is checked in turn.
bool trusted_directory(const struct stat& st) {
    return trust_refusal(st, file_use::own_directory) == 0;
}

// The components of a path, pushed so that the first one is at the back.
void push_components(std::string_view path, std::vector<std::string>& pending) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < path.size();) {
        std::size_t end = path.find('/', at);
        end = end == std::string_view::npos ? path.size() : end;
        const std::string_view part = path.substr(at, end - at);
        if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        at = end + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

// The link's target; 0 or an error number.
int read_link(int fd, std::string& target) {
    target.assign(PATH_MAX, '\0');
    const ssize_t length = readlinkat(fd, "", target.data(), target.size());
    if (length == -1) {
        return errno;
    }
    if (length == 0 || static_cast<std::size_t>(length) >= target.size()) {
        return length == 0 ? ENOENT : ENAMETOOLONG;
    }
    target.resize(static_cast<std::size_t>(length));
    return 0;
}

// Whether the walk may go on through what fd, just opened, is: 0, or an
// error number. A symlink's target is read into target.
int check_step(int fd, const struct stat& st, int& symlinks, std::string& target) {
    if (S_ISDIR(st.st_mode)) {
        return trusted_directory(st) ? 0 : EPERM;
    }
    if (!S_ISLNK(st.st_mode)) {
        return ENOTDIR;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        return EPERM;
    }
    if (++symlinks > max_symlinks) {
        return ELOOP;
    }
    return read_link(fd, target);
}

// The root directory, itself checked; -1 with errno when it fails.
int open_root() {
    const int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    int error = fd == -1 || fstat(fd, &st) == -1 ? errno : 0;
    if (error == 0 && !trusted_directory(st)) {
        error = EPERM;
    }
    if (error == 0) {
        return fd;
    }
    if (fd != -1) {
        close(fd);
    }
    errno = error;
    return -1;
}

// One component down from dir, which it closes: the directory reached (for a
// symlink, the one its target goes on from, with the target's components
// pushed), or -1 with errno.
int walk_into(int dir, const std::string& part, std::vector<std::string>& pending, int& symlinks) {
    const int next = openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    int error = next == -1 || fstat(next, &st) == -1 ? errno : 0;
    std::string target;
    if (error == 0) {
        error = check_step(next, st, symlinks, target);
    }
    if (error == 0 && S_ISDIR(st.st_mode)) {
        close(dir);
        return next;
    }
    if (next != -1) {
        close(next);
    }
    if (error == 0) {
        push_components(target, pending);
        if (target[0] != '/') {
            return dir;
        }
        close(dir);
        return open_root();
    }
    close(dir);
    errno = error;
    return -1;
}

// Walks name from "/" up to its last component, or through it too with
// through_last; returns the directory reached, with what is left of the
// path in pending (the last component, or nothing), or -1 with errno.
int walk_path(const char* name, std::vector<std::string>& pending, bool through_last) {
    std::string path = name;
    if (path.empty()) {
        errno = ENOENT;
        return -1;
    }
    if (path[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) {
            return -1;
        }
        path = std::string(cwd) + "/" + path;
        free(cwd);
    }
    push_components(path, pending);
    if (pending.empty() && !through_last) {  // "/" itself
        pending.emplace_back(".");
    }

    // Each step starts from a directory already checked and held open, so
    // nothing can be swapped in behind the walk.
    int dir = open_root();
    int symlinks = 0;
    const std::size_t left = through_last ? 0 : 1;
    while (dir != -1 && pending.size() > left) {
        const std::string part = pending.back();
        pending.pop_back();
        dir = walk_into(dir, part, pending, symlinks);
    }
    return dir;
}

}  // namespace

int open_trusted_file(const char* name, int flags, mode_t mode, file_use use) {
    std::vector<std::string> pending;
    const int dir = walk_path(name, pending, false);
    if (dir == -1) {
        return -1;
    }
    const int fd = open_checked(dir, pending.back().c_str(), flags | O_NOFOLLOW, mode, use);
    const int error = errno;
    close(dir);
    errno = error;
    return fd;
}

int open_trusted_directory(const char* name) {
    std::vector<std::string> pending;
    return walk_path(name, pending, true);
}

FILE* stream_of(int fd, const char* mode) {
    FILE* stream = fd == -1 ? nullptr : fdopen(fd, mode);
    if (stream == nullptr && fd != -1) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return stream;
}
