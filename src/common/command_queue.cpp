#include "command_queue.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int open_command_queue(const char** failed_call, bool create) {
    const key_t key = ftok(queue_key_file, queue_project_id);
    if (key == -1) {
        *failed_call = "ftok";
        return -1;
    }
    const int id = msgget(key, create ? queue_create_flags : 0);
    if (id == -1) {
        *failed_call = "msgget";
        return -1;
    }
    return id;
}

receive_result receive_message(int msg_queue_id, queue_message& msg) {
    ssize_t n = msgrcv(msg_queue_id, &msg, max_text_size, 0, 0);
    if (n == -1 && errno == E2BIG) {
        // Left in place, an oversized message would block the queue for good:
        // every later receive, and every restart, would meet it first. Take it
        // off with room for one byte past the limit, so a message that fits
        // (another reader may have taken the big one meanwhile) is told apart.
        n = msgrcv(msg_queue_id, &msg, max_text_size + 1, 0, IPC_NOWAIT | MSG_NOERROR);
        if (n > static_cast<ssize_t>(max_text_size)) {
            return receive_result::oversized;
        }
        if (n == -1 && errno == ENOMSG) {
            return receive_result::interrupted;
        }
    }
    if (n == -1) {
        if (errno == EINTR) {
            return receive_result::interrupted;
        }
        perror("msgrcv");
        exit(1);
    }
    msg.mtext[max_text_size] = '\0';
    msg.mtext[n] = '\0';
    return receive_result::message;
}
