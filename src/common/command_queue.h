// The command queue: the contract every sender shares with the daemon.
#pragma once

#include <cstddef>

// Only the identity (device and inode) of this file enters the key.
inline constexpr char queue_key_file[] = "/quex/etc/useraccount/useraccountkey.json";
inline constexpr int queue_project_id = 'G';
inline constexpr int queue_create_flags = 01666;  // IPC_CREAT | 0666, never IPC_EXCL

inline constexpr std::size_t max_text_size = 8191;

// Layout of the System V message interface. No terminator travels on the
// queue; the last byte is kept free for the one the receiver adds.
struct queue_message {
    long mtype;
    char mtext[max_text_size + 1];
};

// Opens the queue; with create, as the daemon does, creates it when missing
// (senders never do, and useraccountctl prepare creates it exclusively). On failure returns -1 with
// errno set (ENOENT: no queue) and *failed_call naming the call that failed ("ftok" or "msgget").
int open_command_queue(const char** failed_call, bool create = true);

enum class receive_result {
    message,      // msg holds a message with its text terminated
    interrupted,  // a handled signal cut the wait short; nothing was taken
    oversized,  // a message over the text limit was taken off and discarded; msg.mtype is its type
};

// Waits for the oldest message of any type. A receive failure other than an
// interruption ends the process with status 1 after a "msgrcv" diagnostic.
receive_result receive_message(int msg_queue_id, queue_message& msg);
