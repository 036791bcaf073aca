// useraccountctl prepare: the messages of a queue that is created anew wait
// on a private queue of root's while the key changes hands, then move over in
// their order, ahead of anything sent since.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
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

}  // namespace

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
