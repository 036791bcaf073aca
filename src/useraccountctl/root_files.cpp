#include "root_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bounded_number.h"
#include "file_trust.h"

namespace {

// Reports the error errno holds about name in the state directory.
int refused(const std::string& name, const char* what_then) {
    const char* text = errno == ELOOP ? "a symbolic link" : strerror(errno);
    report(LOG_ERR, "%s%s%s: %s; %s", state_dir, name.empty() ? "" : "/", name.c_str(), text,
           what_then);
    return exit_failure;
}

bool write_all(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t n = write(fd, content.data(), content.size());
        if (n == -1 && errno != EINTR) {
            return false;
        }
        content.remove_prefix(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    return true;
}

// The state directory, made (mode 0700) when it is missing and create is
// set. An empty holder when it is missing (errno ENOENT, not reported) or
// cannot be used (reported).
unique_fd open_state_dir(bool create, const char* what_then) {
    if (create && mkdir(state_dir, 0700) == -1 && errno != EEXIST) {
        refused("", what_then);
        return unique_fd();
    }
    unique_fd dir(open_checked(AT_FDCWD, state_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0,
                               file_use::own_directory));
    // Only root's: as root, "this user" is root.
    if (!dir && errno != ENOENT) {
        refused("", what_then);
    }
    return dir;
}

}  // namespace

std::optional<std::string> current_boot_id(const char* what_then) {
    const char* path = "/proc/sys/kernel/random/boot_id";
    char text[64] = {};
    const unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    const ssize_t n = fd ? read(fd.get(), text, sizeof text - 1) : -1;
    std::string id(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!id.empty() && id.back() == '\n') {
        id.pop_back();
    }
    if (id.empty() || id.find_first_of(" \n") != std::string::npos) {
        report(LOG_ERR, "%s: %s; %s", path, n == -1 ? strerror(errno) : "no boot id in it",
               what_then);
        return std::nullopt;
    }
    return id;
}

int read_root_file(const char* name, std::optional<std::string>& content, const char* what_then) {
    content.reset();
    const unique_fd dir = open_state_dir(false, what_then);
    if (!dir) {
        return errno == ENOENT ? 0 : exit_failure;
    }
    const unique_fd fd(
        open_checked(dir.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, file_use::own_file));
    if (!fd) {
        return errno == ENOENT ? 0 : refused(name, what_then);
    }
    std::string data;
    char buffer[65536];
    for (ssize_t n; (n = read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (n == -1 && errno != EINTR) {
            return refused(name, what_then);
        }
        data.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    content = std::move(data);
    return 0;
}

int write_root_file(const char* name, std::string_view content, const char* what_then) {
    const unique_fd dir_fd = open_state_dir(true, what_then);
    if (!dir_fd) {
        return exit_failure;
    }
    const int dir = dir_fd.get();
    // Only what a read would take is replaced: never a link someone planted.
    if (const unique_fd old(
            open_checked(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0, file_use::own_file));
        !old && errno != ENOENT) {
        return refused(name, what_then);
    }
    // A file left by a write that died is never written through: it goes,
    // and the new one is made afresh.
    const std::string temporary = std::string(name) + ".new";
    if (unlinkat(dir, temporary.c_str(), 0) == -1 && errno != ENOENT) {
        return refused(temporary, what_then);
    }
    const int fd =
        openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool done = fd != -1 && fchmod(fd, 0600) == 0 && write_all(fd, content) && fsync(fd) == 0;
    done = (fd == -1 || close(fd) == 0) && done;
    done = done && renameat(dir, temporary.c_str(), dir, name) == 0;
    if (!done) {
        const int error = errno;
        unlinkat(dir, temporary.c_str(), 0);
        errno = error;
        return refused(temporary, what_then);
    }
    return fsync(dir) == 0 ? 0 : refused("", what_then);
}

int remove_root_file(const char* name, const char* what_then) {
    const unique_fd dir = open_state_dir(false, what_then);
    if (!dir) {
        return errno == ENOENT ? 0 : exit_failure;
    }
    if (unlinkat(dir.get(), name, 0) == -1 && errno != ENOENT) {
        return refused(name, what_then);
    }
    return fsync(dir.get()) == 0 ? 0 : refused("", what_then);
}

int read_saved(std::optional<saved_commands>& saved, const char* what_then) {
    saved.reset();
    std::optional<std::string> data;
    if (read_root_file(saved_commands_name, data, what_then) != 0) {
        return exit_failure;
    }
    std::string problem;
    if (data && !(saved = decode_saved(*data, &problem))) {
        report(LOG_ERR, "%s: %s; %s", saved_commands_path, problem.c_str(), what_then);
        return exit_failure;
    }
    return 0;
}

std::string save_stamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char text[48];
    snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(now.tv_sec), now.tv_nsec);
    return text;
}

std::string saved_time(const saved_commands& saved) {
    const std::string_view text = saved.saved_at;
    const auto seconds = parse_number<time_t>(text.substr(0, text.find('.')), 1, INT64_MAX);
    return seconds ? local_time(*seconds) : saved.saved_at;
}
