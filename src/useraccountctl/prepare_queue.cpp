// useraccountctl prepare, at the key: the queue is made the service's own
// whatever is found there. A queue that someone else created is removed, one
// that anyone could write loses what waited on it, and one whose creator
// group is not the sender group is made anew with its messages. The commands
// kept in the saved-commands file go first onto the queue (custody.h).
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "command_queue.h"
#include "ctl.h"
#include "custody.h"
#include "queue_ops.h"

namespace {

// How long prepare keeps at the key against someone who keeps creating the
// queue; the unit tries again later.
constexpr std::chrono::seconds key_time{5};

// The queues that others created under the key and prepare removed, told
// once, however many there were.
struct squatters {
    std::map<uid_t, unsigned long> queues_by_creator;
    unsigned long queues = 0;
    unsigned long messages = 0;
    int last_id = -1;
};

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

// Someone else created the queue, and may empty it, read it or re-permission
// it whatever its owner and mode: it went, with what was on it.
void report_squatters(const squatters& seen, const queue_target& t) {
    const std::string who =
        most_first(seen.queues_by_creator, seen.queues_by_creator.size(), false);
    if (seen.queues == 1) {
        report(LOG_WARNING,
               "removed queue %d (key 0x%08x), created by %s, who is neither root nor %s: %lu "
               "message(s) on it discarded unread",
               seen.last_id, static_cast<unsigned>(t.key), who.c_str(), t.owner_text,
               seen.messages);
    } else if (seen.queues > 1) {
        report(LOG_WARNING,
               "removed %lu queues (key 0x%08x) that %s, neither root nor %s, kept creating as "
               "prepare removed them: %lu message(s) on them discarded unread",
               seen.queues, static_cast<unsigned>(t.key), who.c_str(), t.owner_text, seen.messages);
    }
}

// Why the kernel refuses a new queue with ENOSPC: its limit, how many queues
// there are, and who created the most (by creator, whom no owner change
// hides).
void report_full_table() {
    std::string limit = "unknown";
    if (FILE* f = fopen("/proc/sys/kernel/msgmni", "re")) {
        char text[32] = {};
        if (fgets(text, sizeof text, f) != nullptr) {
            limit = std::string(text, strcspn(text, "\n"));
        }
        fclose(f);
    }
    std::map<uid_t, unsigned long> by_creator;
    std::vector<queue_row> rows;
    read_queue_table(rows, "who holds the queues is unknown");
    for (const queue_row& row : rows) {
        ++by_creator[row.creator];
    }
    const std::string who = most_first(by_creator, 3, true);
    report(LOG_ERR,
           "the system's table of message queues is full (kernel.msgmni is %s; %zu queues "
           "exist; the users who created the most: %s): remove queues no longer needed "
           "(ipcs -q -c, ipcrm -q ID) or raise kernel.msgmni",
           limit.c_str(), rows.size(), who.empty() ? "none listed" : who.c_str());
}

// A new queue into created after replacing (-1: none) is removed.
int create(const queue_target& t, int replacing, int& created) {
    const int status = create_exclusive(t, replacing, created);
    if (status != 0 && errno == ENOSPC) {
        report_full_table();
    }
    return status;
}

// Closes a queue that anyone could write to everyone outside its owner and
// group, then takes off, unread, what waited on it at that moment: anyone
// could have sent it. What comes later has passed the new permissions.
int tighten(int id, msqid_ds& info, const queue_target& t) {
    const unsigned before = info.msg_perm.mode & 0777U;
    if (set_perm(id, t.owner, t.group, t.mode, "closing the queue to other users") != 0 ||
        msgctl(id, IPC_STAT, &info) == -1) {
        return exit_failure;
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

// A queue prepare keeps as it is, given its owner, group and mode.
int set_up_existing(int id, const ipc_perm& before, const queue_target& t) {
    if (before.uid == t.owner && before.gid == t.group && (before.mode & 0777U) == t.mode) {
        printf("queue %d (key 0x%08x) already so: %s\n", id, static_cast<unsigned>(t.key),
               describe(before).c_str());
        return 0;
    }
    if (set_perm(id, t.owner, t.group, t.mode, "setting up the queue") != 0) {
        return exit_failure;
    }
    ipc_perm after = before;
    after.uid = t.owner;
    after.gid = t.group;
    after.mode = static_cast<decltype(after.mode)>(t.mode);
    printf("changed queue %d (key 0x%08x): %s (was %s)\n", id, static_cast<unsigned>(t.key),
           describe(after).c_str(), describe(before).c_str());
    return 0;
}

// A look at the key: what was found there made the service's own, or left
// in created to be set up. 0 with nothing done when someone else took the
// key meanwhile: look again.
int look_at_key(const queue_target& t, custody& c, squatters& seen, int& created, bool& done) {
    const int id = msgget(t.key, 0);
    if (id == -1 && errno == ENOENT) {
        return create(t, -1, created);
    }
    msqid_ds info{};
    if (id == -1 || msgctl(id, IPC_STAT, &info) == -1) {
        return id != -1 && (errno == EINVAL || errno == EIDRM) ? 0 : call_failed("msgget");
    }
    if (squatted(info.msg_perm, t)) {
        ++seen.queues_by_creator[info.msg_perm.cuid];
        ++seen.queues;
        seen.messages += waiting(info);
        seen.last_id = id;
        return create(t, id, created);
    }
    // An earlier prepare ended while it put the kept commands on this queue:
    // they go on, and it is set up, unless its creator group is no longer
    // the one wanted; then it is made anew with them.
    if (restoring_onto(c, id)) {
        if (info.msg_perm.cgid == t.group) {
            created = id;
            return 0;
        }
        if (restore_onto(c, id, t, false) != 0 || msgctl(id, IPC_STAT, &info) == -1) {
            return exit_failure;
        }
    }
    const ipc_perm found = info.msg_perm;
    if (open_to_all(info.msg_perm, t) && tighten(id, info, t) != 0) {
        return exit_failure;
    }
    if (info.msg_perm.cgid == t.group && !c.file) {
        done = true;
        return set_up_existing(id, found, t);
    }
    return replace_queue(c, id, info, t, created);
}

}  // namespace

int prepare_queue(const queue_target& t) {
    custody c;
    if (const int status = load_custody(c); status != 0) {
        return status;
    }
    squatters seen;
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    int created = -1;
    bool done = false;
    unsigned long rounds = 0;
    while (status == 0 && created == -1 && !done &&
           std::chrono::steady_clock::now() - start < key_time) {
        status = look_at_key(t, c, seen, created, done);
        ++rounds;
    }
    report_squatters(seen, t);
    msqid_ds info{};
    if (created != -1 && (status = restore_onto(c, created, t)) == 0 &&
        msgctl(created, IPC_STAT, &info) == 0) {
        printf("created queue %d (key 0x%08x): %s\n", created, static_cast<unsigned>(t.key),
               describe(info.msg_perm).c_str());
    }
    if (created != -1 || status != 0 || done) {
        return status;
    }
    return failed(
        "could not create the queue (key 0x%08x): someone else took the key each of %lu times "
        "in %lld s",
        static_cast<unsigned>(t.key), rounds, static_cast<long long>(key_time.count()));
}
