/*
 * send-command.c: sends one account command to useraccountd.
 *
 *   cc -o send-command send-command.c
 *   ./send-command [--no-wait] [--] WORD...
 *
 * The account script receives exactly the given words: each is put in single
 * quotes, and a quote inside a word is written as '\''. By default a full
 * queue is waited for; --no-wait fails at once instead.
 *
 * Exit status: 0 sent; 1 nothing sent (the reason on standard error);
 * 2 usage error. The daemon runs the command later, and its outcome shows
 * only in the journal: see useraccountd-senders(7).
 *
 * Only the C library is used.
 */
#define _XOPEN_SOURCE 700

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#define KEY_FILE "/quex/etc/useraccount/useraccountkey.json"
#define PROJECT_ID 'G'
#define ACCOUNT_COMMAND 1L
#define MAX_TEXT 8191

/* What travels: a C long, then the text bytes, with no terminator. */
struct command_message {
    long mtype;
    char mtext[MAX_TEXT];
};

static const char* program = "send-command";

static int usage(void) {
    fprintf(stderr, "usage: %s [--no-wait] [--] WORD...\n", program);
    return 2;
}

static int not_sent(const char* reason) {
    fprintf(stderr, "%s: %s; nothing sent\n", program, reason);
    return 1;
}

/* The size of word in single quotes: each quote inside becomes 4 bytes. */
static size_t quoted_size(const char* word) {
    size_t size = 2;
    for (; *word != '\0'; ++word) {
        size += *word == '\'' ? 4 : 1;
    }
    return size;
}

static char* put_quoted(char* out, const char* word) {
    *out++ = '\'';
    for (; *word != '\0'; ++word) {
        if (*word == '\'') {
            memcpy(out, "'\\''", 4);
            out += 4;
        } else {
            *out++ = *word;
        }
    }
    *out++ = '\'';
    return out;
}

int main(int argc, char** argv) {
    static struct command_message msg;
    int flags = 0;
    int first = 1;
    size_t size = 0;
    char* end = msg.mtext;
    key_t key;
    int queue;

    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (strcmp(argv[first], "-n") == 0 || strcmp(argv[first], "--no-wait") == 0) {
            flags |= IPC_NOWAIT;
        } else if (strcmp(argv[first], "--") == 0) {
            ++first;
            break;
        } else {
            return usage();
        }
    }
    if (first == argc) {
        return usage();
    }

    for (int i = first; i < argc; ++i) {
        size += quoted_size(argv[i]);
        if (i > first) {
            ++size; /* the blank between words */
        }
    }
    if (size > MAX_TEXT) {
        fprintf(stderr, "%s: the command is %zu bytes, over the limit of %d; nothing sent\n",
                program, size, MAX_TEXT);
        return 1;
    }
    for (int i = first; i < argc; ++i) {
        if (i > first) {
            *end++ = ' ';
        }
        end = put_quoted(end, argv[i]);
    }
    msg.mtype = ACCOUNT_COMMAND;

    key = ftok(KEY_FILE, PROJECT_ID);
    if (key == -1) {
        fprintf(stderr, "%s: key file %s: %s (is useraccountd installed?); nothing sent\n", program,
                KEY_FILE, strerror(errno));
        return 1;
    }
    /* No IPC_CREAT: only the service creates the queue. No permission bits
     * either: asking for read permission, which senders do not have, would
     * fail; msgsnd() checks for write permission itself. */
    queue = msgget(key, 0);
    if (queue == -1) {
        if (errno == ENOENT) {
            return not_sent("no command queue: the useraccountd service has not prepared it yet");
        }
        fprintf(stderr, "%s: msgget: %s; nothing sent\n", program, strerror(errno));
        return 1;
    }
    /* The size counts the text only, not the type. */
    while (msgsnd(queue, &msg, size, flags) == -1) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            return not_sent("the queue is full");
        }
        if (errno == EACCES) {
            return not_sent(
                "permission denied: only root and members of the queue's group may "
                "send (membership counts from the next login)");
        }
        if (errno == EIDRM) {
            return not_sent("the queue was removed while waiting for room");
        }
        fprintf(stderr, "%s: msgsnd: %s; nothing sent\n", program, strerror(errno));
        return 1;
    }
    return 0;
}
