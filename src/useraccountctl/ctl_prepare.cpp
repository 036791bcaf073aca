// useraccountctl prepare: the administrator's choice of who may send to and
// receive from the command queue, applied before the daemon starts. The queue
// is made the service's own whatever was found under its key: a queue that
// someone else created is removed, one that anyone could write loses what
// waited on it, and one whose creator group is not the sender group is made
// anew with its messages. This file reads the command line and decides;
// prepare_queue.cpp and prepare_messages.cpp act.
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "command_queue.h"
#include "ctl.h"
#include "prepare.h"

namespace {

// Rounds at the key before prepare gives up on someone who keeps creating
// the queue between its removal and the exclusive create.
constexpr int max_tries = 10;

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
        "unread, and the queue created anew. A queue that any local user could write\n"
        "and that MODE closes loses the messages waiting on it, unread. A queue with\n"
        "another creator group is created anew; its messages move over in order.\n"
        "What was removed or discarded is printed and logged to the system log.\n"
        "\n"
        "Options:\n"
        "  -o, --owner USER    the queue's owner: the user the daemon runs as\n"
        "  -g, --group GROUP   the queue's group: who may send with mode 0620\n"
        "  -m, --mode MODE     permission bits, octal (default 0620)\n"
        "  -h, --help          print this help\n"
        "\n"
        "Exit status: 0 the queue is in place, 1 failed (someone kept taking the\n"
        "queue's key, or a call failed), 2 usage error.\n",
        program_name);
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

// Messages of a queue being created anew wait on holding, a private queue,
// until the new queue takes them; qbytes is that queue's byte limit.
int prepare_queue(const queue_target& t, int& holding, msglen_t& qbytes) {
    for (int tries = 0; tries < max_tries; ++tries) {
        const int id = msgget(t.key, 0);
        if (id == -1 && errno == ENOENT) {
            const int created = create_exclusive(t);
            if (created != -1) {
                return set_up_created(created, t, holding, qbytes);
            }
            if (errno == EEXIST) {
                continue;  // someone got in between
            }
            return call_failed("msgget");
        }
        msqid_ds info{};
        if (id == -1 || msgctl(id, IPC_STAT, &info) == -1) {
            if (id != -1 && (errno == EINVAL || errno == EIDRM)) {
                continue;  // removed meanwhile
            }
            return call_failed(id == -1 ? "msgget" : "msgctl IPC_STAT");
        }
        const uid_t creator = info.msg_perm.cuid;
        if (creator != 0 && creator != t.owner) {
            if (remove_squatted(id, info, t) != 0) {
                return exit_failure;
            }
            continue;
        }
        const ipc_perm found = info.msg_perm;
        if ((info.msg_perm.mode & 0002U) != 0 && (t.mode & 0002U) == 0 &&
            tighten(id, info, t) != 0) {
            return exit_failure;
        }
        if (info.msg_perm.cgid == t.group) {
            return set_up_existing(id, found, t, holding);
        }
        if (hold_and_remove(id, info, t, holding, qbytes) != 0) {
            return exit_failure;
        }
    }
    return failed(
        "could not create the queue (key 0x%08x): someone else took the key each of %d "
        "times",
        static_cast<unsigned>(t.key), max_tries);
}

}  // namespace

int run_prepare(int argc, char** argv) {
    static const option long_options[] = {
        {"owner", required_argument, nullptr, 'o'},
        {"group", required_argument, nullptr, 'g'},
        {"mode", required_argument, nullptr, 'm'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    queue_target t;
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, "o:g:m:h", long_options, nullptr)) != -1) {
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
                print_prepare_help();
                return 0;
            default:
                return usage_hint(argv[0]);
        }
    }
    if (optind < argc) {
        return usage_error(argv[0], "unexpected argument '%s'", argv[optind]);
    }
    if (t.owner_text == nullptr || t.group_text == nullptr) {
        return usage_error(argv[0], "both --owner and --group are needed");
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
    int holding = -1;
    msglen_t qbytes = 0;
    const int status = prepare_queue(t, holding, qbytes);
    if (holding != -1) {
        report(LOG_ERR,
               "the messages of the queue being replaced are kept on private queue %d: see "
               "'ipcs -q -i %d'",
               holding, holding);
    }
    closelog();
    return status;
}
