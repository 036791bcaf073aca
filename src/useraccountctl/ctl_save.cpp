// useraccountctl save: the commands that still wait when the service stops,
// written to a file of root's. The queue lives in kernel memory and goes with
// a reboot; the next prepare after one puts them back first, and the next in
// the same boot discards the copy, since the queue still holds them.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "command_queue.h"
#include "ctl.h"
#include "prepare.h"
#include "state_files.h"

namespace {

void print_save_help() {
    printf(
        "Usage: %s save --owner USER [--mode MODE]\n"
        "\n"
        "Save the commands that wait on the command queue, and on a private queue\n"
        "where an interrupted prepare left them, to %s, as root, so\n"
        "that the next prepare after a reboot puts them back first; a prepare in the\n"
        "same boot discards the copy, since the queue keeps them. The packaged service\n"
        "runs it at every stop. USER and MODE are those given to prepare: a queue\n"
        "that someone else created, or that any local user could write while MODE\n"
        "does not let them, is not saved, as prepare would discard what is on it.\n"
        "The commands saved in an earlier boot and not yet put back are kept.\n"
        "\n"
        "Options:\n"
        "  -o, --owner USER   the queue's owner: the user the daemon runs as\n"
        "  -m, --mode MODE    permission bits given to the queue, octal (default 0620)\n"
        "  -h, --help         print this help\n"
        "\n"
        "Exit status: 0 saved, or nothing to save; 1 failed.\n",
        program_name, saved_commands_path);
}

std::string now_stamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char text[48];
    snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(now.tv_sec), now.tv_nsec);
    return text;
}

// The commands on the service's queue, appended to out. Those on a queue
// that prepare would empty or remove stay out.
bool copy_queue(const queue_target& t, std::vector<queue_entry>& out) {
    const int id = msgget(t.key, 0);
    msqid_ds info{};
    if (id == -1 && errno == ENOENT) {
        return true;
    }
    if (id == -1 || msgctl(id, IPC_STAT, &info) == -1) {
        call_failed(id == -1 ? "msgget" : "msgctl IPC_STAT");
        return false;
    }
    if (squatted(info.msg_perm, t) || open_to_all(info.msg_perm, t)) {
        const std::string why = squatted(info.msg_perm, t)
                                    ? "uid " + user_name(info.msg_perm.cuid) + " created the queue"
                                    : "any local user could send them";
        report(LOG_WARNING,
               "the %lu message(s) on queue %d (key 0x%08x) are not saved: %s, so prepare "
               "discards them",
               waiting(info), id, static_cast<unsigned>(t.key), why.c_str());
        return true;
    }
    const char* failed_call = nullptr;
    if (!copy_messages(id, out, &failed_call)) {
        call_failed(failed_call);
        return false;
    }
    return true;
}

}  // namespace

int run_save(int argc, char** argv) {
    queue_target t;
    if (const int status = parse_target_options(argc, argv, false, print_save_help, t);
        status != -1) {
        return status;
    }
    if (geteuid() != 0) {
        return failed("only root may save the waiting commands; nothing saved");
    }
    openlog(program_name, LOG_PID, LOG_DAEMON);
    std::string problem;
    std::string old;
    saved_commands saved;
    saved.boot_id = current_boot_id(problem);
    const int dir = saved.boot_id.empty() ? -1 : open_root_dir(state_dir, true, problem);
    const file_state state =
        dir == -1 ? file_state::refused : read_root_file(dir, saved_commands_name, old, problem);
    // Replacing a file that is not what a save writes could lose what it
    // holds, or write through a link someone planted.
    saved_commands earlier;
    if (state == file_state::refused ||
        (state == file_state::read && !decode_saved(old, earlier, problem))) {
        report(LOG_ERR, "waiting commands not saved: %s: %s", saved_commands_path, problem.c_str());
        closelog();
        return exit_failure;
    }
    // An earlier boot's commands that no start has put back yet exist only
    // in that file: it stays.
    if (state == file_state::read && earlier.boot_id != saved.boot_id) {
        report(LOG_WARNING,
               "kept the %zu command(s) saved at %s in an earlier boot, not yet put back; "
               "what waits now is not saved",
               earlier.messages.size(), saved_time(earlier).c_str());
        close(dir);
        closelog();
        return 0;
    }
    const held_record held = find_held();
    const char* failed_call = nullptr;
    t.key = ftok(queue_key_file, queue_project_id);
    bool copied = held.id == -1 || copy_messages(held.id, saved.messages, &failed_call);
    if (!copied) {
        call_failed(failed_call, "the private queue that holds messages");
    }
    copied = copied && (t.key == -1 || copy_queue(t, saved.messages));
    saved.saved_at = now_stamp();
    const bool written =
        copied && (saved.messages.empty()
                       ? remove_root_file(dir, saved_commands_name, problem)
                       : write_root_file(dir, saved_commands_name, encode_saved(saved), problem));
    close(dir);
    if (!written) {
        report(LOG_ERR, "waiting commands not saved to %s%s%s", saved_commands_path,
               problem.empty() ? "" : ": ", problem.c_str());
    } else if (saved.messages.empty()) {
        report(LOG_INFO, "no commands wait on the queue: nothing saved");
    } else {
        report(LOG_INFO,
               "saved %zu waiting command(s) to %s: the next start after a reboot puts them "
               "back first",
               saved.messages.size(), saved_commands_path);
    }
    closelog();
    return written ? 0 : exit_failure;
}
