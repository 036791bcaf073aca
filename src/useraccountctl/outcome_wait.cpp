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

#include "ctl.h"
#include "file_trust.h"
#include "outcome_line.h"
#include "text_escape.h"

namespace {

using std::chrono::steady_clock;

bool same_file(const outcome_follower::record_file& file, const struct stat& st) {
    return file.dev == st.st_dev && file.ino == st.st_ino;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int status_of(std::string_view word) {
    const std::optional<outcome> what = outcome_named(word);
    if (!what) {
        return exit_failure;  // a newer daemon's word, which this version cannot tell
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

// Takes the lines that have ended since the last look; true once one is the
// command's. A line whose newline has not come yet is read again at the next
// look, from its start: the daemon takes back a line it could not write
// whole, and writes the next in its place. Nothing else cuts the record:
// rotation renames it.
bool find_line(outcome_follower::record_file& file, long type, std::string_view escaped,
               std::string& found) {
    std::string data;
    char buffer[65536];
    for (ssize_t n; (n = pread(file.fd, buffer, sizeof buffer,
                               file.offset + static_cast<off_t>(data.size()))) > 0;) {
        data.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t start = 0;
    for (std::size_t end = 0; (end = data.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string_view line(data.data() + start, end - start);
        const auto fields = decode_outcome_line(line);
        if (fields && fields->type == type && fields->text == escaped) {
            found = line;
            return true;
        }
    }
    file.offset += static_cast<off_t>(start);
    return false;
}

}  // namespace

outcome_follower::~outcome_follower() {
    for (const record_file& file : files_) {
        close(file.fd);
    }
}

bool outcome_follower::known(const struct stat& st) const {
    return std::any_of(files_.begin(), files_.end(),
                       [&st](const record_file& f) { return same_file(f, st); });
}

// The file at path, followed from now on: from its end before the send,
// from its start after it. Each file stays open while followed, so that no
// later file can take its inode and pass for it. 0, or -1 with errno.
int outcome_follower::open_file(const std::string& path, bool from_end) {
    struct stat st {};
    const int fd = open_checked(AT_FDCWD, path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, 0,
                                file_use::readable, &st);
    if (fd == -1) {
        return -1;
    }
    if (known(st)) {
        close(fd);
        return 0;
    }
    files_.push_back({fd, st.st_dev, st.st_ino, from_end ? st.st_size : 0});
    return 0;
}

// Follows the files that stand at the record's names now: one new at FILE.1
// passed the name between two looks, and holds lines after the mark as one
// new at the name does. A file gets no line once it has left the name; read
// once more after that, it is let go when it no longer stands at FILE.1
// either. 1 when a file was opened, 0 when none, -1 with errno.
int outcome_follower::follow_names() {
    struct stat rotated {};
    struct stat named {};
    // FILE.1 first: a file moves from the name to it, never back.
    const bool has_rotated = stat(rotated_.c_str(), &rotated) == 0;
    const bool has_named = stat(path_.c_str(), &named) == 0;
    std::erase_if(files_, [&](const record_file& f) {
        const bool done = f.complete && !(has_rotated && same_file(f, rotated));
        if (done) {
            close(f.fd);
        }
        return done;
    });
    for (record_file& f : files_) {
        f.complete = f.complete || !(has_named && same_file(f, named));
    }
    const std::size_t before = files_.size();
    if ((has_rotated && !known(rotated) && open_file(rotated_, false) == -1 && errno != ENOENT) ||
        (has_named && !known(named) && open_file(path_, false) == -1 && errno != ENOENT)) {
        return -1;
    }
    return files_.size() > before ? 1 : 0;
}

int outcome_follower::mark_end() {
    // The name first: a file that moves from it to FILE.1 meanwhile is then
    // known there.
    const auto open_from_end = [this](const std::string& path) {
        if (open_file(path, true) == -1 && errno != ENOENT) {
            failed("outcome record %s: %s; nothing sent", path.c_str(), strerror(errno));
            return false;
        }
        return true;
    };
    if (!open_from_end(path_) || !open_from_end(rotated_)) {
        return exit_record_unreadable;
    }
    struct stat dir {};
    if (!files_.empty() || (stat(directory_of(path_).c_str(), &dir) == 0 && S_ISDIR(dir.st_mode))) {
        return 0;  // a record not made yet: the daemon makes it with its first line
    }
    const int error = dir.st_mode == 0 ? errno : ENOTDIR;
    failed("outcome record %s: %s; nothing sent", path_.c_str(), strerror(error));
    return exit_record_unreadable;
}

int outcome_follower::wait_for(long type, std::string_view text, long timeout) {
    const std::string escaped = escape_text(text, escape_style::field);
    const auto deadline = steady_clock::now() + std::chrono::seconds(timeout);
    // A change in the record's directory ends each wait at once; should
    // inotify be out of reach, a look every 200 ms serves.
    const unique_fd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const bool watching = watch && inotify_add_watch(watch.get(), directory_of(path_).c_str(),
                                                     IN_MODIFY | IN_CREATE | IN_MOVED_TO |
                                                         IN_MOVED_FROM | IN_DELETE) != -1;
    std::string found;
    for (;;) {
        const bool seen = std::any_of(files_.begin(), files_.end(), [&](record_file& file) {
            return find_line(file, type, escaped, found);
        });
        if (seen) {
            break;
        }
        // The names stand for other files: the record was rotated, or made.
        const int opened = follow_names();
        if (opened == 1) {
            continue;
        }
        if (opened == -1) {
            failed("outcome record %s: %s; the command was sent", path_.c_str(), strerror(errno));
            return exit_record_unreadable;
        }
        const auto left = deadline - steady_clock::now();
        if (timeout > 0 && left <= steady_clock::duration::zero()) {
            failed("no outcome in %s within %ld s; the command was sent and may still run",
                   path_.c_str(), timeout);
            return exit_wait_timed_out;
        }
        std::chrono::milliseconds wait_time(watching ? 1000 : 200);
        if (timeout > 0) {
            wait_time = std::min(wait_time, std::chrono::ceil<std::chrono::milliseconds>(left));
        }
        pollfd p{watch.get(), POLLIN, 0};
        if (poll(&p, watching ? 1 : 0, static_cast<int>(wait_time.count())) > 0) {
            char events[4096];
            while (read(watch.get(), events, sizeof events) > 0) {
            }
        }
    }
    printf("%s\n", found.c_str());
    return status_of(decode_outcome_line(found)->outcome_word);
}
