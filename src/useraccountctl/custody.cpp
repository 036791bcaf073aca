#include "custody.h"

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <numeric>

#include "ctl.h"
#include "root_files.h"

namespace {

constexpr char not_restored[] = "saved commands not restored, the file left as it is";

// Each step of the custody that changes the queue or the file. A test build
// (USERACCOUNTCTL_KILL_STEP) ends itself by SIGKILL at the step that
// $USERACCOUNTCTL_KILL_AT counts to, so that a test proves that a kill at
// any of them loses nothing; the installed tool has no such hook.
void step() {
#ifdef USERACCOUNTCTL_KILL_STEP
    static long taken = 0;
    const char* at = getenv("USERACCOUNTCTL_KILL_AT");
    if (at != nullptr && ++taken == strtol(at, nullptr, 10)) {
        raise(SIGKILL);
    }
#endif
}

bool holds_commands(const custody& c) {
    return c.file && !c.file->messages.empty();
}

void tell_restored(const custody& c, int id) {
    if (c.loaded != 0 && c.loaded_state == custody_state::saved) {
        report(LOG_INFO,
               "restored %zu command(s) saved at %s, before a reboot: they come first on the queue",
               c.loaded, c.loaded_time.c_str());
    } else if (c.loaded != 0) {
        report(LOG_INFO,
               "put back %zu command(s) that an earlier start kept in %s while it made the queue "
               "anew: they come first",
               c.loaded, saved_commands_path);
    }
    if (c.moved != 0) {
        report(LOG_INFO, "moved %zu message(s) from queue %d to queue %d, in order", c.moved,
               c.moved_from, id);
    }
}

}  // namespace

int load_custody(custody& c) {
    // The file is root's: the service's own prepare runs as root.
    const std::optional<std::string> boot = geteuid() == 0 ? current_boot_id(not_restored) : "";
    c.blocked = !boot;
    if (!boot || boot->empty()) {
        return 0;
    }
    c.boot_id = *boot;
    std::optional<saved_commands> saved;
    c.blocked = read_saved(saved, not_restored) != 0;
    if (!saved) {
        return 0;
    }
    c.this_boot = saved->boot_id == c.boot_id;
    if (c.this_boot && saved->state == custody_state::saved) {
        if (remove_saved("the copy stays") != 0) {
            return exit_failure;
        }
        report(LOG_INFO,
               "discarded the copy of %zu command(s) saved at %s in this boot: they were never "
               "lost (a restart keeps the queue), or went with a queue removed since",
               saved->messages.size(), saved_time(*saved).c_str());
        return 0;
    }
    c.loaded_state = saved->state;
    c.loaded_time = saved_time(*saved);
    c.loaded = saved->messages.size();
    c.file = std::move(saved);
    step();
    return 0;
}

bool restoring_onto(const custody& c, int id) {
    return c.this_boot && c.file && c.file->state == custody_state::restoring &&
           c.file->queue == id;
}

