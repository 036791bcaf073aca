// useraccountctl: the operator's tool for useraccountd. It sends account
// commands the way the daemon reads them back, looks at the command queue and
// the daemon, prepares the queue's permissions, keeps the waiting commands
// across a reboot, and stops the daemon in order. This folder holds the tool
// alone: the command table (here), one file per command (ctl_send with
// outcome_wait, ctl_status, ctl_list, ctl_prepare, ctl_stop, ctl_save), the
// custody of queued commands (custody) with its store (root_files) and what
// it does to a queue (queue_ops), the codecs of the saved-commands file
// (saved_file) and of the kernel's table of queues (queue_row), and what the
// commands share (ctl.h). The queue contract, the quoting, the outcome line,
// numbers and the trust in files it shares with the daemon live in
// src/common.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "ctl.h"

namespace {

void print_usage() {
    printf(
        "Usage: %s COMMAND [OPTIONS] [ARGS]\n"
        "\n"
        "Send account commands to useraccountd, look at its command queue, prepare\n"
        "the queue's permissions and stop the daemon in order.\n"
        "\n"
        "Commands:\n"
        "  send WORD...    send one account command made of these words\n"
        "  status          show the queue and, with -p, the daemon holding a PID file\n"
        "  list            show the messages waiting, without taking them off\n"
        "  prepare         give the queue its owner, sender group and mode (as root)\n"
        "  stop            stop a daemon in order, after the command it is running\n"
        "  save            save the commands that wait, for after a reboot (as root)\n"
        "\n"
        "Run '%s COMMAND --help' for the options of a command.\n"
        "Exit status: 0 success, 1 failure, 2 usage error; send tells more apart\n"
        "(see '%s send --help').\n",
        program_name, program_name, program_name);
}

struct command {
    std::string_view name;
    int (*run)(int, char**);
};

constexpr command commands[] = {
    {"send", run_send},       {"status", run_status}, {"list", run_list},
    {"prepare", run_prepare}, {"stop", run_stop},     {"save", run_save},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage_error(program_name, "no command given");
    }
    const std::string_view name = argv[1];
    if (name == "--help" || name == "-h") {
        print_usage();
        return 0;
    }
    for (const command& c : commands) {
        if (c.name != name) {
            continue;
        }
        // getopt names the program by argv[0]; let it name the command as well.
        std::string command_name = std::string(program_name) + " " + argv[1];
        std::vector<char*> command_argv(argv + 1, argv + argc);
        command_argv[0] = command_name.data();
        command_argv.push_back(nullptr);
        return c.run(argc - 1, command_argv.data());
    }
    return usage_error(program_name, "unknown command '%s'", argv[1]);
}
