#include "service_loop.h"

#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "account_command.h"
#include "command_queue.h"
#include "daemon.h"
#include "notify.h"
#include "outcome_record.h"
#include "signals.h"
#include "text_escape.h"

namespace {

// The text is anybody's: escaped, it stays one line on a terminal or in the
// journal and cannot pass for a line of the daemon's own.
const char* escaped_text(const queue_message& msg) {
    static char escaped[escaped_size_max(max_text_size) + 1];
    const std::size_t length = escape_text(msg.mtext, escaped, escape_style::echo);
    escaped[length] = '\0';
    return escaped;
}

// system() with SIGCHLD at its default action: daemon mode ignores SIGCHLD,
// and the kernel would then reap the shell before system() learns how the
// command ended.
int run_to_its_end(const std::string& command_line) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    struct sigaction saved {};
    sigaction(SIGCHLD, &default_action, &saved);
    const int status = system(command_line.c_str());
    const int saved_errno = errno;
    sigaction(SIGCHLD, &saved, nullptr);
    errno = saved_errno;
    return status;
}

// A command that fails is logged: the message is off the queue, and only
// this entry tells that it was not carried out.
void run_account_command(const char* text, const char* escaped) {
    const char* error = nullptr;
    const std::string command_line = build_command_line(text, &error);
    if (error != nullptr) {
        syslog(LOG_ERR, "Refused account command: %s", error);
        record_outcome(1, outcome::refused, error, text);
        return;
    }
    // system() ignores SIGINT while it waits, and a SIGTERM is only recorded,
    // so no stop request cuts an account command short.
    command_running = 1;
    notify_status(activity::in_command);
    record_command_start(text);
    const int status = run_to_its_end(command_line);
    const int run_error = errno;
    command_running = 0;
    record_command_end(text, status, run_error);
    notify_command_ended(status == -1 || WIFSIGNALED(status) || WEXITSTATUS(status) != 0);
    errno = run_error;
    if (status == -1) {
        syslog(LOG_ERR, "Can not run account command: %s, error: %s", escaped, strerror(errno));
    } else if (WIFSIGNALED(status)) {
        syslog(LOG_ERR, "Account command ended by signal %d: %s", WTERMSIG(status), escaped);
    } else if (WEXITSTATUS(status) != 0) {
        syslog(LOG_ERR, "Account command ended with status %d: %s", WEXITSTATUS(status), escaped);
    }
}

void pause_after_message() {
    // A negative delay would be a pause of many years as an unsigned count.
    if (delay > 0) {
        notify_status(activity::pausing, delay);
        sleep(static_cast<unsigned>(delay));
    }
}

}  // namespace

int run_service_loop(int msg_queue_id, const char* log_stream_name) {
    static queue_message msg;
    int counter = 0;

    for (;;) {
        perform_requests();
        if (running != 1) {
            return 0;
        }
        const int written = fprintf(log_stream, "Debug: %d\n", counter);
        counter = counter == INT_MAX ? 0 : counter + 1;
        if (written < 0) {
            syslog(LOG_ERR, "Can not write to log stream: %s, error: %s", log_stream_name,
                   strerror(errno));
            return 1;
        }
        if (fflush(log_stream) != 0) {
            syslog(LOG_ERR, "Can not fflush() log stream: %s, error: %s", log_stream_name,
                   strerror(errno));
            return 1;
        }
        puts("receiving msg..... ");
        notify_status(activity::waiting);

        switch (receive_message(msg_queue_id, msg)) {
            case receive_result::interrupted:
                continue;
            case receive_result::oversized:
                syslog(LOG_ERR, "Dropped oversized message of type %ld", msg.mtype);
                record_outcome(msg.mtype, outcome::oversized, "over 8191 bytes", "");
                break;
            case receive_result::message: {
                const char* escaped = escaped_text(msg);
                printf("\nTesing...... Type:%ld      %s\n", msg.mtype, escaped);
                if (msg.mtype == 1) {
                    run_account_command(msg.mtext, escaped);
                } else {
                    record_outcome(msg.mtype, outcome::ignored, "", msg.mtext);
                }
                break;
            }
        }

        // A request that came while the message was served is carried out
        // now; a stop skips the pause.
        perform_requests();
        if (running != 1) {
            return 0;
        }
        pause_after_message();
    }
}
