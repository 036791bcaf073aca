// useraccountctl save: the commands that still wait when the service stops,
// written to the saved-commands file (custody.h). The queue lives in kernel
// memory and goes with a reboot; the next prepare after one puts them back
// first, and the next in the same boot discards the copy, since the queue
// still holds them.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "command_queue.h"
#include "ctl.h"
#include "queue_ops.h"
#include "root_files.h"

namespace {

constexpr char not_saved[] = "waiting commands not saved";

void print_save_help() {
    printf(
        "Usage: %s save --owner USER [--mode MODE]\n"
        "\n"
        "Save the commands that wait on the command queue to %s,\n"
        "as root, so that the next prepare after a reboot puts them back first; a\n"
        "prepare in the same boot discards the copy, since the queue keeps them. The\n"
        "packaged service runs it at every stop. USER and MODE are those given to\n"
        "prepare: a queue that someone else created, or that any local user could\n"
        "write while MODE does not let them, is not saved, as prepare would discard\n"
        "what is on it. Commands in the file that no start has put back yet are kept.\n"
        "\n"
        "Options:\n"
        "  -o, --owner USER   the queue's owner: the user the daemon runs as\n"
        "  -m, --mode MODE    permission bits given to the queue, octal (default 0620)\n"
        "  -h, --help         print this help\n"
        "\n"
        "Exit status: 0 saved, or nothing to save; 1 failed.\n",
        program_name, saved_commands_path);
}

// The messages on the service's queue, appended to out; none from a queue
// that prepare would empty or remove.
int copy_queue(const queue_target& t, std::vector<queue_entry>& out) {
    const int id = t.key == -1 ? -1 : msgget(t.key, 0);
    msqid_ds info{};
    if (id == -1) {
        return t.key == -1 || errno == ENOENT ? 0 : call_failed("msgget");
    }
    if (msgctl(id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl IPC_STAT");
    }
    if (!squatted(info.msg_perm, t) && !open_to_all(info.msg_perm, t)) {
        return copy_messages(id, out);
    }
    const std::string why = squatted(info.msg_perm, t)
                                ? "uid " + user_name(info.msg_perm.cuid) + " created the queue"
                                : "any local user could send them";
    report(LOG_WARNING,
           "the %lu message(s) on queue %d (key 0x%08x) are not saved: %s, so prepare discards "
           "them",
           waiting(info), id, static_cast<unsigned>(t.key), why.c_str());
    return 0;
}

int save_waiting(const queue_target& t) {
    const std::optional<std::string> boot = current_boot_id(not_saved);
    std::optional<saved_commands> earlier;
    if (!boot || read_saved(earlier, not_saved) != 0) {
        return exit_failure;
    }
    // Commands that no start has put back yet exist only in that file: it
    // stays, for the prepare that puts them back.
    if (earlier && (earlier->boot_id != *boot || earlier->state != custody_state::saved)) {
        report(LOG_WARNING,
               "kept the %zu command(s) in %s that no start has put back yet (saved at %s); "
               "what waits now is not saved",
               earlier->messages.size(), saved_commands_path, saved_time(*earlier).c_str());
        return 0;
    }
    saved_commands now;
    now.boot_id = *boot;
    now.saved_at = save_stamp();
    if (copy_queue(t, now.messages) != 0) {
        return exit_failure;
    }
    if (now.messages.empty()) {
        if (remove_saved(not_saved) != 0) {
            return exit_failure;
        }
        report(LOG_INFO, "no commands wait on the queue: nothing saved");
        return 0;
    }
    if (write_saved(now, not_saved) != 0) {
        return exit_failure;
    }
    report(LOG_INFO,
           "saved %zu waiting command(s) to %s: the next start after a reboot puts them back "
           "first",
           now.messages.size(), saved_commands_path);
    return 0;
}

}  // namespace

int run_save(int argc, char** argv) {
    queue_target t;
    if (const auto status = read_target_options(argc, argv, false, print_save_help, t)) {
        return *status;
    }
    if (geteuid() != 0) {
        return failed("only root may save the waiting commands; nothing saved");
    }
    t.key = ftok(queue_key_file, queue_project_id);
    openlog(program_name, LOG_PID, LOG_DAEMON);
    const int status = save_waiting(t);
    closelog();
    return status;
}
