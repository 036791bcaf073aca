// useraccountctl: the operator's tool for the command queue. It sends
// account commands the way the daemon reads them back, and looks at the
// queue (and the daemon's PID file) without changing anything.
#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "account_command.h"
#include "command_queue.h"

namespace {

constexpr char program_name[] = "useraccountctl";

constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

[[gnu::format(printf, 2, 0)]] void print_message(const char* who, const char* format,
                                                 va_list args) {
    fprintf(stderr, "%s: ", who);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

[[gnu::format(printf, 1, 2)]] int failed(const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_message(program_name, format, args);
    va_end(args);
    return exit_failure;
}

// Every failed call reads "useraccountctl: CALL: ERROR TEXT", with an
// optional note for the operator in parentheses.
int call_failed(const char* call, const char* note = nullptr) {
    const char* error_text = strerror(errno);
    if (note != nullptr) {
        return failed("%s: %s (%s)", call, error_text, note);
    }
    return failed("%s: %s", call, error_text);
}

// command is "useraccountctl" or "useraccountctl send", as getopt names it.
int usage_hint(const char* command) {
    fprintf(stderr, "Try '%s --help'.\n", command);
    return exit_usage;
}

[[gnu::format(printf, 2, 3)]] int usage_error(const char* command, const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_message(command, format, args);
    va_end(args);
    return usage_hint(command);
}

void print_usage() {
    printf(
        "Usage: %s COMMAND [OPTIONS] [ARGS]\n"
        "\n"
        "Send account commands to useraccountd and look at its command queue.\n"
        "\n"
        "Commands:\n"
        "  send WORD...    send one account command made of these words\n"
        "  status          show the queue and, with -p, the daemon holding a PID file\n"
        "  list            show the messages waiting, without taking them off\n"
        "\n"
        "Run '%s COMMAND --help' for the options of a command.\n"
        "Exit status: 0 success, 1 failure, 2 usage error.\n",
        program_name, program_name);
}

void print_send_help() {
    printf(
        "Usage: %s send [--type N] [--no-wait] WORD...\n"
        "       %s send [--type N] [--no-wait] --raw TEXT\n"
        "\n"
        "Send one message to the command queue, creating the queue when missing.\n"
        "The words are quoted where needed so that the daemon hands exactly these\n"
        "words to the account script.\n"
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

void print_status_help() {
    printf(
        "Usage: %s status [-p PIDFILE]\n"
        "\n"
        "Show whether the command queue exists, its id, owner and permissions, the\n"
        "messages and bytes waiting, and the last send and receive. Never creates it.\n"
        "\n"
        "Options:\n"
        "  -p, --pid_file PIDFILE   also show whether a process holds PIDFILE's lock\n"
        "  -h, --help               print this help\n"
        "\n"
        "Exit status: 0 when the queue exists, 1 when it does not or cannot be read.\n",
        program_name);
}

void print_list_help() {
    printf(
        "Usage: %s list\n"
        "\n"
        "Show every message waiting, oldest first, with its position, type, size and\n"
        "text (non-printing bytes escaped), without taking anything off the queue.\n"
        "Never creates the queue.\n"
        "\n"
        "Options:\n"
        "  -h, --help   print this help\n",
        program_name);
}

// A whole positive decimal long, nothing else.
bool parse_type(const char* text, long* type) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0) {
        return false;
    }
    *type = value;
    return true;
}

std::string escape_text(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                if (c >= 0x20 && c < 0x7f) {
                    escaped.push_back(c);
                } else {
                    char hex[5];
                    snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
                    escaped += hex;
                }
        }
    }
    return escaped;
}

std::string format_time(time_t when) {
    if (when == 0) {
        return "never";
    }
    char text[64];
    struct tm local {};
    if (localtime_r(&when, &local) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0) {
        return std::to_string(when);
    }
    return text;
}

std::string user_name(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    std::string text = std::to_string(uid);
    if (entry != nullptr) {
        text += " (" + std::string(entry->pw_name) + ")";
    }
    return text;
}

std::string group_name(gid_t gid) {
    const group* entry = getgrgid(gid);
    std::string text = std::to_string(gid);
    if (entry != nullptr) {
        text += " (" + std::string(entry->gr_name) + ")";
    }
    return text;
}

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
                if (!parse_type(optarg, &type)) {
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

    const char* failed_call = nullptr;
    const int queue_id = open_command_queue(&failed_call);
    if (queue_id == -1) {
        return call_failed(failed_call);
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
        return call_failed("msgsnd");
    }
    return 0;
}

