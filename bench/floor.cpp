// The floor of the benchmarks: a server that does only what the queue
// contract requires of any reader, and nothing else. It takes the oldest
// message, and for type 1 runs the same command line as useraccountd through
// system(). No log stream, no echo, no pause, no signal handling: SIGINT ends
// it by its default action.
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "account_command.h"
#include "command_queue.h"

int main() {
    const char* failed_call = nullptr;
    const int msg_queue_id = open_command_queue(&failed_call);
    if (msg_queue_id == -1) {
        perror(failed_call);
        return 1;
    }
    static queue_message msg;
    for (;;) {
        const ssize_t n = msgrcv(msg_queue_id, &msg, max_text_size, 0, 0);
        if (n == -1) {
            if (errno == EINTR) {
                continue;
            }
            perror("msgrcv");
            return 1;
        }
        msg.mtext[n] = '\0';
        if (msg.mtype == 1) {
            const char* error = nullptr;
            const std::string command_line = build_command_line(msg.mtext, &error);
            if (error == nullptr) {
                (void)system(command_line.c_str());
            }
        }
    }
}