int replace_queue(custody& c, int id, const msqid_ds& info, const queue_target& t, int& created) {
    created = -1;
    // Closed first: nobody but root may send to it, so what is copied is all
    // that it will ever hold.
    const ipc_perm& was = info.msg_perm;
    msqid_ds closed{};
    if (((was.mode & 0777U) != 0 &&
         set_perm(id, was.uid, was.gid, 0, "closing the queue to make it anew") != 0) ||
        msgctl(id, IPC_STAT, &closed) == -1) {
        return errno == EINVAL || errno == EIDRM ? 0 : exit_failure;  // removed meanwhile
    }
    step();
    std::vector<queue_entry> copied;
    saved_commands next = c.file.value_or(saved_commands{});
    next.saved_at = c.file ? next.saved_at : save_stamp();
    const bool keep = waiting(closed) != 0 || holds_commands(c);
    int status = !keep ? 0
                 : geteuid() != 0
                     ? failed("only root may make anew a queue whose messages are kept")
                 : c.blocked ? failed("the saved commands cannot be written")
                             : copy_messages(id, copied);
    if (keep && status == 0) {
        // A replacement of this very queue that died left its first messages
        // in the file already.
        const std::size_t skip =
            c.this_boot && next.state == custody_state::replacing && next.queue == id
                ? std::min({next.from_queue, next.messages.size(), copied.size()})
                : 0;
        next.messages.insert(next.messages.end(), copied.begin() + static_cast<long>(skip),
                             copied.end());
        next.boot_id = c.boot_id;
        next.state = custody_state::replacing;
        next.queue = id;
        next.from_queue = copied.size();
        next.byte_limit = std::max<unsigned long long>(next.byte_limit, closed.msg_qbytes);
        status = write_saved(next, "the queue keeps its messages and is opened again");
        c.loaded -= skip;
    }
    if (status != 0) {
        set_perm(id, was.uid, was.gid, was.mode & 0777U, "opening the queue again");
        return failed("queue %d keeps its %lu message(s)", id, waiting(closed));
    }
    if (keep) {
        c.file = std::move(next);
        c.this_boot = true;
        c.moved_from = id;
        c.moved = copied.size();
        step();
    }
    const std::string meanwhile = keep ? "; its " + std::to_string(copied.size()) +
                                             " message(s) wait in " + saved_commands_path +
                                             " meanwhile"
                                       : "";
    if (was.cgid != t.group) {
        report(LOG_INFO,
               "queue %d (key 0x%08x) has creator group %s, not %s, which the kernel cannot "
               "change: creating it anew%s",
               id, static_cast<unsigned>(t.key), group_name(was.cgid).c_str(),
               group_name(t.group).c_str(), meanwhile.c_str());
    } else {
        report(LOG_INFO,
               "queue %d (key 0x%08x) is created anew, so that the commands kept in %s come "
               "first%s",
               id, static_cast<unsigned>(t.key), saved_commands_path, meanwhile.c_str());
    }
    status = create_exclusive(t, id, created);
    step();
    return status;
}

int restore_onto(custody& c, int id, const queue_target& t, bool set_up) {
    step();
    msqid_ds now{};
    if (msgctl(id, IPC_STAT, &now) == -1) {
        return call_failed("msgctl IPC_STAT");
    }
    // Only prepare gives a closed queue its permissions, once every kept
    // command is on it; until then only root may send to it, and prepare
    // alone does: what it holds went from the file.
    const bool closed = (now.msg_perm.mode & 0777U) == 0;
    if (holds_commands(c) && (closed || !restoring_onto(c, id))) {
        saved_commands& file = *c.file;
        if (!restoring_onto(c, id)) {
            file.state = custody_state::restoring;
            file.queue = id;
            file.boot_id = c.boot_id;
            file.from_queue = 0;
            if (write_saved(file, "the new queue stays closed") != 0) {
                return exit_failure;
            }
            c.this_boot = true;
            step();
        }
        const auto rest = file.messages.begin() + static_cast<long>(std::min<std::size_t>(
                                                      waiting(now), file.messages.size()));
        const auto bytes = std::accumulate(
            rest, file.messages.end(), 0ULL,
            [](unsigned long long sum, const queue_entry& m) { return sum + m.text.size(); });
        if (make_room(id, file.byte_limit, bytes,
                      static_cast<unsigned long>(file.messages.end() - rest)) != 0) {
            return exit_failure;
        }
        for (auto m = rest; m != file.messages.end(); ++m) {
            if (send_one(id, m->type, m->text, IPC_NOWAIT) != 0) {
                call_failed("msgsnd");
                return failed("the commands not yet put back stay in %s", saved_commands_path);
            }
            step();
        }
    }
    if (set_up) {
        if (set_perm(id, t.owner, t.group, t.mode, "setting up the queue") != 0) {
            return exit_failure;
        }
        step();
    }
    if (c.file) {
        if (remove_saved("it is left, and the next start discards it") != 0) {
            return exit_failure;
        }
        step();
        tell_restored(c, id);
    }
    c.file.reset();
    return 0;
}
