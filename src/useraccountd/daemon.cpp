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
#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bounded_number.h"
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
unsigned long long record_limit = default_record_limit;
int pid_fd = -1;
FILE* log_stream = nullptr;
volatile sig_atomic_t running = 0;
int delay = 1;

namespace {

// What main keeps of its options beyond the process-wide state.
struct start_options {
    std::optional<std::string> log_file_name;
    int start_daemonized = 0;
};

const option long_options[] = {
    {"conf_file", required_argument, nullptr, 'c'},
    {"test_conf", required_argument, nullptr, 't'},
    {"log_file", required_argument, nullptr, 'l'},
    {"help", no_argument, nullptr, 'h'},
    {"daemon", no_argument, nullptr, 'd'},
    {"pid_file", required_argument, nullptr, 'p'},
    {"record", required_argument, nullptr, 'r'},
    {"record_size", required_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
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
    printf("   -s --record_size bytes    Rotate the record at this size (default %llu)\n",
           default_record_limit);
    printf("\n");
}

// The options, acted on as they are met. Returns the exit status when the
// run ends here (help, a configuration test, a bad option), else nothing.
std::optional<int> read_options(int argc, char* argv[], start_options& options) {
    int option_index = 0;
    int value;
    while ((value = getopt_long(argc, argv, "c:l:t:p:dhr:s:", long_options, &option_index)) != -1) {
        switch (value) {
            case 'c':
                conf_file_name = optarg;
                break;
            case 'l':
                options.log_file_name = optarg;
                break;
            case 'p':
                pid_file_name = optarg;
                break;
            case 'r':
                record_file_name = optarg;
                break;
            case 's':
                if (const auto limit = parse_number(optarg, min_record_limit, max_record_limit)) {
                    record_limit = *limit;
                    break;
                }
                fprintf(stderr, "%s: invalid record size '%s': bytes, from %llu to %llu\n",
                        app_name, optarg, min_record_limit, max_record_limit);
                print_help();
                return 1;
            case 'd':
                options.start_daemonized = 1;
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
    return std::nullopt;
}

// In daemon mode the file-creation mask is 0; a log file created with the
// default mode would let every local user forge the log of a service that
// runs commands as root. For the same reason an existing file is used only if
// nobody else could have planted it or could write to it (file_trust.h); a
// device such as /dev/full serves as it is. A log file that cannot be opened
// is logged, and the debug lines go to standard output.
void open_log_stream(const std::optional<std::string>& log_file_name) {
    log_stream = stdout;
    if (!log_file_name) {
        return;
    }
    const char* name = log_file_name->c_str();
    FILE* log_file = stream_of(
        open_trusted_file(name, O_RDWR | O_APPEND | O_CREAT | O_NOCTTY, 0644, file_use::own_stream),
        "a+");
    if (log_file == nullptr) {
        syslog(LOG_ERR, "Can not open log file: %s, error: %s", name, strerror(errno));
        return;
    }
    log_stream = log_file;
}

}  // namespace

int main(int argc, char* argv[]) {
    hold_requests();
    // Each echo line reaches the journal or a file as it is written, not when
    // a buffer fills or the process ends.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    app_name = argv[0];
    start_options options;
    if (const auto status = read_options(argc, argv, options)) {
        return *status;
    }
    if (options.start_daemonized == 1) {
        daemonize();
    }

    openlog(argv[0], LOG_PID | LOG_CONS, LOG_DAEMON);
    syslog(LOG_INFO, "Started %s", app_name);
    notify_open();
    install_signal_handlers();
    open_log_stream(options.log_file_name);
    read_conf_file(0);
    running = 1;
    record_unfinished_command();
    const char* failed_call = nullptr;
    const int msg_queue_id = open_command_queue(&failed_call);
    if (msg_queue_id == -1) {
        perror(failed_call);
        exit(1);
    }

    const int status = run_service_loop(
        msg_queue_id, log_stream == stdout ? "stdout" : options.log_file_name->c_str());

    if (log_stream != stdout) {
        fclose(log_stream);
    }
    syslog(LOG_INFO, "Stopped %s", app_name);
    closelog();
    conf_file_name.reset();
    options.log_file_name.reset();
    pid_file_name.reset();
    record_file_name.reset();
    return status;
}
