// useraccountctl status: the queue, who controls it, and the daemon holding
// a PID file. Looks only: never creates the queue.
#include <fcntl.h>
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "command_queue.h"
#include "ctl.h"
#include "file_trust.h"
#include "text_escape.h"

namespace {

void print_status_help() {
    printf(
        "Usage: %s status [-p PIDFILE]\n"
        "\n"
        "Show whether the command queue exists, its id, creator, owner and\n"
        "permissions, the messages and bytes waiting, and the last send and receive,\n"
        "with a warning when others may use the queue or someone else controls it.\n"
        "Never creates it.\n"
        "\n"
        "Options:\n"
        "  -p, --pid_file PIDFILE   also show whether a process holds PIDFILE's lock\n"
        "  -h, --help               print this help\n"
        "\n"
        "Exit status: 0 when the queue exists, 1 when it does not or cannot be read.\n",
        program_name);
}

std::string by_pid(pid_t pid) {
    return pid != 0 ? " by pid " + std::to_string(pid) : "";
}

// The queue, and who else may use or control it, in plain words.
void print_queue(int id, const msqid_ds& info) {
    const ipc_perm& perm = info.msg_perm;
    printf("id:             %d\n", id);
    printf("creator:        user %s, group %s\n", user_name(perm.cuid).c_str(),
           group_name(perm.cgid).c_str());
    printf("owner:          user %s, group %s\n", user_name(perm.uid).c_str(),
           group_name(perm.gid).c_str());
    printf("permissions:    %04o\n", perm.mode & 07777U);
    if ((perm.mode & 0004U) != 0) {
        printf(
            "warning:        any local user may read the queue, and so take and read the "
            "commands that others send\n");
    }
    if ((perm.mode & 0002U) != 0) {
        printf("warning:        any local user may send commands to the queue\n");
    }
    if (perm.cuid != 0 && perm.cuid != perm.uid) {
        printf(
            "warning:        the queue was created by user %s, who is neither root nor its "
            "owner: that user may empty it, change its permissions or remove it\n",
            user_name(perm.cuid).c_str());
    }
    if (info.msg_qbytes == 0) {
        printf("warning:        the queue takes no messages: its byte limit is 0\n");
    }
    printf("messages:       %lu\n", static_cast<unsigned long>(info.msg_qnum));
    printf("bytes:          %lu of %lu\n", static_cast<unsigned long>(info.msg_cbytes),
           static_cast<unsigned long>(info.msg_qbytes));
    printf("last send:      %s%s\n", local_time(info.msg_stime).c_str(),
           by_pid(info.msg_lspid).c_str());
    printf("last receive:   %s%s\n", local_time(info.msg_rtime).c_str(),
           by_pid(info.msg_lrpid).c_str());
}

// Who holds the lock on the PID file, as the daemon takes it.
int print_pid_file_status(const char* pid_file) {
    printf("pid file:       %s\n", pid_file);
    const unique_fd fd(
        open_checked(AT_FDCWD, pid_file, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, file_use::readable));
    if (!fd && errno == ENOENT) {
        printf("daemon:         not running (no PID file)\n");
        return 0;
    }
    const pid_t holder = fd ? lock_holder(fd.get()) : -1;
    if (!fd || holder == -1) {
        return call_failed(!fd ? (std::string("open ") + pid_file).c_str() : "fcntl F_GETLK");
    }
    if (holder == 0) {
        printf("daemon:         not running (no process holds the lock)\n");
    } else {
        printf("daemon:         running, pid %ld holds the lock\n", static_cast<long>(holder));
    }
    char content[64];
    const ssize_t n = read(fd.get(), content, sizeof content);
    if (n == -1) {
        return call_failed("read");
    }
    std::string_view pid_text(content, static_cast<std::size_t>(n));
    while (pid_text.ends_with('\n')) {
        pid_text.remove_suffix(1);
    }
    printf("pid in file:    %s\n", escape_text(pid_text, escape_style::exact).c_str());
    return 0;
}

}  // namespace

int run_status(int argc, char** argv) {
    static const option long_options[] = {
        {"pid_file", required_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char* pid_file = nullptr;
    for (int option_char;
         (option_char = getopt_long(argc, argv, "p:h", long_options, nullptr)) != -1;) {
        if (option_char == 'h') {
            print_status_help();
            return 0;
        }
        if (option_char != 'p') {
            return usage_hint(argv[0]);
        }
        pid_file = optarg;
    }
    if (optind < argc) {
        return usage_error(argv[0], "unexpected argument '%s'", argv[optind]);
    }
    const key_t key = ftok(queue_key_file, queue_project_id);
    const char* failed_call = nullptr;
    const int queue_id = open_command_queue(&failed_call, false);
    msqid_ds info{};
    int status = 0;
    if (queue_id == -1 && errno == ENOENT && failed_call == std::string_view("msgget")) {
        printf("queue:          none (key 0x%08x)\n", static_cast<unsigned>(key));
        status = exit_failure;
    } else if (queue_id == -1) {
        return call_failed(failed_call, queue_key_file);
    } else if (msgctl(queue_id, IPC_STAT, &info) == -1) {
        return call_failed("msgctl IPC_STAT");
    } else {
        printf("queue:          exists (key 0x%08x)\n", static_cast<unsigned>(key));
        print_queue(queue_id, info);
    }
    if (pid_file != nullptr && print_pid_file_status(pid_file) != 0) {
        status = exit_failure;
    }
    return status;
}
