// useraccountctl list: the messages waiting, copied, never taken off.
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include "command_queue.h"
#include "ctl.h"
#include "text_escape.h"

namespace {

void print_list_help() {
    printf(
        "Usage: %s list\n"
        "\n"
        "Show every message waiting, oldest first, with its position, type, size and\n"
        "text (non-printing bytes escaped), without taking anything off the queue.\n"
        "Never creates the queue. Needs read permission on it.\n"
        "\n"
        "Options:\n"
        "  -h, --help   print this help\n",
        program_name);
}

}  // namespace

int run_list(int argc, char** argv) {
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
        if (option_char == 'h') {
            print_list_help();
            return 0;
        }
        return usage_hint(argv[0]);
    }
    if (optind < argc) {
        return usage_error(argv[0], "unexpected argument '%s'", argv[optind]);
    }

    const char* failed_call = nullptr;
    const int queue_id = open_command_queue(&failed_call, false);
    if (queue_id == -1) {
        const bool no_queue = errno == ENOENT && failed_call == std::string_view("msgget");
        return call_failed(failed_call, no_queue ? "no command queue" : queue_key_file);
    }
    // Anything on the queue fits in the system's largest message, even a
    // message the daemon would refuse as oversized.
    msginfo limits{};
    if (msgctl(0, IPC_INFO, reinterpret_cast<msqid_ds*>(&limits)) == -1) {
        return call_failed("msgctl IPC_INFO");
    }
    const auto text_room = static_cast<std::size_t>(limits.msgmax);
    std::vector<long> buffer(1 + (text_room + sizeof(long) - 1) / sizeof(long));

    long position = 0;
    for (;; ++position) {
        // With MSG_COPY the type argument picks a message by its position.
        const ssize_t n =
            msgrcv(queue_id, buffer.data(), text_room, position, MSG_COPY | IPC_NOWAIT);
        if (n == -1) {
            if (errno == ENOMSG) {
                break;
            }
            if (errno == ENOSYS) {
                return call_failed("msgrcv", "this kernel cannot copy messages (MSG_COPY)");
            }
            return call_failed("msgrcv");
        }
        if (position == 0) {
            printf("%-8s %-10s %-6s %s\n", "POSITION", "TYPE", "SIZE", "TEXT");
        }
        const std::string_view text(reinterpret_cast<const char*>(buffer.data() + 1),
                                    static_cast<std::size_t>(n));
        printf("%-8ld %-10ld %-6zd %s\n", position, buffer[0], n,
               escape_text(text, escape_style::exact).c_str());
    }
    if (position == 0) {
        printf("no messages waiting\n");
    }
    return 0;
}
