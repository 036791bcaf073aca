// A row of /proc/sysvipc/msg, the kernel's table of message queues, which
// every user may read, even one who may only write to a queue (IPC_STAT
// needs read permission). Its columns: key, id, permissions (octal), bytes,
// messages, two pids, owner uid and gid, creator uid and gid, then times;
// the first row names them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>

struct queue_row {
    int id = -1;
    unsigned mode = 0;  // the permission bits
    uid_t owner = 0;
    uid_t creator = 0;  // never changes, whoever the owner becomes
};

// The row of one line; nothing for a line that does not read so (the
// column names among them).
std::optional<queue_row> decode_queue_row(std::string_view line);
