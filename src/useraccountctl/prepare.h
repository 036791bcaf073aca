// useraccountctl prepare, between its files: ctl_prepare.cpp reads the
// command line and decides what to do with what it finds under the key;
// prepare_queue.cpp creates the queue exclusively and sets its permissions;
// prepare_messages.cpp holds and moves the messages of a queue made anew.
#pragma once

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/types.h>

#include <string>

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

// On standard output and in the system log: what became of a queue and of
// the messages on it.
[[gnu::format(printf, 2, 3)]] void report(int priority, const char* format, ...);

// Sets a queue's owner, group and mode; false with errno.
bool set_perm(int id, const ipc_perm& perm);

// "owner 101 (useraccountd), group 103 (useraccount), mode 0620"
std::string describe(const ipc_perm& perm);

// The queue with the sender group as its creator group, closed to all but
// root until it is set up; -1 with errno (EEXIST: someone else holds the key).
int create_exclusive(const queue_target& t);

// A queue that anyone could write, closed to all but its owner and group;
// what waited on it is taken off unread. Returns an exit status.
int tighten(int id, msqid_ds& info, const queue_target& t);

// A queue someone else created, removed with what is on it. Returns an exit
// status.
int remove_squatted(int id, const msqid_ds& info, const queue_target& t);

// A queue prepare created, or found with the right creator group, given its
// owner, group and mode, after it has taken back the held messages. Return
// an exit status.
int set_up_created(int id, const queue_target& t, int& holding, msglen_t qbytes);
int set_up_existing(int id, const ipc_perm& before, const queue_target& t, int& holding);

// The messages of a queue to be created anew, moved to holding (a private
// queue made when first needed), then the queue removed; qbytes keeps its
// byte limit. Returns an exit status.
int hold_and_remove(int id, const msqid_ds& info, const queue_target& t, int& holding,
                    msglen_t& qbytes);

// The held messages, in their order, ahead of anything else on the queue id;
// holding is -1 afterwards. Returns an exit status.
int release_held(int id, int& holding);
