// useraccountctl send: one message on the command queue, quoted so that the
// daemon hands exactly the given words to the account script.
#include <getopt.h>
#include <sys/ipc.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "account_command.h"
#include "bounded_number.h"
#include "command_queue.h"
#include "ctl.h"
#include "outcome_wait.h"
#include "queue_ops.h"

namespace {

void print_send_help() {
    printf(
        "Usage: %s send [--type N] [--no-wait] [--wait[=SECONDS]] WORD...\n"
        "       %s send [--type N] [--no-wait] [--wait[=SECONDS]] --raw TEXT\n"
        "\n"
        "Send one message to the command queue. The words are quoted where needed\n"
        "so that the daemon hands exactly these words to the account script.\n"
        "Never creates the queue: the service prepares it when it starts.\n"
        "\n"
        "Options:\n"
        "  -t, --type N          message type, a positive integer (default 1: account command)\n"
        "  -n, --no-wait         fail at once when the queue is full instead of waiting\n"
        "  -r, --raw TEXT        send TEXT unchanged instead of words\n"
        "      --wait[=SECONDS]  then wait (at most SECONDS) for the command's line in the\n"
        "                        outcome record, print it and exit with its outcome\n"
        "      --record FILE     the outcome record (default %s)\n"
        "  -h, --help            print this help\n"
        "\n"
        "A text may hold at most %zu bytes. Put -- before words that start with '-'.\n"
        "Exit status: 0 sent (with --wait: succeeded, or ignored for a type other than 1);\n"
        "1 other failure; 2 usage error; 65 text too long; 69 no queue (not prepared);\n"
        "72 no key file (not installed); 74 queue removed while waiting for room;\n"
        "75 queue full with --no-wait; 76 a queue that root did not create, or that an\n"
        "ordinary user owns; 77 no permission to send. With --wait: 3 failed,\n"
        "4 refused by the daemon, 5 outcome unknown, 6 timed out, 66 record unreadable.\n",
        program_name, program_name, default_record_file, max_text_size);
}

int not_prepared(const char* why) {
    failed("no command queue: the useraccountd service has %s; nothing sent", why);
    return exit_not_prepared;
}

// A sender needs only write permission: asking for the contract's 0666 on an
// existing queue would shut out the members of a write-only sender group.
// A missing queue is never created, whoever sends: a queue made here would
// be open to every user (to inject commands, or to read them), or belong to
// an ordinary user, to empty or remove, and logind removes it when the user
// logs out, with the messages on it. The service prepares the queue.
int open_queue_for_sending(int& queue_id) {
    const char* failed_call = nullptr;
    queue_id = open_command_queue(&failed_call, false);
    if (queue_id != -1) {
        return 0;
    }
    if (errno != ENOENT) {
        return call_failed(failed_call);
    }
    if (failed_call == std::string_view("msgget")) {
        return not_prepared("not prepared the queue yet (it does when it starts)");
    }
    failed("key file %s: %s (is useraccountd installed?); nothing sent", queue_key_file,
           strerror(errno));
    return exit_not_installed;
}

// Debian gives system accounts, the service user among them, ids below this;
// nobody (65534) is none.
constexpr uid_t first_ordinary_uid = 1000;

// The service's queue is created by root (prepare, or a daemon run by hand
// as root) and owned by root or a system account. A queue that someone else
// took under the key while it was free, or that an ordinary user owns, is
// theirs to read, empty or re-permission whatever its mode: nothing goes to
// it. Nor to one of mode 0, which prepare is setting up: root's send would
// pass its permissions and land among the commands it puts back. The queue
// checked is the one opened, by its id: one made anew under the key since
// has another. IPC_STAT needs read permission, which a sender lacks; the
// kernel's table shows every user the owner and creator.
int check_queue_is_roots(int queue_id) {
    std::vector<queue_row> rows;
    if (read_queue_table(rows, "the queue's creator is unknown; nothing sent") != 0) {
        return exit_failure;
    }
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [queue_id](const queue_row& r) { return r.id == queue_id; });
    if (row == rows.end()) {  // removed since it was opened
        return not_prepared("not prepared the queue yet (it does when it starts)");
    }
    if ((row->mode & 0777U) == 0) {
        return not_prepared("not finished preparing the queue");
    }
    if (row->creator != 0) {
        failed(
            "queue %d was created by %s, not by root: it is not the service's, and its creator "
            "can read what is sent to it; nothing sent",
            queue_id, user_name(row->creator).c_str());
        return exit_not_root_queue;
    }
    if (row->owner >= first_ordinary_uid) {
        failed(
            "queue %d is owned by %s, neither root nor a system account: it is not the "
            "service's, and its owner can read what is sent to it; nothing sent",
            queue_id, user_name(row->owner).c_str());
        return exit_not_root_queue;
    }
    return 0;
}

