// useraccountctl prepare: the administrator's choice of who may send to and
// receive from the command queue, applied before the daemon starts. The queue
// is made the service's own whatever was found under its key: a queue that
// someone else created is removed, one that anyone could write loses what
// waited on it, and one whose creator group is not the sender group is made
// anew with its messages. What an earlier prepare held, and what was saved
// before a reboot, goes first onto the queue. This file reads the command
// line and decides; prepare_queue.cpp, prepare_messages.cpp and
// prepare_saved.cpp act.
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "command_queue.h"
#include "ctl.h"
#include "prepare.h"

namespace {

// How long prepare keeps at the key against someone who keeps creating the
// queue; the unit tries again later.
constexpr std::chrono::seconds key_time{5};

// The queue made, into created, after replacing (-1: none) is removed; -1
// when someone else took the key in between, else an exit status.
int create(const queue_target& t, int replacing, int& created) {
    const char* failed_call = nullptr;
    created = create_exclusive(t, replacing, &failed_call);
    if (created != -1) {
        return 0;
    }
    if (errno == EEXIST) {
        return -1;
    }
    if (errno == ENOSPC) {
        report_full_table();
    }
    return call_failed(failed_call);
}

void print_prepare_help() {
    printf(
        "Usage: %s prepare --owner USER --group GROUP [--mode MODE]\n"
        "\n"
        "Leave the command queue existing with exactly this owner, group and mode,\n"
        "creating it when missing; run as root before the daemon starts (the packaged\n"
        "service does). USER and GROUP are names or numeric ids. MODE is octal:\n"
        "0620 (the default) lets USER, the daemon's user, receive and GROUP send, and\n"
        "nobody else use the queue; 0666 lets every local user send, and read.\n"
        "The queue is created with GROUP as its creator group, so that no other\n"
        "group's members may send.\n"
        "\n"
        "A queue that anyone but root or USER created is removed, with its messages\n"
        "unread, and the queue created anew, however often they take the key again\n"
        "within %lld seconds. A queue that any local user could write and that MODE\n"
        "closes loses the messages waiting on it, unread. A queue with another\n"
        "creator group is created anew; its messages move over in order.\n"
        "What was removed or discarded is printed and logged to the system log.\n"
        "\n"
        "As root, it first takes back what an earlier prepare left on a private queue\n"
        "and, after a reboot, the commands that 'useraccountctl save' saved at the\n"
        "last stop: they come first on the queue. A copy saved in this boot is\n"
        "discarded, since the queue still holds those commands.\n"
        "\n"
        "Options:\n"
        "  -o, --owner USER    the queue's owner: the user the daemon runs as\n"
        "  -g, --group GROUP   the queue's group: who may send with mode 0620\n"
        "  -m, --mode MODE     permission bits, octal (default 0620)\n"
        "  -h, --help          print this help\n"
        "\n"
        "Exit status: 0 the queue is in place, 1 failed (someone kept taking the\n"
        "queue's key, or a call failed), 2 usage error.\n",
        program_name, static_cast<long long>(key_time.count()));
}

// A look at the key: -1 when someone else took it meanwhile, else an exit
// status; a queue made anew is left in created, an existing one is set up.
// Messages of a queue being created anew wait on holding, a private queue,
// until the new queue takes them; qbytes is that queue's byte limit.
int look_at_key(const queue_target& t, int& holding, msglen_t& qbytes, squatters& seen,
                int& created) {
    const int id = msgget(t.key, 0);
    if (id == -1 && errno == ENOENT) {
        return create(t, -1, created);
    }
    msqid_ds info{};
    if (id == -1 || msgctl(id, IPC_STAT, &info) == -1) {
        if (id != -1 && (errno == EINVAL || errno == EIDRM)) {
            return -1;  // removed meanwhile
        }
        return call_failed(id == -1 ? "msgget" : "msgctl IPC_STAT");
    }
    if (squatted(info.msg_perm, t)) {
        count_squatter(seen, id, info);
        return create(t, id, created);
    }
    const ipc_perm found = info.msg_perm;
    if (open_to_all(info.msg_perm, t) && tighten(id, info, t) != 0) {
        return exit_failure;
    }
    if (info.msg_perm.cgid == t.group) {
        return set_up_existing(id, found, t, holding);
    }
    if (hold_messages(id, info, t, holding, qbytes) != 0) {
        return exit_failure;
    }
    return create(t, id, created);
}

int prepare_queue(const queue_target& t, int& holding, msglen_t& qbytes) {
    squatters seen;
    const auto start = std::chrono::steady_clock::now();
    int status = -1;
    int created = -1;
    unsigned long rounds = 0;
    while (status == -1 && std::chrono::steady_clock::now() - start < key_time) {
        status = look_at_key(t, holding, qbytes, seen, created);
        ++rounds;
    }
    report_squatters(seen, t);
    if (created != -1) {
        return set_up_created(created, t, holding, qbytes);
    }
    if (status != -1) {
        return status;
    }
    return failed(
        "could not create the queue (key 0x%08x): someone else took the key each of %lu times "
        "in %lld s",
        static_cast<unsigned>(t.key), rounds, static_cast<long long>(key_time.count()));
}

}  // namespace

