// What prepare, save and the custody of queued commands do to a queue: look
// at it, give it permissions, create it exclusively, copy its messages and
// put messages on it. Each returns 0 or an exit status after a message
// (ctl.h), unless it says otherwise.
#pragma once

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "queue_row.h"
#include "saved_file.h"

inline constexpr unsigned default_mode = 0620;

// The queue that prepare and save are told the service wants.
struct queue_target {
    key_t key = -1;
    uid_t owner = 0;
    gid_t group = 0;
    unsigned mode = default_mode;
    const char* owner_text = nullptr;
    const char* group_text = nullptr;
};

// prepare's and save's options into t (ctl_prepare.cpp): --owner, --group
// when with_group, --mode, --help. The exit status when the command ends
// there (help, a usage error), else nothing.
std::optional<int> read_target_options(int argc, char** argv, bool with_group, void (*print_help)(),
                                       queue_target& t);

// prepare at the key (prepare_queue.cpp): the queue made the service's own,
// with the commands kept for it put first.
int prepare_queue(const queue_target& t);

inline unsigned long waiting(const msqid_ds& info) {
    return static_cast<unsigned long>(info.msg_qnum);
}

// A queue under the key that neither root nor the service user created: its
// creator may read, empty or re-permission it, whatever its mode.
inline bool squatted(const ipc_perm& perm, const queue_target& t) {
    return perm.cuid != 0 && perm.cuid != t.owner;
}
// Any local user could have sent what waits on it, which the mode wanted
// does not allow.
inline bool open_to_all(const ipc_perm& perm, const queue_target& t) {
    return (perm.mode & 0002U) != 0 && (t.mode & 0002U) == 0;
}

// "owner 101 (useraccountd), group 103 (useraccount), mode 0620"
std::string describe(const ipc_perm& perm);

// Gives the queue this owner, group and mode; a mode of 0 closes it to all
// but root. note tells the operator what it was for.
int set_perm(int id, uid_t owner, gid_t group, unsigned mode, const char* note);

// A new queue under the key, with the sender group as its creator group,
// closed (mode 0) to all but root until it is set up, made right after the
// queue replacing is removed (-1: none). created is -1 when someone else
// took the key in between.
int create_exclusive(const queue_target& t, int replacing, int& created);

// Every message on the queue, oldest first, copied, none taken off.
int copy_messages(int id, std::vector<queue_entry>& out);

// Gives the queue the byte limit limit (0: the one it has), raised to the
// room for count more messages of bytes in all when that is more.
int make_room(int id, unsigned long long limit, unsigned long long bytes, unsigned long count);

// One message at the end of the queue. It waits for room unless flags hold
// IPC_NOWAIT, and sends again after a signal. 0, or -1 with errno and nothing
// reported.
int send_one(int id, long type, std::string_view text, int flags);

// The kernel's table of queues in this IPC namespace; note says what its
// loss costs.
int read_queue_table(std::vector<queue_row>& rows, const char* note);
