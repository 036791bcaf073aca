// The saved-commands file: the one store that keeps queued commands through
// what the kernel's queue does not outlive, a reboot and the queue's
// re-creation (custody.h). It carries any bytes:
//
//   useraccountd saved commands 2
//   boot BOOT-ID
//   saved SECONDS.NANOSECONDS
//   state saved | replacing QUEUE COUNT LIMIT | restoring QUEUE LIMIT
//   count N
//   message TYPE LENGTH      (N times, each followed by LENGTH bytes of text
//   ...                       and a newline)
//   end
//
// BOOT-ID is the boot in which the file was written, and QUEUE, a queue id,
// means something in that boot only. saved: written at a stop, the commands
// still on the queue then. replacing: the queue QUEUE is being made anew; its
// first COUNT messages are the last COUNT here. restoring: the commands go
// onto the new queue QUEUE, which holds those that went already. LIMIT is
// the byte limit the new queue keeps, 0 for the kernel's default.
//
// Version 1, written by 1.2.0, has no state line: its commands were saved.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One message as it travels on a queue: its type and the bytes of its text.
struct queue_entry {
    long type = 0;
    std::string text;
    friend bool operator==(const queue_entry&, const queue_entry&) = default;
};

enum class custody_state { saved, replacing, restoring };

struct saved_commands {
    std::string boot_id;
    std::string saved_at;
    custody_state state = custody_state::saved;
    int queue = -1;
    std::size_t from_queue = 0;
    unsigned long long byte_limit = 0;
    std::vector<queue_entry> messages;
    friend bool operator==(const saved_commands&, const saved_commands&) = default;
};

std::string encode_saved(const saved_commands& saved);

// The file's content, or nothing with *problem set for anything but one
// whole file in this format.
std::optional<saved_commands> decode_saved(std::string_view data, std::string* problem);