int parse_target_options(int argc, char** argv, bool with_group, void (*print_help)(),
                         queue_target& t) {
    // Without the group, getopt itself reports --group as unknown.
    static const option long_options[] = {
        {"owner", required_argument, nullptr, 'o'},
        {"mode", required_argument, nullptr, 'm'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    static const option with_group_options[] = {
        {"owner", required_argument, nullptr, 'o'},
        {"group", required_argument, nullptr, 'g'},
        {"mode", required_argument, nullptr, 'm'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const option* const options = with_group ? with_group_options : long_options;
    const char* const short_options = with_group ? "o:g:m:h" : "o:m:h";
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, short_options, options, nullptr)) != -1) {
        switch (option_char) {
            case 'o':
                t.owner_text = optarg;
                if (!parse_id(optarg, true, &t.owner)) {
                    return usage_error(argv[0], "no such user: '%s'", optarg);
                }
                break;
            case 'g':
                t.group_text = optarg;
                if (!parse_id(optarg, false, &t.group)) {
                    return usage_error(argv[0], "no such group: '%s'", optarg);
                }
                break;
            case 'm':
                if (!parse_mode(optarg, &t.mode)) {
                    return usage_error(argv[0], "invalid mode '%s': octal, 0 to 0777", optarg);
                }
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
    return -1;
}

int run_prepare(int argc, char** argv) {
    queue_target t;
    if (const int status = parse_target_options(argc, argv, true, print_prepare_help, t);
        status != -1) {
        return status;
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
                           "only root may prepare the queue for this group; nothing "
                           "changed");
    }

    t.key = ftok(queue_key_file, queue_project_id);
    if (t.key == -1) {
        return call_failed("ftok", queue_key_file);
    }
    openlog(program_name, LOG_PID, LOG_DAEMON);
    // What an earlier prepare held, and what was saved before a reboot, go
    // first onto the queue.
    const held_record held = find_held();
    int holding = held.id;
    msqid_ds found{};
    if (holding != -1 && msgctl(holding, IPC_STAT, &found) == 0) {
        report(LOG_INFO,
               "private queue %d holds %lu message(s) that an earlier start took off the queue: "
               "they go back first",
               holding, waiting(found));
    }
    msglen_t qbytes = 0;
    int status = restore_saved(holding, held);
    if (status == 0) {
        status = prepare_queue(t, holding, qbytes);
    }
    if (holding != -1) {
        report(LOG_ERR,
               "the messages of the queue being replaced are kept on private queue %d (see "
               "'ipcs -q -i %d'): the next start puts them back",
               holding, holding);
    }
    closelog();
    return status;
}
