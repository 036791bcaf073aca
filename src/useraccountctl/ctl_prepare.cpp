// useraccountctl prepare: the administrator's choice of who may send to and
// receive from the command queue, applied before the daemon starts. The queue
// is made the service's own whatever was found under its key: a queue that
// someone else created is removed, one that anyone could write loses what
// waited on it, and one whose creator group is not the sender group is made
// anew with its messages.
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_queue.h"
#include "ctl.h"

namespace {

constexpr unsigned default_mode = 0620;

// Rounds at the key before prepare gives up on someone who keeps creating
// the queue between its removal and the exclusive create.
constexpr int max_tries = 10;

struct queue_target {
    key_t key = -1;
    uid_t owner = 0;
    gid_t group = 0;
    unsigned mode = default_mode;
    const char* owner_text = nullptr;
    const char* group_text = nullptr;
};

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

std::string describe(const ipc_perm& perm) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", perm.mode & 0777U);
    return "owner " + user_name(perm.uid) + ", group " + group_name(perm.gid) + ", mode " + mode;
}

// On standard output and in the system log: what became of a queue and of
// the messages on it.
[[gnu::format(printf, 2, 3)]] void report(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list log_args;
    va_copy(log_args, args);
    vprintf(format, args);
    putchar('\n');
    fflush(stdout);
    vsyslog(priority, format, log_args);
    va_end(log_args);
    va_end(args);
}

unsigned long waiting(const msqid_ds& info) {
    return static_cast<unsigned long>(info.msg_qnum);
}

// The queue with the sender group as its creator group, closed (mode 0) to
// all but root until it is set up. The kernel grants the group bits to the
// creator group as well as to the owner group, never changes the creator
// group, and takes it from the effective group of the creating process.
// -1 with errno (EEXIST: someone else holds the key).
int create_exclusive(const queue_target& t) {
    const gid_t saved = getegid();
    if (setegid(t.group) == -1) {
        return -1;
    }
    const int id = msgget(t.key, IPC_CREAT | IPC_EXCL);
    const int error = errno;
    if (setegid(saved) == -1) {
        perror("useraccountctl: setegid");
        exit(exit_failure);
    }
    errno = error;
    return id;
}

bool set_perm(int id, const ipc_perm& perm) {
    msqid_ds info{};
    if (msgctl(id, IPC_STAT, &info) == -1) {
        return false;
    }
    info.msg_perm.uid = perm.uid;
    info.msg_perm.gid = perm.gid;
    info.msg_perm.mode = perm.mode;
    return msgctl(id, IPC_SET, &info) == 0;
}

ipc_perm target_perm(const queue_target& t) {
    ipc_perm perm{};
    perm.uid = t.owner;
    perm.gid = t.group;
    perm.mode = static_cast<decltype(perm.mode)>(t.mode);
    return perm;
}

// Room for count more messages of bytes in total on the queue.
bool make_room(int id, msglen_t bytes, msgqnum_t count) {
    msqid_ds info{};
    if (msgctl(id, IPC_STAT, &info) == -1) {
        return false;
    }
    // The kernel counts each message against the byte limit as well.
    const msglen_t needed = std::max(info.msg_cbytes + bytes, info.msg_qnum + count);
    if (info.msg_qbytes >= needed) {
        return true;
    }
    info.msg_qbytes = needed;
    return msgctl(id, IPC_SET, &info) == 0;
}

// Moves every message from one queue to the end of another, oldest first,
// types and texts unchanged. Each one is copied before it is taken off, so
// that none is ever on neither queue. The number moved, or -1 with errno and
// *failed_call set, the rest left where it was.
long move_messages(int from, int to, const char** failed_call) {
    // Anything on a queue fits in the system's largest message.
    msginfo limits{};
    if (msgctl(0, IPC_INFO, reinterpret_cast<msqid_ds*>(&limits)) == -1) {
        *failed_call = "msgctl IPC_INFO";
        return -1;
    }
    const auto text_room = static_cast<std::size_t>(limits.msgmax);
    std::vector<long> buffer(1 + (text_room + sizeof(long) - 1) / sizeof(long));
    for (long moved = 0;; ++moved) {
        // With MSG_COPY the type argument picks a message by its position.
        const ssize_t n = msgrcv(from, buffer.data(), text_room, 0, MSG_COPY | IPC_NOWAIT);
        if (n == -1) {
            if (errno == ENOMSG) {
                return moved;
            }
            *failed_call = "msgrcv";
            return -1;
        }
        if (msgsnd(to, buffer.data(), static_cast<std::size_t>(n), IPC_NOWAIT) == -1) {
            *failed_call = "msgsnd";
            return -1;
        }
        if (msgrcv(from, buffer.data(), 0, 0, IPC_NOWAIT | MSG_NOERROR) == -1) {
            *failed_call = "msgrcv";
            return -1;
        }
    }
}

// Closes a queue that anyone could write to everyone outside its owner and
// group, then takes off, unread, what waited on it at that moment: anyone
// could have sent it. What comes later has passed the new permissions.
int tighten(int id, msqid_ds& info, const queue_target& t) {
    const unsigned before = info.msg_perm.mode & 0777U;
    if (!set_perm(id, target_perm(t)) || msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl", "closing the queue to other users");
    }
    unsigned long discarded = 0;
    queue_message unread{};  // with no room asked for: the text is never read
    while (discarded < waiting(info)) {
        if (msgrcv(id, &unread, 0, 0, IPC_NOWAIT | MSG_NOERROR) == -1) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != ENOMSG) {
                return call_failed("msgrcv");
            }
            break;
        }
        ++discarded;
    }
    report(LOG_WARNING,
           "discarded %lu message(s) unread from queue %d (key 0x%08x): its mode %04o let any "
           "local user send",
           discarded, id, static_cast<unsigned>(t.key), before);
    return 0;
}

