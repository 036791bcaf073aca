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
#include "command_result.h"
#include "daemon.h"
#include "notify.h"
#include "outcome_record.h"
#include "signals.h"
#include "text_escape.h"

namespace {

// The one place the loop tells the service manager what it does.
void enter(daemon_state now) {
    notify_state(now, delay);
}

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
void log_result(const command_result& result, const char* escaped) {
    switch (result.what) {
        case outcome::error:
            syslog(LOG_ERR, "Can not run account command: %s, error: %s", escaped, result.detail);
            break;
        case outcome::signal:
            syslog(LOG_ERR, "Account command ended by signal %d: %s", result.number, escaped);
            break;
        case outcome::failed:
            syslog(LOG_ERR, "Account command ended with status %d: %s", result.number, escaped);
            break;
        default:
            break;
    }
}

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
    enter(daemon_state::in_command);
    record_command_start(text);
    const int status = run_to_its_end(command_line);
    const command_result result = result_of(status, errno);
    command_running = 0;
    record_command_end(text, result);
    notify_command_ended(result);
    log_result(result, escaped);
}

// Carries out the requests that came since the last look, in their order;
// false once the loop is to end.
bool carry_out_requests() {
    for (const request r : take_requests()) {
        if (r == request::stop) {
            stop_daemon();
        } else if (r == request::reload) {
            enter(daemon_state::reloading);
            reload_daemon();
        }
    }
    return running == 1;
}

int serve(int msg_queue_id, const char* log_stream_name) {
    static queue_message msg;
    int counter = 0;

    while (carry_out_requests()) {
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
        enter(daemon_state::waiting);

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
        // now; a stop skips the pause. A negative delay would be a pause of
        // many years as an unsigned count.
        if (carry_out_requests() && delay > 0) {
            enter(daemon_state::pausing);
            sleep(static_cast<unsigned>(delay));
        }
    }
    return 0;
}

}  // namespace

command_result result_of(int wait_status, int run_error) {
    command_result result;
    if (wait_status == -1) {
        result = {outcome::error, run_error, {}};
        snprintf(result.detail, sizeof result.detail, "%s", strerror(run_error));
        return result;
    }
    if (WIFSIGNALED(wait_status)) {
        result = {outcome::signal, WTERMSIG(wait_status), {}};
    } else {
        const int status = WEXITSTATUS(wait_status);
        result = {status == 0 ? outcome::succeeded : outcome::failed, status, {}};
    }
    snprintf(result.detail, sizeof result.detail, "%d", result.number);
    return result;
}

int run_service_loop(int msg_queue_id, const char* log_stream_name) {
    const int status = serve(msg_queue_id, log_stream_name);
    enter(daemon_state::stopping);
    return status;
}
