#include "service_loop.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "account_command.h"
#include "command_queue.h"
#include "daemon.h"
#include "signals.h"
#include "text_escape.h"

namespace {

void run_account_command(const char* text) {
    const char* error = nullptr;
    const std::string command_line = build_command_line(text, &error);
    if (error != nullptr) {
        syslog(LOG_ERR, "Refused account command: %s", error);
        return;
    }
    // system() ignores SIGINT while it waits, so a stop request cannot cut
    // an account command short; its status is not ours to judge.
    command_running = 1;
    (void)!system(command_line.c_str());
    command_running = 0;
}

// The text is anybody's: escaped, it stays one line on a terminal or in the
// journal and cannot pass for a line of the daemon's own.
void echo_message(const queue_message& msg) {
    static char escaped[escaped_size_max(max_text_size) + 1];
    const std::size_t length = escape_text(msg.mtext, escaped, escape_style::echo);
    escaped[length] = '\0';
    printf("\nTesing...... Type:%ld      %s\n", msg.mtype, escaped);
}

void pause_after_message() {
    // A negative delay would be a pause of many years as an unsigned count.
    if (delay > 0) {
        sleep(static_cast<unsigned>(delay));
    }
}

}  // namespace

void run_service_loop(int msg_queue_id, const char* log_stream_name) {
    static queue_message msg;
    int counter = 0;

    for (;;) {
        perform_requests();
        if (running != 1) {
            break;
        }
        const int written = fprintf(log_stream, "Debug: %d\n", counter);
        counter = counter == INT_MAX ? 0 : counter + 1;
        if (written < 0) {
            syslog(LOG_ERR, "Can not write to log stream: %s, error: %s", log_stream_name,
                   strerror(errno));
            break;
        }
        if (fflush(log_stream) != 0) {
            syslog(LOG_ERR, "Can not fflush() log stream: %s, error: %s", log_stream_name,
                   strerror(errno));
            break;
        }
        puts("receiving msg..... ");

        switch (receive_message(msg_queue_id, msg)) {
            case receive_result::interrupted:
                continue;
            case receive_result::oversized:
                syslog(LOG_ERR, "Dropped oversized message of type %ld", msg.mtype);
                break;
            case receive_result::message:
                echo_message(msg);
                if (msg.mtype == 1) {
                    run_account_command(msg.mtext);
                }
                break;
        }

        // A request that came while the message was served is carried out
        // now; a stop skips the pause.
        perform_requests();
        if (running != 1) {
            break;
        }
        pause_after_message();
    }
}
