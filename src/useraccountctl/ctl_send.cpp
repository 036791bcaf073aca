// useraccountctl send: one message on the command queue, quoted so that the
// daemon hands exactly the given words to the account script.
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "account_command.h"
#include "command_queue.h"
#include "ctl.h"

namespace {

void print_send_help() {
    printf(
        "Usage: %s send [--type N] [--no-wait] WORD...\n"
        "       %s send [--type N] [--no-wait] --raw TEXT\n"
        "\n"
        "Send one message to the command queue. The words are quoted where needed\n"
        "so that the daemon hands exactly these words to the account script.\n"
        "Never creates the queue: the service prepares it when it starts.\n"
        "\n"
        "Options:\n"
        "  -t, --type N     message type, a positive integer (default 1: account command)\n"
        "  -n, --no-wait    fail at once when the queue is full instead of waiting\n"
        "  -r, --raw TEXT   send TEXT unchanged instead of words\n"
        "  -h, --help       print this help\n"
        "\n"
        "A text may hold at most %zu bytes. Put -- before words that start with '-'.\n",
        program_name, program_name, max_text_size);
}

// A sender needs only write permission: asking for the contract's 0666 on an
// existing queue would shut out the members of a write-only sender group.
// A missing queue is never created, whoever sends: a queue made here would
// be open to every user (to inject commands, or to read them), or belong to
// an ordinary user, to empty or remove, and logind removes it when the user
// logs out, with the messages on it. The service prepares the queue.
int open_queue_for_sending() {
    const char* failed_call = nullptr;
    const int queue_id = open_command_queue(&failed_call, false);
    if (queue_id == -1 && errno == ENOENT && failed_call == std::string_view("msgget")) {
        failed(
            "no command queue: the useraccountd service has not prepared the queue yet "
            "(it does when it starts); nothing sent");
    } else if (queue_id == -1) {
        call_failed(failed_call);
    }
    return queue_id;
}

}  // namespace

int run_send(int argc, char** argv) {
    static const option long_options[] = {
        {"type", required_argument, nullptr, 't'},
        {"no-wait", no_argument, nullptr, 'n'},
        {"raw", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    long type = 1;
    int flags = 0;
    const char* raw_text = nullptr;
    int option_char = 0;
    // '+': the first word ends the options, so words may look like options.
    while ((option_char = getopt_long(argc, argv, "+t:nr:h", long_options, nullptr)) != -1) {
        switch (option_char) {
            case 't':
                if (!parse_positive(optarg, &type)) {
                    return usage_error(argv[0], "invalid type '%s': a positive integer is needed",
                                       optarg);
                }
                break;
            case 'n':
                flags |= IPC_NOWAIT;
                break;
            case 'r':
                raw_text = optarg;
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
        return failed("text of %zu bytes is over the limit of %zu bytes; nothing sent", text.size(),
                      max_text_size);
    }

    const int queue_id = open_queue_for_sending();
    if (queue_id == -1) {
        return exit_failure;
    }
    queue_message msg{};
    msg.mtype = type;
    memcpy(msg.mtext, text.data(), text.size());
    while (msgsnd(queue_id, &msg, text.size(), flags) == -1) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            return call_failed("msgsnd", "the queue is full; nothing sent");
        }
        if (errno == EACCES) {
            return call_failed("msgsnd",
                               "the queue's permissions do not let this user send: ask the "
                               "administrator to add it to the sender group; nothing sent");
        }
        return call_failed("msgsnd");
    }
    return 0;
}
