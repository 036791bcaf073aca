// useraccountctl prepare: the administrator's choice of who may send to and
// receive from the command queue, applied before the daemon starts (what it
// does at the key: prepare_queue.cpp), and the options it shares with save.
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bounded_number.h"
#include "command_queue.h"
#include "ctl.h"
#include "queue_ops.h"
#include "root_files.h"

namespace {

void print_prepare_help() {
    printf(
        "Usage: %s prepare --owner USER --group GROUP [--mode MODE]\n"
        "\n"
        "Leave the command queue existing with exactly this owner, group and mode,\n"
        "created with GROUP as its creator group; run as root before the daemon\n"
        "starts (the packaged service does). USER and GROUP are names or numeric ids.\n"
        "A queue that someone else created is removed, one that any local user could\n"
        "write loses what waits on it, and one with another creator group is made\n"
        "anew with its messages, kept in %s meanwhile.\n"
        "The commands saved there before a reboot go first onto the queue.\n"
        "\n"
        "Options:\n"
        "  -o, --owner USER    the queue's owner: the user the daemon runs as\n"
        "  -g, --group GROUP   the queue's group: who may send with mode 0620\n"
        "  -m, --mode MODE     permission bits, octal (default 0620; 0666: anyone)\n"
        "  -h, --help          print this help\n"
        "\n"
        "Exit status: 0 the queue is in place, 1 failed (someone kept taking the\n"
        "queue's key, or a call failed), 2 usage error.\n",
        program_name, saved_commands_path);
}

// What the package's removal needs to find the service's queue, and only
// it: the key, and the key file it came from (device and inode, as stat(1)
// prints them), one line; rewritten only when it changes.
void record_queue_key(key_t key) {
    struct stat st {};
    const char* what_then = "the package's purge will not find the queue";
    std::optional<std::string> old;
    if (stat(queue_key_file, &st) == -1 || read_root_file(queue_key_name, old, what_then) != 0) {
        return;
    }
    const std::string line = std::to_string(key) + " " + std::to_string(st.st_dev) + " " +
                             std::to_string(st.st_ino) + "\n";
    if (old != line) {
        write_root_file(queue_key_name, line, what_then);
    }
}

}  // namespace

std::optional<int> read_target_options(int argc, char** argv, bool with_group, void (*print_help)(),
                                       queue_target& t) {
    // Without the group, getopt itself reports --group as unknown.
    static const option options[] = {
        {"owner", required_argument, nullptr, 'o'},
        {"mode", required_argument, nullptr, 'm'},
        {"help", no_argument, nullptr, 'h'},
        {"group", required_argument, nullptr, 'g'},
        {nullptr, 0, nullptr, 0},
    };
    // The group's entry last, cut off when it is not wanted.
    static const option without_group[] = {options[0], options[1], options[2], options[4]};
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, with_group ? "o:g:m:h" : "o:m:h",
                                      with_group ? options : without_group, nullptr)) != -1) {
        std::optional<unsigned> value;
        switch (option_char) {
            case 'o':
            case 'g':
                value = parse_id(optarg, option_char == 'o');
                if (!value) {
                    return usage_error(argv[0], "no such %s: '%s'",
                                       option_char == 'o' ? "user" : "group", optarg);
                }
                (option_char == 'o' ? t.owner : t.group) = *value;
                (option_char == 'o' ? t.owner_text : t.group_text) = optarg;
                break;
            case 'm':
                value = parse_number(optarg, 0U, 0777U, 8);
                if (!value) {
                    return usage_error(argv[0], "invalid mode '%s': octal, 0 to 0777", optarg);
                }
                t.mode = *value;
                break;
            case 'h':
                print_help();
                return 0;
            default:
                return usage_hint(argv[0]);
        }
    }
    if (optind < argc) {
        return usage_error(argv[0], "unexpected argument '%s'", argv[optind]);
    }
    if (t.owner_text == nullptr || (with_group && t.group_text == nullptr)) {
        return usage_error(
            argv[0], with_group ? "both --owner and --group are needed" : "--owner is needed");
    }
    return std::nullopt;
}

int run_prepare(int argc, char** argv) {
    queue_target t;
    if (const auto status = read_target_options(argc, argv, true, print_prepare_help, t)) {
        return *status;
    }
    // Anyone else would create a queue that they, not root, control.
    if (geteuid() != 0 && geteuid() != t.owner) {
        return failed("only root or %s may prepare the queue; nothing changed", t.owner_text);
    }
    // A queue is created with the caller's effective group as its creator
    // group: the sender group, which an ordinary user can take on only when
    // it is their own.
    const gid_t own_group = getegid();
    if (setegid(t.group) == -1 || setegid(own_group) == -1) {
        return call_failed("setegid",
                           "only root may prepare the queue for this group; nothing changed");
    }
    t.key = ftok(queue_key_file, queue_project_id);
    if (t.key == -1) {
        return call_failed("ftok", queue_key_file);
    }
    openlog(program_name, LOG_PID, LOG_DAEMON);
    const int status = prepare_queue(t);
    if (status == 0 && geteuid() == 0) {
        record_queue_key(t.key);
    }
    closelog();
    return status;
}
