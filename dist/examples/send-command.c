/* send-command.c: sends one account command to useraccountd and exits with its outcome,
 * with the statuses of useraccountctl send; useraccountd-senders(7) explains each step.
 *   cc -o send-command send-command.c && ./send-command [--no-wait] [--timeout=S] add alice */
#define _XOPEN_SOURCE 700
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <time.h>

#define KEY_FILE "/quex/etc/useraccount/useraccountkey.json"
#define RECORD_DIR "/var/log/useraccountd"
#define RECORD RECORD_DIR "/outcomes.log"
#define MAX_TEXT 8191
#define FAIL(s, ...) (fprintf(stderr, "send-command: " __VA_ARGS__), fputc('\n', stderr), s)

static struct {
    long mtype; /* the C long of this program */
    char mtext[MAX_TEXT];
} msg = {1, {0}};
static size_t size; /* of the text, counted on past MAX_TEXT */
static char line[4 * MAX_TEXT + 512];

static void put(const char* bytes, size_t n) {
    if (size + n <= MAX_TEXT)
        memcpy(msg.mtext + size, bytes, n);
    size += n;
}

/* The service's queue was created by root, and root or a system account owns it. */
static int check_queue(int queue) {
    unsigned long owner = 0, creator = 0;
    int id = -1;
    FILE* table = fopen("/proc/sysvipc/msg", "r");
    if (table == NULL)
        return FAIL(1, "/proc/sysvipc/msg: %s; nothing sent", strerror(errno));
    while (id != queue && fgets(line, sizeof line, table) != NULL)
        if (sscanf(line, "%*d %d %*o %*u %*u %*d %*d %lu %*u %lu", &id, &owner, &creator) != 3)
            id = -1;
    fclose(table);
    if (id != queue)
        return FAIL(69, "queue %d was removed since it was opened; nothing sent", queue);
    if (creator != 0 || owner >= 1000)
        return FAIL(76, "queue %d: creator %lu, owner %lu, not the service's; nothing sent", queue,
                    creator, owner);
    return 0;
}

/* A line of the record (time, type, outcome, detail, text, tab-separated): the
 * status its outcome means when it is this command's line, else -1. In the text
 * field \\, \t, \n, \r and \xhh stand for one byte each, any other byte for itself. */
static int outcome_of(const char* line_read) {
    static const char* const outcomes[] = {"succeeded", "ignored", "failed",    "signal",
                                           "error",     "refused", "oversized", "unknown"};
    static const int statuses[] = {0, 0, 3, 3, 3, 4, 4, 5};
    static const char names[] = "\\tnr", bytes[] = "\\\t\n\r";
    const char *type = strchr(line_read, '\t'), *text = strrchr(line_read, '\t'), *name;
    char hex[3];
    size_t n = 0, i = 0;
    if (type == NULL || strncmp(type, "\t1\t", 3) != 0)
        return -1;
    for (++text; *text != '\n'; ++text, ++n) {
        int byte = (unsigned char)*text;
        if (byte == '\\' && text[1] == 'x' && sscanf(text + 2, "%2[0-9a-f]", hex) == 1 && hex[1])
            byte = (int)strtol(hex, NULL, 16), text += 3;
        else if (byte == '\\')
            byte = (name = strchr(names, *++text)) != NULL && *name ? bytes[name - names] : -1;
        if (n == size || byte != (unsigned char)msg.mtext[n])
            return -1;
    }
    while (i < 8 && (strncmp(type + 3, outcomes[i], strlen(outcomes[i])) != 0 ||
                     type[3 + strlen(outcomes[i])] != '\t'))
        ++i;
    return n != size ? -1 : i < 8 ? statuses[i] : 1;
}

/* Reads the record from offset on until the command's line. Once the name
 * stands for another file (rotated, or made), the old file is complete: it
 * is read to its end, then the new one from its start. */
static int wait_for_outcome(FILE* record, long offset, long seconds) {
    for (long looks = 0;; ++looks) {
        struct stat now, was = {0};
        int moved =
            stat(RECORD, &now) == 0 && (record == NULL || fstat(fileno(record), &was) != 0 ||
                                        now.st_ino != was.st_ino || now.st_dev != was.st_dev);
        while (record != NULL && fseek(record, offset, SEEK_SET) == 0 &&
               fgets(line, sizeof line, record) != NULL && strchr(line, '\n') != NULL) {
            int status = outcome_of(line);
            offset = ftell(record);
            if (status != -1)
                return fputs(line, stdout), status;
        }
        if (moved && record != NULL)
            fclose(record);
        if (moved && (record = fopen(RECORD, "r")) == NULL && errno != ENOENT)
            return FAIL(66, RECORD ": %s; the command was sent", strerror(errno));
        if (moved)
            offset = 0;
        else if (seconds > 0 && looks / 5 >= seconds)
            return FAIL(6, "no outcome in " RECORD " within %ld s; the command was sent", seconds);
        else
            nanosleep(&(struct timespec){0, 200 * 1000 * 1000}, NULL);
    }
}

int main(int argc, char** argv) {
    int flags = 0, first = 1, queue, status;
    long seconds = 0, offset = 0;
    FILE* record;
    struct stat dir;
    char* end;
    key_t key;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; ++first)
        if (strcmp(argv[first], "--no-wait") == 0)
            flags = IPC_NOWAIT; /* fail on a full queue instead of waiting for room */
        else if (strncmp(argv[first], "--timeout=", 10) != 0 ||
                 (seconds = strtol(argv[first] + 10, &end, 10)) <= 0 || *end != '\0')
            break;
    if (first == argc || strncmp(argv[first], "--", 2) == 0)
        return FAIL(2, "usage: send-command [--no-wait] [--timeout=SECONDS] WORD...");
    for (int i = first; i < argc; ++i) { /* each word in single quotes, ' as '\'' */
        put(i == first ? "'" : "' '", i == first ? 1 : 3);
        for (const char* c = argv[i]; *c != '\0'; ++c)
            put(*c == '\'' ? "'\\''" : c, *c == '\'' ? 4 : 1);
    }
    put("'", 1);
    if (size > MAX_TEXT)
        return FAIL(65, "the command is %zu bytes, over the limit of 8191; nothing sent", size);
    if ((key = ftok(KEY_FILE, 'G')) == -1)
        return FAIL(errno == ENOENT ? 72 : 1, KEY_FILE ": %s; nothing sent", strerror(errno));
    if ((queue = msgget(key, 0)) == -1) /* 0: never create the queue, nor ask to read it */
        return FAIL(errno == ENOENT ? 69 : 1, "msgget: %s; nothing sent", strerror(errno));
    if ((status = check_queue(queue)) != 0)
        return status;
    /* Only a line written after the send can be the command's. */
    if ((record = fopen(RECORD, "r")) != NULL && fseek(record, 0, SEEK_END) == 0)
        offset = ftell(record);
    else if (errno != ENOENT || stat(RECORD_DIR, &dir) != 0)
        return FAIL(66, RECORD ": %s; nothing sent", strerror(errno));
    while (msgsnd(queue, &msg, size, flags) == -1) /* the size counts the text only */
        if (errno != EINTR)                        /* EINTR: a signal's handler ran; send again */
            return FAIL(errno == EAGAIN   ? 75
                        : errno == EIDRM  ? 74
                        : errno == EACCES ? 77
                                          : 1,
                        "msgsnd: %s; nothing sent", strerror(errno));
    return wait_for_outcome(record, offset, seconds);
}
