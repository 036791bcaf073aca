// useraccountctl prepare: the queue created exclusively, by root with the
// sender group as its creator group, and given its owner, group and mode; a
// queue that anyone could write, or that someone else created, made safe.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command_queue.h"
#include "ctl.h"
#include "prepare.h"

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

namespace {

ipc_perm target_perm(const queue_target& t) {
    ipc_perm perm{};
    perm.uid = t.owner;
    perm.gid = t.group;
    perm.mode = static_cast<decltype(perm.mode)>(t.mode);
    return perm;
}

// Under systemd, standard output may be the journal itself (JOURNAL_STREAM
// names its device and inode): a line there and in the system log would
// show twice.
bool stdout_is_journal() {
    const char* stream = getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || fstat(STDOUT_FILENO, &st) == -1) {
        return false;
    }
    const std::string_view text(stream);
    const std::size_t colon = text.find(':');
    return colon != std::string_view::npos && text.substr(0, colon) == std::to_string(st.st_dev) &&
           text.substr(colon + 1) == std::to_string(st.st_ino);
}

// "uid 1000 (bob): 5, uid 0 (root): 1": the first few, the most first; a
// single user's count only when asked for.
std::string most_first(const std::map<uid_t, unsigned long>& counts, std::size_t limit,
                       bool single_count) {
    std::vector<std::pair<unsigned long, uid_t>> ranked;
    ranked.reserve(counts.size());
    for (const auto& [uid, count] : counts) {
        ranked.emplace_back(count, uid);
    }
    std::sort(ranked.rbegin(), ranked.rend());
    std::string text;
    for (std::size_t i = 0; i < ranked.size() && i < limit; ++i) {
        text += (i == 0 ? "uid " : ", uid ") + user_name(ranked[i].second);
        if (single_count || ranked.size() > 1) {
            text += ": " + std::to_string(ranked[i].first);
        }
    }
    return text;
}

}  // namespace

std::string describe(const ipc_perm& perm) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", perm.mode & 0777U);
    return "owner " + user_name(perm.uid) + ", group " + group_name(perm.gid) + ", mode " + mode;
}

void report(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list log_args;
    va_copy(log_args, args);
    if (!stdout_is_journal()) {
        vprintf(format, args);
        putchar('\n');
        fflush(stdout);
    }
    vsyslog(priority, format, log_args);
    va_end(log_args);
    va_end(args);
}

// The queue with the sender group as its creator group, closed (mode 0) to
// all but root until it is set up. The kernel grants the group bits to the
// creator group as well as to the owner group, never changes the creator
// group, and takes it from the effective group of the creating process: that
// is set first, so that nothing runs between the removal of the queue being
// replaced and the create, and a user who loops on the key gets no time to
// take it.
int create_exclusive(const queue_target& t, int replacing, const char** failed_call) {
    const gid_t saved = getegid();
    if (setegid(t.group) == -1) {
        *failed_call = "setegid";
        return -1;
    }
    *failed_call = "msgctl IPC_RMID";
    int id = replacing == -1 ? 0 : msgctl(replacing, IPC_RMID, nullptr);
    if (id == 0 || errno == EINVAL || errno == EIDRM) {  // removed, or gone already
        *failed_call = "msgget";
        id = msgget(t.key, IPC_CREAT | IPC_EXCL);
    }
    const int error = errno;
    if (setegid(saved) == -1) {
        perror("useraccountctl: setegid");
        exit(exit_failure);
    }
    errno = error;
    return id;
}

void count_squatter(squatters& seen, int id, const msqid_ds& info) {
    ++seen.queues_by_creator[info.msg_perm.cuid];
    ++seen.queues;
    seen.messages += waiting(info);
    seen.last_id = id;
}

// Someone else created the queue, and may empty it, read it or re-permission
// it whatever its owner and mode: it went, with what was on it.
void report_squatters(const squatters& seen, const queue_target& t) {
    if (seen.queues == 0) {
        return;
    }
    const std::string who =
        most_first(seen.queues_by_creator, seen.queues_by_creator.size(), false);
    if (seen.queues == 1) {
        report(LOG_WARNING,
               "removed queue %d (key 0x%08x), created by %s, who is neither root nor %s: %lu "
               "message(s) on it discarded unread",
               seen.last_id, static_cast<unsigned>(t.key), who.c_str(), t.owner_text,
               seen.messages);
        return;
    }
    report(LOG_WARNING,
           "removed %lu queues (key 0x%08x) that %s, neither root nor %s, kept creating as "
           "prepare removed them: %lu message(s) on them discarded unread",
           seen.queues, static_cast<unsigned>(t.key), who.c_str(), t.owner_text, seen.messages);
}

void report_full_table() {
    const int error = errno;
    std::string limit = "unknown";
    if (FILE* f = fopen("/proc/sys/kernel/msgmni", "re")) {
        char text[32] = {};
        if (fgets(text, sizeof text, f) != nullptr) {
            limit = std::string(text, strcspn(text, "\n"));
        }
        fclose(f);
    }
    // By creator, whom no owner change hides.
    std::map<uid_t, unsigned long> by_creator;
    std::vector<queue_row> rows;
    read_queue_table(rows);
    for (const queue_row& row : rows) {
        ++by_creator[row.creator];
    }
    const std::string who = most_first(by_creator, 3, true);
    report(LOG_ERR,
           "the system's table of message queues is full (kernel.msgmni is %s; %zu queues "
           "exist; the users who created the most: %s): remove queues no longer needed "
           "(ipcs -q -c, ipcrm -q ID) or raise kernel.msgmni",
           limit.c_str(), rows.size(), who.empty() ? "none listed" : who.c_str());
    errno = error;
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
