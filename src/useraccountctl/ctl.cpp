#include "ctl.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

[[gnu::format(printf, 2, 0)]] void print_message(const char* who, const char* format,
                                                 va_list args) {
    fprintf(stderr, "%s: ", who);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

// Columns: key, id, permissions, bytes, messages, two pids, owner uid and
// gid, creator uid and gid, then times. A row that does not read so is none.
std::optional<queue_row> parse_queue_row(std::string_view line) {
    std::array<std::string_view, 10> column;
    std::size_t count = 0;
    for (std::size_t at = 0; count < column.size();) {
        at = line.find_first_not_of(" \t\n", at);
        if (at == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \t\n", at), line.size());
        column.at(count++) = line.substr(at, end - at);
        at = end;
    }
    queue_row row;
    if (count < column.size() || !whole_number(column[1], row.id) ||
        !whole_number(column[7], row.owner) || !whole_number(column[9], row.creator)) {
        return std::nullopt;
    }
    return row;
}

}  // namespace

int failed(const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_message(program_name, format, args);
    va_end(args);
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

bool parse_positive(const char* text, long* value) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed <= 0) {
        return false;
    }
    *value = parsed;
    return true;
}

// A name first, as chown reads it; else a whole decimal id.
bool parse_id(const char* text, bool is_user, unsigned* id) {
    if (is_user) {
        if (const passwd* entry = getpwnam(text)) {
            *id = entry->pw_uid;
            return true;
        }
    } else if (const group* entry = getgrnam(text)) {
        *id = entry->gr_gid;
        return true;
    }
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    // (uid_t) -1 means "unchanged" to the kernel, never a user.
    if (errno != 0 || *end != '\0' || value >= 0xffffffffUL) {
        return false;
    }
    *id = static_cast<unsigned>(value);
    return true;
}

bool parse_mode(const char* text, unsigned* mode) {
    if (*text < '0' || *text > '7') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 8);
    if (errno != 0 || *end != '\0' || value > 0777) {
        return false;
    }
    *mode = static_cast<unsigned>(value);
    return true;
}

std::string user_name(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    std::string text = std::to_string(uid);
    if (entry != nullptr) {
        text += " (" + std::string(entry->pw_name) + ")";
    }
    return text;
}

std::string group_name(gid_t gid) {
    const group* entry = getgrgid(gid);
    std::string text = std::to_string(gid);
    if (entry != nullptr) {
        text += " (" + std::string(entry->gr_name) + ")";
    }
    return text;
}

bool read_queue_table(std::vector<queue_row>& rows) {
    FILE* table = fopen("/proc/sysvipc/msg", "re");
    if (table == nullptr) {
        return false;
    }
    char* line = nullptr;
    std::size_t size = 0;
    bool first = true;  // the column names
    while (getline(&line, &size, table) != -1) {
        if (const auto row = parse_queue_row(line); row && !first) {
            rows.push_back(*row);
        }
        first = false;
    }
    const bool read = ferror(table) == 0;
    const int error = errno;
    free(line);
    fclose(table);
    errno = error;
    return read;
}

pid_t lock_holder(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lock) == -1) {
        return -1;
    }
    return lock.l_type == F_UNLCK ? 0 : lock.l_pid;
}
