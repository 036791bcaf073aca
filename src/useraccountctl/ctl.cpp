#include "ctl.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "bounded_number.h"

namespace {

[[gnu::format(printf, 2, 0)]] void print_message(const char* who, const char* format,
                                                 va_list args) {
    fprintf(stderr, "%s: ", who);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

// Under systemd, standard output may be the journal itself (JOURNAL_STREAM
// names its device and inode): a line there and in the system log would
// show twice.
bool stdout_is_journal() {
    const char* stream = getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || fstat(STDOUT_FILENO, &st) == -1) {
        return false;
    }
    return std::string_view(stream) == std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// Appended piece by piece, as GCC 12 at -O2 may take "literal" +
// std::string&& for an overlapping copy (-Wrestrict).
std::string with_name(unsigned id, const char* name) {
    std::string text = std::to_string(id);
    return name != nullptr ? text.append(" (").append(name).append(")") : text;
}

}  // namespace

// The messages keep errno: a caller may still look at why a call failed.
int failed(const char* format, ...) {
    const int error = errno;
    va_list args;
    va_start(args, format);
    print_message(program_name, format, args);
    va_end(args);
    errno = error;
    return exit_failure;
}

int call_failed(const char* call, const char* note) {
    const char* error_text = strerror(errno);
    if (note != nullptr) {
        return failed("%s: %s (%s)", call, error_text, note);
    }
    return failed("%s: %s", call, error_text);
}

int usage_hint(const char* command) {
    fprintf(stderr, "Try '%s --help'.\n", command);
    return exit_usage;
}

int usage_error(const char* command, const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_message(command, format, args);
    va_end(args);
    return usage_hint(command);
}

void report(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list log_args;
    va_copy(log_args, args);
    if (!stdout_is_journal()) {
        vprintf(format, args);
        putchar('\n');
        fflush(stdout);
    }
    vsyslog(priority, format, log_args);
    va_end(log_args);
    va_end(args);
}

std::optional<unsigned> parse_id(const char* text, bool is_user) {
    if (is_user) {
        if (const passwd* entry = getpwnam(text)) {
            return entry->pw_uid;
        }
    } else if (const group* entry = getgrnam(text)) {
        return entry->gr_gid;
    }
    // (uid_t) -1 means "unchanged" to the kernel, never a user.
    return parse_number(text, 0U, 0xfffffffeU);
}

std::string local_time(time_t when) {
    char text[64];
    struct tm local {};
    if (when == 0) {
        return "never";
    }
    if (localtime_r(&when, &local) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0) {
        return std::to_string(when);
    }
    return text;
}

std::string user_name(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return with_name(uid, entry != nullptr ? entry->pw_name : nullptr);
}

std::string group_name(gid_t gid) {
    const group* entry = getgrgid(gid);
    return with_name(gid, entry != nullptr ? entry->gr_name : nullptr);
}

pid_t lock_holder(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lock) == -1) {
        return -1;
    }
    // A read lock, which anyone who may read the file can take, is no
    // daemon's: it locks its file for writing.
    return lock.l_type == F_WRLCK ? lock.l_pid : 0;
}
