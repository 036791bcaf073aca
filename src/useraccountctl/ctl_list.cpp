// useraccountctl list: the messages waiting, copied, never taken off.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include "command_queue.h"
#include "ctl.h"
#include "queue_ops.h"
#include "text_escape.h"

int run_list(int argc, char** argv) {
    static const option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    if (const int option_char = getopt_long(argc, argv, "h", long_options, nullptr);
        option_char != -1) {
        if (option_char != 'h') {
            return usage_hint(argv[0]);
        }
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
        return 0;
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
    // Even a message the daemon would refuse as oversized.
    std::vector<queue_entry> messages;
    if (copy_messages(queue_id, messages) != 0) {
        return exit_failure;
    }
    if (messages.empty()) {
        printf("no messages waiting\n");
        return 0;
    }
    printf("%-8s %-10s %-6s %s\n", "POSITION", "TYPE", "SIZE", "TEXT");
    for (std::size_t i = 0; i < messages.size(); ++i) {
        printf("%-8zu %-10ld %-6zu %s\n", i, messages[i].type, messages[i].text.size(),
               escape_text(messages[i].text, escape_style::exact).c_str());
    }
    return 0;
}
