#include "queue_ops.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "ctl.h"

std::string describe(const ipc_perm& perm) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", perm.mode & 0777U);
    return "owner " + user_name(perm.uid) + ", group " + group_name(perm.gid) + ", mode " + mode;
}

int set_perm(int id, uid_t owner, gid_t group, unsigned mode, const char* note) {
    msqid_ds info{};
    if (msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl IPC_STAT", note);
    }
    info.msg_perm.uid = owner;
    info.msg_perm.gid = group;
    info.msg_perm.mode = static_cast<decltype(info.msg_perm.mode)>(mode);
    return msgctl(id, IPC_SET, &info) == 0 ? 0 : call_failed("msgctl IPC_SET", note);
}

// The kernel grants the group bits to the creator group as well as to the
// owner group, never changes the creator group, and takes it from the
// effective group of the creating process: that is set first, so that
// nothing runs between the removal of the queue being replaced and the
// create, and a user who loops on the key gets no time to take it.
int create_exclusive(const queue_target& t, int replacing, int& created) {
    created = -1;
    const gid_t saved = getegid();
    if (setegid(t.group) == -1) {
        return call_failed("setegid");
    }
    const char* failed_call = "msgctl IPC_RMID";
    int id = replacing == -1 ? 0 : msgctl(replacing, IPC_RMID, nullptr);
    if (id == 0 || errno == EINVAL || errno == EIDRM) {  // removed, or gone already
        failed_call = "msgget";
        id = msgget(t.key, IPC_CREAT | IPC_EXCL);
    }
    const int error = errno;
    if (setegid(saved) == -1) {
        perror("useraccountctl: setegid");
        exit(exit_failure);
    }
    errno = error;
    if (id != -1) {
        created = id;
        return 0;
    }
    return errno == EEXIST ? 0 : call_failed(failed_call);
}

int copy_messages(int id, std::vector<queue_entry>& out) {
    // Room for the system's largest message: anything on a queue fits.
    msginfo limits{};
    if (msgctl(0, IPC_INFO, reinterpret_cast<msqid_ds*>(&limits)) == -1 || limits.msgmax == 0) {
        return call_failed("msgctl IPC_INFO");
    }
    const auto room = static_cast<std::size_t>(limits.msgmax);
    std::vector<long> buffer(1 + (room + sizeof(long) - 1) / sizeof(long), 0);
    for (long position = 0;; ++position) {
        // With MSG_COPY the type argument picks a message by its position.
        const ssize_t n = msgrcv(id, buffer.data(), room, position, MSG_COPY | IPC_NOWAIT);
        if (n == -1) {
            return errno == ENOMSG ? 0
                   : errno == ENOSYS
                       ? call_failed("msgrcv", "this kernel cannot copy messages (MSG_COPY)")
                       : call_failed("msgrcv");
        }
        out.push_back({buffer[0], std::string(reinterpret_cast<const char*>(buffer.data() + 1),
                                              static_cast<std::size_t>(n))});
    }
}

int make_room(int id, unsigned long long limit, unsigned long long bytes, unsigned long count) {
    msqid_ds info{};
    if (msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl IPC_STAT");
    }
    // The kernel counts each message against the byte limit as well.
    const unsigned long long needed =
        std::max(static_cast<unsigned long long>(info.msg_cbytes) + bytes,
                 static_cast<unsigned long long>(info.msg_qnum) + count);
    const unsigned long long wanted = std::max(limit != 0 ? limit : info.msg_qbytes, needed);
    if (info.msg_qbytes == wanted) {
        return 0;
    }
    info.msg_qbytes = static_cast<msglen_t>(wanted);
    return msgctl(id, IPC_SET, &info) == 0 ? 0 : call_failed("msgctl IPC_SET", "the byte limit");
}

int send_one(int id, long type, std::string_view text, int flags) {
    std::vector<long> buffer(1 + (text.size() + sizeof(long) - 1) / sizeof(long), 0);
    buffer[0] = type;
    text.copy(reinterpret_cast<char*>(buffer.data() + 1), text.size());
    while (msgsnd(id, buffer.data(), text.size(), flags) == -1) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

int read_queue_table(std::vector<queue_row>& rows, const char* note) {
    FILE* table = fopen("/proc/sysvipc/msg", "re");
    if (table == nullptr) {
        return call_failed("/proc/sysvipc/msg", note);
    }
    char* line = nullptr;
    std::size_t size = 0;
    while (getline(&line, &size, table) != -1) {
        if (const auto row = decode_queue_row(line)) {
            rows.push_back(*row);
        }
    }
    const int error = ferror(table) != 0 ? errno : 0;
    free(line);
    fclose(table);
    errno = error;
    return error == 0 ? 0 : call_failed("/proc/sysvipc/msg", note);
}
