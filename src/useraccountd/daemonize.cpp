#include "daemonize.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "daemon.h"
#include "trusted_path.h"

namespace {

void close_all_descriptors() {
    if (close_range(0, ~0U, 0) == 0) {
        return;
    }
    for (long fd = sysconf(_SC_OPEN_MAX); fd >= 0; --fd) {
        close(static_cast<int>(fd));
    }
}

// With 0, 1 and 2 closed, each open takes the lowest free descriptor. Should
// /dev/null be missing, later files (the PID file, the log file) would land on
// 0, 1 or 2 and receive what is printed: better not to run at all.
void open_dev_null_as_stdio() {
    if (open("/dev/null", O_RDONLY) != STDIN_FILENO || open("/dev/null", O_RDWR) != STDOUT_FILENO ||
        open("/dev/null", O_RDWR) != STDERR_FILENO) {
        _exit(1);
    }
}

// The file is written and cut as root: it must be this daemon's own, not a
// name another user planted, nor reached through a path that another user
// controls, for a file of theirs or of the system.
void take_pid_file(const char* name) {
    const int fd = open_trusted_file(name, O_RDWR | O_CREAT | O_NOCTTY, 0640, file_use::own_file);
    // Never truncate before the lock is ours: the file may be a running
    // daemon's, whose id must stay readable.
    if (fd == -1 || lockf(fd, F_TLOCK, 0) == -1) {
        exit(1);
    }
    char text[32];
    const int length = snprintf(text, sizeof text, "%d\n", getpid());
    (void)!pwrite(fd, text, static_cast<size_t>(length), 0);
    // A stale file may hold a longer id; leave no digits of it behind.
    (void)!ftruncate(fd, length);
    pid_fd = fd;
}

}  // namespace

void daemonize() {
    pid_t pid = fork();
    if (pid < 0) {
        exit(1);
    }
    if (pid > 0) {
        exit(0);
    }
    if (setsid() < 0) {
        exit(1);
    }
    signal(SIGCHLD, SIG_IGN);

    // The session leader ends, so the daemon can never acquire a terminal.
    pid = fork();
    if (pid < 0) {
        exit(1);
    }
    if (pid > 0) {
        exit(0);
    }

    umask(0);
    (void)!chdir("/");
    close_all_descriptors();
    open_dev_null_as_stdio();

    if (pid_file_name) {
        take_pid_file(pid_file_name->c_str());
    }
}
