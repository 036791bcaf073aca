// useraccountctl prepare: the messages of a queue that is created anew wait
// on a private queue of root's while the key changes hands, then move over in
// their order, ahead of anything sent since.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "ctl.h"
#include "prepare.h"

namespace {

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

// Room for the system's largest message: anything on a queue fits. 0 with
// *failed_call set when the limit cannot be read.
std::size_t text_room(std::vector<long>& buffer, const char** failed_call) {
    msginfo limits{};
    if (msgctl(0, IPC_INFO, reinterpret_cast<msqid_ds*>(&limits)) == -1) {
        *failed_call = "msgctl IPC_INFO";
        return 0;
    }
    const auto room = static_cast<std::size_t>(limits.msgmax);
    buffer.assign(1 + (room + sizeof(long) - 1) / sizeof(long), 0);
    return room;
}

// Moves every message from one queue to the end of another, oldest first,
// types and texts unchanged. Each one is copied before it is taken off, so
// that none is ever on neither queue. The number moved, or -1 with errno and
// *failed_call set, the rest left where it was.
long move_messages(int from, int to, const char** failed_call) {
    std::vector<long> buffer;
    const std::size_t room = text_room(buffer, failed_call);
    if (room == 0) {
        return -1;
    }
    for (long moved = 0;; ++moved) {
        // With MSG_COPY the type argument picks a message by its position.
        const ssize_t n = msgrcv(from, buffer.data(), room, 0, MSG_COPY | IPC_NOWAIT);
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

}  // namespace

bool copy_messages(int id, std::vector<queue_entry>& out, const char** failed_call) {
    std::vector<long> buffer;
    const std::size_t room = text_room(buffer, failed_call);
    for (long position = 0; room != 0; ++position) {
        // With MSG_COPY the type argument picks a message by its position.
        const ssize_t n = msgrcv(id, buffer.data(), room, position, MSG_COPY | IPC_NOWAIT);
        if (n == -1) {
            *failed_call = "msgrcv";
            return errno == ENOMSG;
        }
        out.push_back({buffer[0], std::string(reinterpret_cast<const char*>(buffer.data() + 1),
                                              static_cast<std::size_t>(n))});
    }
    return false;
}

bool send_messages(int id, std::span<const queue_entry> messages, const char** failed_call) {
    const auto bytes =
        std::accumulate(messages.begin(), messages.end(), msglen_t{0},
                        [](msglen_t sum, const queue_entry& m) { return sum + m.text.size(); });
    *failed_call = "msgctl IPC_SET";
    if (!make_room(id, bytes, messages.size())) {
        return false;
    }
    *failed_call = "msgsnd";
    std::vector<long> buffer;
    for (const queue_entry& m : messages) {
        buffer.assign(1 + (m.text.size() + sizeof(long) - 1) / sizeof(long), 0);
        buffer[0] = m.type;
        m.text.copy(reinterpret_cast<char*>(buffer.data() + 1), m.text.size());
        if (msgsnd(id, buffer.data(), m.text.size(), IPC_NOWAIT) == -1) {
            return false;
        }
    }
    return true;
}

// The messages of a queue that is to be created anew wait on a private queue
// of root's (made when first needed): a key names one queue at a time. The
// queue is closed to everyone first, so that nothing is sent to it that would
// go with it; the caller removes it. *qbytes keeps its byte limit.
int hold_messages(int id, const msqid_ds& info, const queue_target& t, int& holding,
                  msglen_t& qbytes) {
    ipc_perm closed = info.msg_perm;
    closed.mode = 0;
    msqid_ds now{};
    if (!set_perm(id, closed) || msgctl(id, IPC_STAT, &now) == -1) {
        return call_failed("msgctl", "closing the queue to move its messages");
    }
    qbytes = std::max(qbytes, now.msg_qbytes);
    const bool any = waiting(now) != 0;
    if (any && open_holding(holding) != 0) {
        (void)set_perm(id, info.msg_perm);
        return exit_failure;
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
    return 0;
}

// The held messages, in their order, ahead of anything else on the queue:
// what waits there is newer, and goes behind them first, with the queue
// closed meanwhile, so that nobody sends in between.
int release_held(int id, int& holding) {
    if (holding == -1) {
        return 0;
    }
    msqid_ds now{};
    msqid_ds held{};
    const char* failed_call = "msgctl IPC_STAT";
    long newer = 0;
    long moved = -1;
    if (msgctl(id, IPC_STAT, &now) == 0) {
        ipc_perm closed = now.msg_perm;
        closed.mode = 0;
        failed_call = "msgctl IPC_SET";
        if (waiting(now) != 0 &&
            (!set_perm(id, closed) || !make_room(holding, now.msg_cbytes, now.msg_qnum) ||
             (newer = move_messages(id, holding, &failed_call)) == -1)) {
            (void)set_perm(id, now.msg_perm);
            return call_failed(failed_call, "putting the held messages first");
        }
        failed_call = "msgctl";
        if (msgctl(holding, IPC_STAT, &held) == 0 &&
            make_room(id, held.msg_cbytes, held.msg_qnum)) {
            moved = move_messages(holding, id, &failed_call);
        }
        if (waiting(now) != 0 && !set_perm(id, now.msg_perm)) {
            failed_call = "msgctl IPC_SET";
            moved = -1;
        }
    }
    if (moved == -1) {
        return call_failed(failed_call, "moving the held messages");
    }
    report(LOG_INFO, "moved %ld message(s) from private queue %d to queue %d, in order", moved,
           holding, id);
    if (newer != 0) {
        report(LOG_INFO, "the %ld message(s) that waited on queue %d are newer: they come after",
               newer, id);
    }
    msgctl(holding, IPC_RMID, nullptr);
    holding = -1;
    forget_held();
    return 0;
}