// 0, or the exit status after a message.
int send_message(int queue_id, long type, const std::string& text, int flags) {
    if (send_one(queue_id, type, text, flags) == 0) {
        return 0;
    }
    switch (errno) {
        case EAGAIN:
            call_failed("msgsnd", "the queue is full; nothing sent");
            return exit_queue_full;
        case EACCES:
            call_failed("msgsnd",
                        "the queue's permissions do not let this user send: ask the "
                        "administrator to add it to the sender group; nothing sent");
            return exit_no_permission;
        case EIDRM:
            call_failed("msgsnd", "the queue was removed while waiting for room; nothing sent");
            return exit_queue_removed;
        default:
            return call_failed("msgsnd");
    }
}

}  // namespace

int run_send(int argc, char** argv) {
    // --wait and --record have no short form: -w 5 would send 5 as a word.
    static const option long_options[] = {
        {"type", required_argument, nullptr, 't'},
        {"no-wait", no_argument, nullptr, 'n'},
        {"raw", required_argument, nullptr, 'r'},
        {"wait", optional_argument, nullptr, 'w'},
        {"record", required_argument, nullptr, 'R'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    long type = 1;
    int flags = 0;
    const char* raw_text = nullptr;
    bool wait = false;
    long timeout = 0;
    std::string record = default_record_file;
    int option_char = 0;
    // '+': the first word ends the options, so words may look like options.
    while ((option_char = getopt_long(argc, argv, "+t:nr:h", long_options, nullptr)) != -1) {
        switch (option_char) {
            case 't':
                if (const auto value = parse_number(optarg, 1L, LONG_MAX)) {
                    type = *value;
                    break;
                }
                return usage_error(argv[0], "invalid type '%s': a positive integer is needed",
                                   optarg);
            case 'n':
                flags |= IPC_NOWAIT;
                break;
            case 'r':
                raw_text = optarg;
                break;
            case 'w': {
                const auto value = optarg == nullptr ? std::optional<long>(0)
                                                     : parse_number(optarg, 1L, max_wait_seconds);
                if (!value) {
                    return usage_error(argv[0],
                                       "invalid time '%s': a positive number of seconds is needed",
                                       optarg);
                }
                wait = true;
                timeout = *value;
                break;
            }
            case 'R':
                record = optarg;
                break;
            case 'h':
                print_send_help();
                return 0;
            default:  // getopt has named the problem
                return usage_hint(argv[0]);
        }
    }
    const std::vector<std::string> words(argv + optind, argv + argc);
    if (raw_text != nullptr && !words.empty()) {
        return usage_error(argv[0], "--raw takes one text; extra words given");
    }
    if (raw_text == nullptr && words.empty()) {
        return usage_error(argv[0], "no words to send");
    }
    const std::string text = raw_text != nullptr ? std::string(raw_text) : join_words(words);
    if (text.size() > max_text_size) {
        failed("text of %zu bytes is over the limit of %zu bytes; nothing sent", text.size(),
               max_text_size);
        return exit_text_too_long;
    }

    int queue_id = -1;
    int status = open_queue_for_sending(queue_id);
    if (status != 0 || (status = check_queue_is_roots(queue_id)) != 0) {
        return status;
    }
    // Where the record ends before the send: the command's line comes after.
    outcome_follower follower(record);
    if (wait && (status = follower.mark_end()) != 0) {
        return status;
    }
    if ((status = send_message(queue_id, type, text, flags)) != 0 || !wait) {
        return status;
    }
    return follower.wait_for(type, text, timeout);
}
