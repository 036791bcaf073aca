#include "outcome_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "command_queue.h"
#include "daemon.h"
#include "file_trust.h"
#include "trusted_path.h"

namespace {

constexpr std::size_t line_room = outcome_line_room(max_text_size);

// The note of a running command: its escaped text and a newline.
constexpr std::size_t note_room = escaped_size_max(max_text_size) + 1;

// The error, if any, of writing the note of the command now running: told
// together with its line, in one entry.
int note_error = 0;

// Where the record lives. -r is read once, at start.
struct record_place {
    std::string dir;
    std::string file;     // the record's name in dir
    std::string rotated;  // the older generation, FILE.1
    // Beside it, the note of the command that runs: its text while it runs,
    // empty otherwise.
    std::string note;
    // The directory as last walked from "/" and found trusted.
    bool walked = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

record_place& place() {
    static record_place p = [] {
        record_place made;
        const std::string& name = *record_file_name;
        const std::size_t slash = name.rfind('/');
        made.dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
        made.file = slash == std::string::npos ? name : name.substr(slash + 1);
        made.rotated = made.file + ".1";
        made.note = made.file + ".running";
        return made;
    }();
    return p;
}

// Held while a command runs, from its note to its line, and closed then:
// between messages the daemon holds nothing open in the record's directory,
// which an administrator may unmount, move or remove.
int command_dir = -1;
int command_note = -1;

void close_held(int& fd) {
    if (fd != -1) {
        close(fd);
        fd = -1;
    }
}

// The record's directory, for the caller to close, checked at each open:
// the path is walked from "/" as for -l and -p the first time, and again
// whenever it leads elsewhere (the directory was replaced, or another file
// system mounted); a quick open by the path serves while it reaches the very
// directory that walk found, and that directory must still be one this
// daemon may trust. -1 with errno on failure.
int open_record_dir() {
    record_place& p = place();
    struct stat st {};
    int fd = open(p.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd != -1 &&
        (fstat(fd, &st) == -1 || !p.walked || st.st_dev != p.dev || st.st_ino != p.ino)) {
        close(fd);
        fd = open_trusted_directory(p.dir.c_str());
        p.walked = fd != -1 && fstat(fd, &st) == 0;
        p.dev = st.st_dev;
        p.ino = st.st_ino;
    }
    const int refusal = fd == -1    ? errno
                        : !p.walked ? EPERM
                                    : trust_refusal(st, file_use::own_directory);
    if (refusal != 0) {
        if (fd != -1) {
            close(fd);
        }
        errno = refusal;
        return -1;
    }
    return fd;
}

// As root the daemon must not be led to write a file of another's or of the
// system: a file in the directory is used only if it is its own.
int open_record_file(int dir, const std::string& name, int flags, struct stat* st) {
    return open_checked(dir, name.c_str(), flags | O_NOFOLLOW | O_NOCTTY, 0640, file_use::own_file,
                        st);
}

// The record, opened for one line of size bytes: renamed to FILE.1 first
// when the line would take it past the bound. *size_before is its size.
int open_for_line(int dir, std::size_t size, off_t* size_before) {
    const record_place& p = place();
    struct stat st {};
    int fd = open_record_file(dir, p.file, O_WRONLY | O_APPEND | O_CREAT, &st);
    if (fd != -1 && st.st_size > 0 &&
        static_cast<unsigned long long>(st.st_size) + size > record_limit) {
        close(fd);
        fd = renameat(dir, p.file.c_str(), dir, p.rotated.c_str()) == -1
                 ? -1
                 : open_record_file(dir, p.file, O_WRONLY | O_APPEND | O_CREAT, &st);
    }
    *size_before = st.st_size;
    return fd;
}

// Appends the whole line or nothing: a reader must never meet part of a line
// that the next one would continue. 0, or an error number.
int append_line(const char* line, std::size_t size) {
    const int dir = command_dir != -1 ? command_dir : open_record_dir();
    if (dir == -1) {
        return errno;
    }
    off_t size_before = 0;
    const int fd = open_for_line(dir, size, &size_before);
    int error = fd == -1 ? errno : 0;
    if (fd != -1) {
        const ssize_t written = write(fd, line, size);
        if (written != static_cast<ssize_t>(size)) {
            error = written == -1 ? errno : ENOSPC;
            if (written > 0) {
                (void)!ftruncate(fd, size_before);
            }
        }
        if (close(fd) == -1 && error == 0) {
            error = errno;
        }
    }
    if (dir != command_dir) {
        close(dir);
    }
    return error;
}

// The path of a file of the record, for an entry.
std::string path_of(const std::string& name) {
    const std::string& dir = place().dir;
    return dir == "/" ? "/" + name : dir + "/" + name;
}

void write_line(long type, outcome what, std::string_view detail, std::string_view text,
                bool escaped = false) {
    static char line[line_room];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char time[outcome_time_room];
    const std::size_t time_length = format_outcome_time(now, time);
    const std::size_t length = encode_outcome_line(line, std::string_view(time, time_length), type,
                                                   what, detail, text, escaped);
    const int line_error = append_line(line, length);
    const int error = line_error != 0 ? line_error : note_error;
    note_error = 0;
    if (error == 0) {
        return;
    }
    // The entry keeps what the line would have told.
    const auto told = decode_outcome_line(std::string_view(line, length - 1));
    const std::string_view told_detail = told ? told->detail : "";
    const std::string_view told_text = told ? told->text : "";
    syslog(LOG_ERR, "Can not write outcome record: %s, error: %s; type %ld, %s%s%.*s: %.*s",
           line_error != 0 ? record_file_name->c_str() : path_of(place().note).c_str(),
           strerror(error), type, outcome_name(what), told_detail.empty() ? "" : " ",
           static_cast<int>(told_detail.size()), told_detail.data(),
           static_cast<int>(told_text.size()), told_text.data());
}

}  // namespace

void record_unfinished_command() {
    if (!record_file_name) {
        return;
    }
    command_dir = open_record_dir();
    struct stat st {};
    command_note =
        command_dir == -1 ? -1 : open_record_file(command_dir, place().note, O_RDWR, &st);
    static char note[note_room];
    const ssize_t length = command_note == -1 ? -1 : pread(command_note, note, sizeof note, 0);
    if (length == -1 && errno != ENOENT) {
        syslog(LOG_ERR, "Can not read outcome record: %s, error: %s", path_of(place().note).c_str(),
               strerror(errno));
    }
    if (length > 0) {
        std::string_view text(note, static_cast<std::size_t>(length));
        if (text.ends_with('\n')) {
            text.remove_suffix(1);
        }
        // Written escaped by an earlier daemon; a note cut short or made by
        // another hand is told as it is, never as a second line.
        if (text.find_first_of("\t\n") != std::string_view::npos) {
            text = {};
        }
        write_line(1, outcome::unknown, "its daemon ended while it ran", text, true);
        (void)!ftruncate(command_note, 0);
    }
    close_held(command_note);
    close_held(command_dir);
}

void record_command_start(std::string_view text) {
    if (!record_file_name) {
        return;
    }
    static char note[note_room];
    const std::size_t length = escape_text(text, note, escape_style::field) + 1;
    note[length - 1] = '\n';
    command_dir = open_record_dir();
    struct stat st {};
    command_note =
        command_dir == -1 ? -1 : open_record_file(command_dir, place().note, O_RDWR | O_CREAT, &st);
    note_error = command_note == -1 ? errno : 0;
    // Emptied when the last command's line was written, unless that failed.
    const bool stale = command_note != -1 && st.st_size != 0;
    errno = ENOSPC;  // what a short write means
    if (command_note != -1 &&
        ((stale && ftruncate(command_note, 0) == -1) ||
         pwrite(command_note, note, length, 0) != static_cast<ssize_t>(length))) {
        note_error = errno;
    }
}

void record_command_end(std::string_view text, const command_result& result) {
    if (!record_file_name) {
        return;
    }
    write_line(1, result.what, result.detail, text);
    // Once its line is written: a daemon that dies in between leaves a
    // second line, unknown, rather than none.
    if (command_note != -1) {
        (void)!ftruncate(command_note, 0);
    }
    close_held(command_note);
    close_held(command_dir);
}

void record_outcome(long type, outcome what, std::string_view detail, std::string_view text) {
    if (record_file_name) {
        write_line(type, what, detail, text);
    }
}
