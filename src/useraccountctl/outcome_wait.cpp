#include "outcome_wait.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "ctl.h"
#include "outcome_line.h"
#include "text_escape.h"

namespace {

using std::chrono::steady_clock;

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A line with another number of fields is none of the daemon's.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
        if (tab == std::string_view::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

int status_of(std::string_view word) {
    const std::optional<outcome> what = outcome_named(word);
    if (!what) {
        return exit_failure;
    }
    switch (*what) {
        case outcome::succeeded:
        case outcome::ignored:
            return 0;
        case outcome::failed:
        case outcome::signal:
        case outcome::error:
            return exit_command_failed;
        case outcome::refused:
        case outcome::oversized:
            return exit_command_refused;
        case outcome::unknown:
            return exit_outcome_unknown;
    }
    return exit_failure;
}

void close_file(int& fd) {
    if (fd != -1) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

outcome_follower::~outcome_follower() {
    close_file(current_.fd);
    close_file(previous_.fd);
}

bool outcome_follower::open_current() {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) {
        return false;
    }
    struct stat st {};
    int error = fstat(fd, &st) == -1 ? errno : 0;
    if (error == 0 && !S_ISREG(st.st_mode)) {
        error = EINVAL;
    }
    if (error != 0) {
        close(fd);
        errno = error;
        return false;
    }
    close_file(previous_.fd);
    previous_ = std::move(current_);
    current_.fd = fd;
    current_.dev = st.st_dev;
    current_.ino = st.st_ino;
    current_.offset = 0;
    current_.partial.clear();
    return true;
}

int outcome_follower::mark_end() {
    if (!open_current()) {
        struct stat dir {};
        if (errno == ENOENT && stat(directory_of(path_).c_str(), &dir) == 0 &&
            S_ISDIR(dir.st_mode)) {
            return 0;  // the daemon makes the file with its first line
        }
        failed("outcome record %s: %s; nothing sent", path_.c_str(), strerror(errno));
        return exit_record_unreadable;
    }
    struct stat st {};
    fstat(current_.fd, &st);
    current_.offset = st.st_size;
    return 0;
}

// Takes the lines that have ended since the last look; true once one is the
// command's.
bool outcome_follower::find_line(record_file& file, long type, const std::string& escaped,
                                 std::string& found) {
    struct stat st {};
    if (fstat(file.fd, &st) == 0 && st.st_size < file.offset) {
        // Cut to nothing in place (copytruncate): what comes is new.
        file.offset = 0;
        file.partial.clear();
    }
    const std::string type_text = std::to_string(type);
    char buffer[65536];
    ssize_t n = 0;
    while ((n = pread(file.fd, buffer, sizeof buffer, file.offset)) > 0) {
        file.offset += n;
        file.partial.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end = 0; (end = file.partial.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::string_view line(file.partial.data() + start, end - start);
            const auto fields = fields_of(line);
            if (fields.size() == outcome_line_fields && fields[1] == type_text &&
                fields[4] == escaped) {
                found = line;
                return true;
            }
        }
        file.partial.erase(0, start);
    }
    return false;
}

int outcome_follower::wait_for(long type, std::string_view text, long timeout) {
    const std::string escaped = escape_text(text, escape_style::field);
    const auto deadline = steady_clock::now() + std::chrono::seconds(timeout);
    // A change in the record's directory ends each wait at once; should
    // inotify be out of reach, a look every 200 ms serves.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch != -1 &&
        inotify_add_watch(watch, directory_of(path_).c_str(),
                          IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE) == -1) {
        close_file(watch);
    }
    std::string found;
    for (;;) {
        const bool seen = (previous_.fd != -1 && find_line(previous_, type, escaped, found)) ||
                          (current_.fd != -1 && find_line(current_, type, escaped, found));
        if (seen) {
            break;
        }
        // The name stands for another file: the record was rotated, or made.
        // The old one stays in reach for a line that lands in it meanwhile.
        struct stat st {};
        if (stat(path_.c_str(), &st) == 0 &&
            (current_.fd == -1 || st.st_dev != current_.dev || st.st_ino != current_.ino)) {
            if (open_current()) {
                continue;
            }
            if (errno != ENOENT) {
                close_file(watch);
                failed("outcome record %s: %s; the command was sent", path_.c_str(),
                       strerror(errno));
                return exit_record_unreadable;
            }
        }
        const auto left = deadline - steady_clock::now();
        if (timeout > 0 && left <= steady_clock::duration::zero()) {
            close_file(watch);
            failed("no outcome in %s within %ld s; the command was sent and may still run",
                   path_.c_str(), timeout);
            return exit_wait_timed_out;
        }
        std::chrono::milliseconds wait_time(watch != -1 ? 1000 : 200);
        if (timeout > 0) {
            wait_time = std::min(wait_time, std::chrono::ceil<std::chrono::milliseconds>(left));
        }
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, watch != -1 ? 1 : 0, static_cast<int>(wait_time.count())) > 0) {
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        }
    }
    close_file(watch);
    printf("%s\n", found.c_str());
    const auto fields = fields_of(found);
    return status_of(fields[2]);
}
