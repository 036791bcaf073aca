// useraccountctl prepare and save, between their files: ctl_prepare.cpp
// reads the command line and decides what to do with what it finds under the
// key; prepare_queue.cpp creates the queue exclusively and sets its
// permissions; prepare_messages.cpp holds and moves the messages of a queue
// made anew; prepare_saved.cpp keeps the holding queue's record and puts back
// the commands saved before a reboot, which ctl_save.cpp saves at a stop.
#pragma once

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/types.h>

#include <map>
#include <span>
#include <string>
#include <vector>

#include "saved_commands.h"

inline constexpr unsigned default_mode = 0620;

struct queue_target {
    key_t key = -1;
    uid_t owner = 0;
    gid_t group = 0;
    unsigned mode = default_mode;
    const char* owner_text = nullptr;
    const char* group_text = nullptr;
};

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

// prepare's and save's options into t: --owner, --group when with_group,
// --mode, --help. -1 to go on, else the exit status.
int parse_target_options(int argc, char** argv, bool with_group, void (*print_help)(),
                         queue_target& t);

// On standard output and in the system log, once in the journal: what
// became of a queue and of the messages on it.
[[gnu::format(printf, 2, 3)]] void report(int priority, const char* format, ...);

// Sets a queue's owner, group and mode; false with errno.
bool set_perm(int id, const ipc_perm& perm);

// "owner 101 (useraccountd), group 103 (useraccount), mode 0620"
std::string describe(const ipc_perm& perm);

// The queue with the sender group as its creator group, closed to all but
// root until it is set up, made right after the queue replacing is removed
// (-1: none). -1 with errno and *failed_call set (EEXIST from "msgget":
// someone else took the key in between).
int create_exclusive(const queue_target& t, int replacing, const char** failed_call);

// The queues that others created under the key and prepare removed, told
// once, however many there were.
struct squatters {
    std::map<uid_t, unsigned long> queues_by_creator;
    unsigned long queues = 0;
    unsigned long messages = 0;
    int last_id = -1;
};
void count_squatter(squatters& seen, int id, const msqid_ds& info);
void report_squatters(const squatters& seen, const queue_target& t);

// Why the kernel refuses a new queue with ENOSPC: its limit, how many queues
// there are, and who created the most (in the journal). errno is kept.
void report_full_table();

// A queue that anyone could write, closed to all but its owner and group;
// what waited on it is taken off unread. Returns an exit status.
int tighten(int id, msqid_ds& info, const queue_target& t);

// A queue prepare created, or found with the right creator group, given its
// owner, group and mode, after it has taken back the held messages. Return
// an exit status.
int set_up_created(int id, const queue_target& t, int& holding, msglen_t qbytes);
int set_up_existing(int id, const ipc_perm& before, const queue_target& t, int& holding);

// The messages of a queue to be created anew, moved to holding, the queue
// left closed and empty; qbytes keeps its byte limit. Returns an exit status.
int hold_messages(int id, const msqid_ds& info, const queue_target& t, int& holding,
                  msglen_t& qbytes);

// The held messages, in their order, ahead of anything else on the queue id;
// holding is -1 and its record gone afterwards. Returns an exit status.
int release_held(int id, int& holding);

// Every message on a queue, oldest first, copied, none taken off; and
// messages put at the end of a queue, in order, with room made for them.
// false with errno and *failed_call set.
bool copy_messages(int id, std::vector<queue_entry>& out, const char** failed_call);
bool send_messages(int id, std::span<const queue_entry> messages, const char** failed_call);

// The private queue of root's where messages wait while the key changes
// hands, recorded in a root-only file under /run, so that a prepare that
// ends first leaves them to the next. restoring names the saved commands
// being put on it, and before how many messages it held until then.
struct held_record {
    int id = -1;
    std::string restoring;
    unsigned long before = 0;
};
// The recorded queue, when it is still root's private queue; else id -1.
held_record find_held();
// Makes holding (if -1) and records it. Returns an exit status.
int open_holding(int& holding);
bool record_held(const held_record& record);
void forget_held();

// At a start: the commands saved before a reboot go onto holding, ahead of
// everything; a copy saved in this boot is discarded. Returns an exit status.
int restore_saved(int& holding, const held_record& record);
