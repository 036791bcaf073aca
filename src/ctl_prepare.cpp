// useraccountctl prepare: the administrator's choice of who may send to and
// receive from the command queue, applied before the daemon starts.
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command_queue.h"
#include "ctl.h"

namespace {

constexpr unsigned default_mode = 0620;

void print_prepare_help() {
    printf(
        "Usage: %s prepare --owner USER --group GROUP [--mode MODE]\n"
        "\n"
        "Leave the command queue existing with exactly this owner, group and mode,\n"
        "creating it when missing; run as root before the daemon starts (the packaged\n"
        "service does). USER and GROUP are names or numeric ids. MODE is octal:\n"
        "0620 (the default) lets USER, the daemon's user, receive and GROUP send, and\n"
        "nobody else use the queue; 0666 lets every local user send, and read.\n"
        "A queue created by anyone but root or USER is refused and left unchanged:\n"
        "someone else controls it.\n"
        "\n"
        "Options:\n"
        "  -o, --owner USER    the queue's owner: the user the daemon runs as\n"
        "  -g, --group GROUP   the queue's group: who may send with mode 0620\n"
        "  -m, --mode MODE     permission bits, octal (default 0620)\n"
        "  -h, --help          print this help\n"
        "\n"
        "Exit status: 0 done, 1 refused or failed, 2 usage error.\n",
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

// The queue's id, opened or created with the final mode; -1 on failure.
int open_or_create(key_t key, unsigned mode, bool* created) {
    // The queue may be removed between a failed create and the open.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int id = msgget(key, IPC_CREAT | IPC_EXCL | static_cast<int>(mode));
        *created = id != -1;
        if (id == -1 && errno == EEXIST) {
            id = msgget(key, 0);
        }
        if (id != -1 || errno != ENOENT) {
            return id;
        }
    }
    return -1;
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
    const char* owner_text = nullptr;
    const char* group_text = nullptr;
    unsigned owner = 0;
    unsigned group_id = 0;
    unsigned mode = default_mode;
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, "o:g:m:h", long_options, nullptr)) != -1) {
        switch (option_char) {
            case 'o':
                owner_text = optarg;
                if (!parse_id(optarg, true, &owner)) {
                    return usage_error(argv[0], "no such user: '%s'", optarg);
                }
                break;
            case 'g':
                group_text = optarg;
                if (!parse_id(optarg, false, &group_id)) {
                    return usage_error(argv[0], "no such group: '%s'", optarg);
                }
                break;
            case 'm':
                if (!parse_mode(optarg, &mode)) {
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
    if (owner_text == nullptr || group_text == nullptr) {
        return usage_error(argv[0], "both --owner and --group are needed");
    }
    // Anyone else would create a queue that they, not root, control.
    if (geteuid() != 0 && geteuid() != owner) {
        return failed("only root or %s may prepare the queue; nothing changed", owner_text);
    }

    const key_t key = ftok(queue_key_file, queue_project_id);
    if (key == -1) {
        return call_failed("ftok", queue_key_file);
    }
    bool created = false;
    const int id = open_or_create(key, mode, &created);
    if (id == -1) {
        return call_failed("msgget");
    }
    msqid_ds info{};
    if (msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl IPC_STAT");
    }
    const uid_t creator = info.msg_perm.cuid;
    if (creator != 0 && creator != owner) {
        return failed(
            "queue %d (key 0x%08x) was created by uid %s, who is neither root nor %s: someone "
            "else controls it; nothing changed. Inspect it with '%s list' and remove it with "
            "'ipcrm -q %d', then prepare again.",
            id, static_cast<unsigned>(key), user_name(creator).c_str(), owner_text, program_name,
            id);
    }
    const ipc_perm before = info.msg_perm;
    if (!created && before.uid == owner && before.gid == group_id &&
        (before.mode & 0777U) == mode) {
        printf("queue %d (key 0x%08x) already so: %s\n", id, static_cast<unsigned>(key),
               describe(before).c_str());
        return 0;
    }
    info.msg_perm.uid = owner;
    info.msg_perm.gid = group_id;
    info.msg_perm.mode = static_cast<decltype(info.msg_perm.mode)>(mode);
    if (msgctl(id, IPC_SET, &info) == -1) {
        return call_failed("msgctl IPC_SET");
    }
    if (created) {
        printf("created queue %d (key 0x%08x): %s\n", id, static_cast<unsigned>(key),
               describe(info.msg_perm).c_str());
    } else {
        printf("changed queue %d (key 0x%08x): %s (was %s)\n", id, static_cast<unsigned>(key),
               describe(info.msg_perm).c_str(), describe(before).c_str());
    }
    return 0;
}