// Who holds the lock on the PID file, as the daemon takes it.
int print_pid_file_status(const char* pid_file) {
    printf("pid file:       %s\n", pid_file);
    const int fd = open(pid_file, O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        if (errno == ENOENT) {
            printf("daemon:         not running (no PID file)\n");
            return 0;
        }
        const std::string call = std::string("open ") + pid_file;
        return call_failed(call.c_str());
    }
    int status = 0;
    // A read-only descriptor may still ask about a write lock.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &lock) == -1) {
        status = call_failed("fcntl F_GETLK");
    } else if (lock.l_type == F_UNLCK) {
        printf("daemon:         not running (no process holds the lock)\n");
    } else {
        printf("daemon:         running, pid %ld holds the lock\n", static_cast<long>(lock.l_pid));
    }

    char content[64];
    const ssize_t n = read(fd, content, sizeof content);
    if (n == -1) {
        status = call_failed("read");
    } else {
        std::string_view pid_text(content, static_cast<std::size_t>(n));
        while (!pid_text.empty() && pid_text.back() == '\n') {
            pid_text.remove_suffix(1);
        }
        printf("pid in file:    %s\n", escape_text(pid_text).c_str());
    }
    close(fd);
    return status;
}

int run_status(int argc, char** argv) {
    static const option long_options[] = {
        {"pid_file", required_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char* pid_file = nullptr;
    int option_char = 0;
    while ((option_char = getopt_long(argc, argv, "p:h", long_options, nullptr)) != -1) {
        switch (option_char) {
            case 'p':
                pid_file = optarg;
                break;
            case 'h':
                print_status_help();
                return 0;
            default:
                return usage_hint(argv[0]);
        }
    }
    if (optind < argc) {
        return usage_error(argv[0], "unexpected argument '%s'", argv[optind]);
    }

    // Looking must never create the queue.
    const key_t key = ftok(queue_key_file, queue_project_id);
    const char* failed_call = nullptr;
    const int queue_id = open_command_queue(&failed_call, false);
    const bool no_queue =
        queue_id == -1 && errno == ENOENT && failed_call == std::string_view("msgget");
    int status = 0;
    if (no_queue) {
        printf("queue:          none (key 0x%08x)\n", static_cast<unsigned>(key));
        status = exit_failure;
    } else if (queue_id == -1) {
        return call_failed(failed_call, queue_key_file);
    } else {
        msqid_ds info{};
        if (msgctl(queue_id, IPC_STAT, &info) == -1) {
            return call_failed("msgctl IPC_STAT");
        }
        printf("queue:          exists (key 0x%08x)\n", static_cast<unsigned>(key));
        printf("id:             %d\n", queue_id);
        printf("owner:          user %s, group %s\n", user_name(info.msg_perm.uid).c_str(),
               group_name(info.msg_perm.gid).c_str());
        printf("permissions:    %04o\n", info.msg_perm.mode & 07777U);
        printf("messages:       %lu\n", static_cast<unsigned long>(info.msg_qnum));
        printf("bytes:          %lu of %lu\n", static_cast<unsigned long>(info.msg_cbytes),
               static_cast<unsigned long>(info.msg_qbytes));
        printf("last send:      %s", format_time(info.msg_stime).c_str());
        if (info.msg_lspid != 0) {
            printf(" by pid %ld", static_cast<long>(info.msg_lspid));
        }
        printf("\nlast receive:   %s", format_time(info.msg_rtime).c_str());
        if (info.msg_lrpid != 0) {
            printf(" by pid %ld", static_cast<long>(info.msg_lrpid));
        }
        printf("\n");
    }
    if (pid_file != nullptr && print_pid_file_status(pid_file) != 0) {
        status = exit_failure;
    }
    return status;
}

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
        printf("%-8ld %-10ld %-6zd %s\n", position, buffer[0], n, escape_text(text).c_str());
    }
    if (position == 0) {
        printf("no messages waiting\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage_error(program_name, "no command given");
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h") {
        print_usage();
        return 0;
    }
    int (*run)(int, char**) = nullptr;
    if (command == "send") {
        run = run_send;
    } else if (command == "status") {
        run = run_status;
    } else if (command == "list") {
        run = run_list;
    } else {
        return usage_error(program_name, "unknown command '%s'", argv[1]);
    }
    // getopt names the program by argv[0]; let it name the command as well.
    std::string command_name = std::string(program_name) + " " + argv[1];
    std::vector<char*> command_argv(argv + 1, argv + argc);
    command_argv[0] = command_name.data();
    command_argv.push_back(nullptr);
    return run(argc - 1, command_argv.data());
}
