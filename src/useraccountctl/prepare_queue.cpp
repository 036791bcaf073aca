// useraccountctl prepare: the queue created exclusively, by root with the
// sender group as its creator group, and given its owner, group and mode; a
// queue that anyone could write, or that someone else created, made safe.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command_queue.h"
#include "ctl.h"
#include "prepare.h"

bool set_perm(int id, const ipc_perm& perm) {
    msqid_ds info{};
    if (msgctl(id, IPC_STAT, &info) == -1) {
        return false;
    }
    info.msg_perm.uid = perm.uid;
    info.msg_perm.gid = perm.gid;
    info.msg_perm.mode = perm.mode;
    return msgctl(id, IPC_SET, &info) == 0;
}

namespace {

ipc_perm target_perm(const queue_target& t) {
    ipc_perm perm{};
    perm.uid = t.owner;
    perm.gid = t.group;
    perm.mode = static_cast<decltype(perm.mode)>(t.mode);
    return perm;
}

}  // namespace

std::string describe(const ipc_perm& perm) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", perm.mode & 0777U);
    return "owner " + user_name(perm.uid) + ", group " + group_name(perm.gid) + ", mode " + mode;
}

void report(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list log_args;
    va_copy(log_args, args);
    vprintf(format, args);
    putchar('\n');
    fflush(stdout);
    vsyslog(priority, format, log_args);
    va_end(log_args);
    va_end(args);
}

// The queue with the sender group as its creator group, closed (mode 0) to
// all but root until it is set up. The kernel grants the group bits to the
// creator group as well as to the owner group, never changes the creator
// group, and takes it from the effective group of the creating process.
// -1 with errno (EEXIST: someone else holds the key).
int create_exclusive(const queue_target& t) {
    const gid_t saved = getegid();
    if (setegid(t.group) == -1) {
        return -1;
    }
    const int id = msgget(t.key, IPC_CREAT | IPC_EXCL);
    const int error = errno;
    if (setegid(saved) == -1) {
        perror("useraccountctl: setegid");
        exit(exit_failure);
    }
    errno = error;
    return id;
}

// Closes a queue that anyone could write to everyone outside its owner and
// group, then takes off, unread, what waited on it at that moment: anyone
// could have sent it. What comes later has passed the new permissions.
int tighten(int id, msqid_ds& info, const queue_target& t) {
    const unsigned before = info.msg_perm.mode & 0777U;
    if (!set_perm(id, target_perm(t)) || msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl", "closing the queue to other users");
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

// Someone else created the queue, and may empty it, read it or re-permission
// it whatever its owner and mode: it goes, with what is on it.
int remove_squatted(int id, const msqid_ds& info, const queue_target& t) {
    if (msgctl(id, IPC_RMID, nullptr) == -1) {
        if (errno == EINVAL || errno == EIDRM) {
            return 0;  // gone already
        }
        return call_failed("msgctl IPC_RMID", "removing a queue someone else created");
    }
    report(LOG_WARNING,
           "removed queue %d (key 0x%08x), created by uid %s, who is neither root nor %s: %lu "
           "message(s) on it discarded unread",
           id, static_cast<unsigned>(t.key), user_name(info.msg_perm.cuid).c_str(), t.owner_text,
           waiting(info));
    return 0;
}

int set_up_created(int id, const queue_target& t, int& holding, msglen_t qbytes) {
    msqid_ds info{};
    if (qbytes != 0) {
        if (msgctl(id, IPC_STAT, &info) == -1) {
            return call_failed("msgctl IPC_STAT");
        }
        info.msg_qbytes = qbytes;
        if (msgctl(id, IPC_SET, &info) == -1) {
            return call_failed("msgctl IPC_SET", "the byte limit of the queue it replaces");
        }
    }
    if (release_held(id, holding) != 0) {
        return exit_failure;
    }
    if (!set_perm(id, target_perm(t)) || msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl IPC_SET");
    }
    printf("created queue %d (key 0x%08x): %s\n", id, static_cast<unsigned>(t.key),
           describe(info.msg_perm).c_str());
    return 0;
}

// before: the permissions as prepare found them.
int set_up_existing(int id, const ipc_perm& before, const queue_target& t, int& holding) {
    if (release_held(id, holding) != 0) {
        return exit_failure;
    }
    if (before.uid == t.owner && before.gid == t.group && (before.mode & 0777U) == t.mode) {
        printf("queue %d (key 0x%08x) already so: %s\n", id, static_cast<unsigned>(t.key),
               describe(before).c_str());
        return 0;
    }
    const ipc_perm after = target_perm(t);
    if (!set_perm(id, after)) {
        return call_failed("msgctl IPC_SET");
    }
    printf("changed queue %d (key 0x%08x): %s (was %s)\n", id, static_cast<unsigned>(t.key),
           describe(after).c_str(), describe(before).c_str());
    return 0;
}