// Someone else created the queue, and may empty it, read it or re-permission
// it whatever its owner and mode: it goes, with what is on it.
int remove_squatted(int id, const msqid_ds& info, const queue_target& t) {
    if (msgctl(id, IPC_RMID, nullptr) == -1) {
        if (errno == EINVAL || errno == EIDRM) {
            return 0;  // gone already
        }
        return call_failed("msgctl IPC_RMID", "removing a queue someone else created");
    }
    report(LOG_WARNING,
           "removed queue %d (key 0x%08x), created by uid %s, who is neither root nor %s: %lu "
           "message(s) on it discarded unread",
           id, static_cast<unsigned>(t.key), user_name(info.msg_perm.cuid).c_str(), t.owner_text,
           waiting(info));
    return 0;
}

// The messages of a queue that is to be created anew wait on a private queue
// of root's (made when first needed), then the queue is removed: a key names
// one queue at a time. The queue is closed to everyone first, so that nothing
// is sent to it that would go with it. *qbytes keeps its byte limit.
int hold_and_remove(int id, const msqid_ds& info, const queue_target& t, int& holding,
                    msglen_t& qbytes) {
    ipc_perm closed = info.msg_perm;
    closed.mode = 0;
    msqid_ds now{};
    if (!set_perm(id, closed) || msgctl(id, IPC_STAT, &now) == -1) {
        return call_failed("msgctl", "closing the queue to move its messages");
    }
    qbytes = std::max(qbytes, now.msg_qbytes);
    const bool any = waiting(now) != 0;
    if (any && holding == -1) {
        holding = msgget(IPC_PRIVATE, 0600);
        if (holding == -1) {
            call_failed("msgget", "a private queue to hold the messages");
            (void)set_perm(id, info.msg_perm);
            return exit_failure;
        }
    }
    std::string meanwhile;
    if (any) {
        meanwhile = "; its " + std::to_string(waiting(now)) + " message(s) wait on private queue " +
                    std::to_string(holding) + " meanwhile";
    }
    report(LOG_INFO,
           "queue %d (key 0x%08x) has creator group %s, not %s, which the kernel cannot change: "
           "creating it anew%s",
           id, static_cast<unsigned>(t.key), group_name(info.msg_perm.cgid).c_str(),
           group_name(t.group).c_str(), meanwhile.c_str());
    const char* failed_call = "msgctl IPC_SET";
    const bool moved_all = !any || (make_room(holding, now.msg_cbytes, now.msg_qnum) &&
                                    move_messages(id, holding, &failed_call) != -1);
    if (!moved_all) {
        call_failed(failed_call);
        (void)set_perm(id, info.msg_perm);
        return failed("queue %d keeps its permissions and what is left on it", id);
    }
    if (msgctl(id, IPC_RMID, nullptr) == -1) {
        return call_failed("msgctl IPC_RMID");
    }
    return 0;
}

// The held messages, in their order, ahead of anything else on the queue.
int release_held(int id, int& holding) {
    if (holding == -1) {
        return 0;
    }
    msqid_ds held{};
    const char* failed_call = "msgctl IPC_STAT";
    long moved = -1;
    if (msgctl(holding, IPC_STAT, &held) == 0) {
        failed_call = "msgctl IPC_SET";
        if (make_room(id, held.msg_cbytes, held.msg_qnum)) {
            moved = move_messages(holding, id, &failed_call);
        }
    }
    if (moved == -1) {
        return call_failed(failed_call, "moving the held messages");
    }
    report(LOG_INFO, "moved %ld message(s) from private queue %d to queue %d, in order", moved,
           holding, id);
    msgctl(holding, IPC_RMID, nullptr);
    holding = -1;
    return 0;
}

int set_up_created(int id, const queue_target& t, int& holding, msglen_t qbytes) {
    msqid_ds info{};
    if (qbytes != 0) {
        if (msgctl(id, IPC_STAT, &info) == -1) {
            return call_failed("msgctl IPC_STAT");
        }
        info.msg_qbytes = qbytes;
        if (msgctl(id, IPC_SET, &info) == -1) {
            return call_failed("msgctl IPC_SET", "the byte limit of the queue it replaces");
        }
    }
    if (release_held(id, holding) != 0) {
        return exit_failure;
    }
    if (!set_perm(id, target_perm(t)) || msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl IPC_SET");
    }
    printf("created queue %d (key 0x%08x): %s\n", id, static_cast<unsigned>(t.key),
           describe(info.msg_perm).c_str());
    return 0;
}

// before: the permissions as prepare found them.
int set_up_existing(int id, const ipc_perm& before, const queue_target& t, int& holding) {
    if (release_held(id, holding) != 0) {
        return exit_failure;
    }
    if (before.uid == t.owner && before.gid == t.group && (before.mode & 0777U) == t.mode) {
        printf("queue %d (key 0x%08x) already so: %s\n", id, static_cast<unsigned>(t.key),
               describe(before).c_str());
        return 0;
    }
    const ipc_perm after = target_perm(t);
    if (!set_perm(id, after)) {
        return call_failed("msgctl IPC_SET");
    }
    printf("changed queue %d (key 0x%08x): %s (was %s)\n", id, static_cast<unsigned>(t.key),
           describe(after).c_str(), describe(before).c_str());
    return 0;
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
