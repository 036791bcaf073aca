// useraccountd: serves the account command queue. This folder holds the
// daemon alone: main with its options and run sequence (here), the
// process-wide state (daemon.h), the configuration file (config), daemon mode
// and the PID file (daemonize), the path check of the files it writes
// (trusted_path), stop and reload requests (signals), what it tells a
// service manager (notify), the loop that runs each account command
// (service_loop) and the record of what became of each message
// (outcome_record). What it shares with useraccountctl, the queue contract
// above all, lives in src/common.

#include "daemon.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_queue.h"
#include "config.h"
#include "daemonize.h"
#include "notify.h"
#include "outcome_record.h"
#include "service_loop.h"
#include "signals.h"
#include "trusted_path.h"

const char* app_name = nullptr;
std::optional<std::string> conf_file_name;
std::optional<std::string> pid_file_name;
std::optional<std::string> record_file_name;
int pid_fd = -1;
FILE* log_stream = nullptr;
volatile sig_atomic_t running = 0;
int delay = 1;

namespace {

const option long_options[] = {
    {"conf_file", required_argument, nullptr, 'c'}, {"test_conf", required_argument, nullptr, 't'},
    {"log_file", required_argument, nullptr, 'l'},  {"help", no_argument, nullptr, 'h'},
    {"daemon", no_argument, nullptr, 'd'},          {"pid_file", required_argument, nullptr, 'p'},
    {"record", required_argument, nullptr, 'r'},    {nullptr, 0, nullptr, 0},
};

void print_help() {
    printf("\n Usage: %s [OPTIONS]\n\n", app_name);
    printf("  Options:\n");
    printf("   -h --help                 Print this help\n");
    printf("   -c --conf_file filename   Read configuration from the file\n");
    printf("   -t --test_conf filename   Test configuration file\n");
    printf("   -l --log_file  filename   Write logs to the file\n");
    printf("   -d --daemon               Daemonize this application\n");
    printf("   -p --pid_file  filename   PID file used by daemonized app\n");
    printf("   -r --record    filename   Record the outcome of each message\n");
    printf("\n");
}

// In daemon mode the file-creation mask is 0; a log file created with the
// default mode would let every local user forge the log of a service that
// runs commands as root. For the same reason an existing file is used only if
// nobody else could have planted it or could write to it: not a symlink nor
// on a path that another user controls, owned by this user or root, and for a
// regular file neither a second name of another file nor writable by group or
// others. A device such as /dev/full serves as it is.
FILE* open_log_file(const char* name) {
    const int fd =
        open_trusted(name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd == -1) {
        return nullptr;
    }
    struct stat st {};
    int refusal = fstat(fd, &st) == -1 ? errno : 0;
    const bool others_file = st.st_uid != geteuid() && st.st_uid != 0;
    const bool shared_file =
        S_ISREG(st.st_mode) && ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_nlink != 1);
    if (refusal == 0 && (others_file || shared_file)) {
        refusal = EPERM;
    }
    return stream_unless_refused(fd, "a+", refusal);
}

}  // namespace

int main(int argc, char* argv[]) {
    hold_requests();
    // Each echo line reaches the journal or a file as it is written, not when
    // a buffer fills or the process ends.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    app_name = argv[0];
    std::optional<std::string> log_file_name;
    int start_daemonized = 0;
    int option_index = 0;

    int value;
    while ((value = getopt_long(argc, argv, "c:l:t:p:dhr:", long_options, &option_index)) != -1) {
        switch (value) {
            case 'c':
                conf_file_name = optarg;
                break;
            case 'l':
                log_file_name = optarg;
                break;
            case 'p':
                pid_file_name = optarg;
                break;
            case 'r':
                record_file_name = optarg;
                break;
            case 'd':
                start_daemonized = 1;
                break;
            case 't':
                return test_conf_file(optarg);
            case 'h':
                print_help();
                return 0;
            case '?':
                print_help();
                return 1;
            default:
                break;
        }
    }

    if (start_daemonized == 1) {
        daemonize();
    }

    openlog(argv[0], LOG_PID | LOG_CONS, LOG_DAEMON);
    syslog(LOG_INFO, "Started %s", app_name);

    notify_open();
    install_signal_handlers();

    log_stream = stdout;
    if (log_file_name) {
        FILE* log_file = open_log_file(log_file_name->c_str());
        if (log_file != nullptr) {
            log_stream = log_file;
        } else {
            syslog(LOG_ERR, "Can not open log file: %s, error: %s", log_file_name->c_str(),
                   strerror(errno));
        }
    }

    read_conf_file(0);
    running = 1;
    record_unfinished_command();

    const char* failed_call = nullptr;
    const int msg_queue_id = open_command_queue(&failed_call);
    if (msg_queue_id == -1) {
        perror(failed_call);
        exit(1);
    }
    // A service manager sends its reload or stop only after this, once the
    // handlers are in place.
    notify_ready();

    const int status =
        run_service_loop(msg_queue_id, log_stream == stdout ? "stdout" : log_file_name->c_str());

    notify_stopping();
    if (log_stream != stdout) {
        fclose(log_stream);
    }
    syslog(LOG_INFO, "Stopped %s", app_name);
    closelog();
    conf_file_name.reset();
    log_file_name.reset();
    pid_file_name.reset();
    record_file_name.reset();
    return status;
}
