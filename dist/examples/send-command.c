/*
 * send-command.c: sends one account command to useraccountd and, with
 * --wait, tells what became of it.
 *
 *   cc -o send-command send-command.c
 *   ./send-command [--no-wait] [--wait[=SECONDS]] [--record FILE] [--] WORD...
 *
 * The account script receives exactly the given words: each is put in single
 * quotes, and a quote inside a word is written as '\''. By default a full
 * queue is waited for; --no-wait fails at once instead. --wait then waits,
 * at most SECONDS if given, for the command's line in the outcome record
 * (/var/log/useraccountd/outcomes.log, or FILE), and prints it.
 *
 * Exit status: 0 sent (with --wait: the command succeeded); 1 any other
 * failure; 2 usage error; 65 the command is too long; 69 no queue (the
 * service has not prepared it); 72 no key file (useraccountd is not
 * installed); 74 the queue was removed while waiting for room; 75 the queue
 * is full (--no-wait); 76 the queue is not the service's (root did not
 * create it, or an ordinary user owns it); 77 no permission to send. With
 * --wait: 3 the command failed; 4 the daemon refused it; 5 its outcome is
 * unknown; 6 no outcome in time; 66 the record cannot be read. The reason
 * goes to standard error; see useraccountd-senders(7).
 *
 * Only the C library is used.
 */
#define _XOPEN_SOURCE 700

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <time.h>

#define KEY_FILE "/quex/etc/useraccount/useraccountkey.json"
#define PROJECT_ID 'G'
#define ACCOUNT_COMMAND 1L
#define MAX_TEXT 8191
/* The longest line of the record: each text byte escaped as \xNN, and the
 * fields before it. */
#define MAX_LINE (4 * MAX_TEXT + 512)

/* What travels: a C long, then the text bytes, with no terminator. */
struct command_message {
    long mtype;
    char mtext[MAX_TEXT];
};

/* The outcome record, as far as it has been read. */
struct record {
    const char* path;
    FILE* file; /* NULL until the daemon has made it */
    dev_t dev;
    ino_t ino;
    long offset;
};

static const char* program = "send-command";

static int usage(void) {
    fprintf(stderr, "usage: %s [--no-wait] [--wait[=SECONDS]] [--record FILE] [--] WORD...\n",
            program);
    return 2;
}

/* Prints "PROGRAM: REASON; WHAT" and returns status. */
static int fail(int status, const char* reason, const char* what) {
    fprintf(stderr, "%s: %s; %s\n", program, reason, what);
    return status;
}

/* Prints "PROGRAM: queue ID RELATION UID (NAME), WHY: ..." and returns 76. */
static int refuse_queue(int queue, const char* relation, unsigned long uid, const char* why) {
    const struct passwd* user = getpwuid((uid_t)uid);
    fprintf(stderr, "%s: queue %d %s %lu%s%s%s, %s: it is not the service's; nothing sent\n",
            program, queue, relation, uid, user != NULL ? " (" : "",
            user != NULL ? user->pw_name : "", user != NULL ? ")" : "", why);
    return 76;
}

/* The service's queue is created by root and owned by root or a system
 * account (an id below 1000). A queue that another user took under the key
 * while it was free is theirs to read, empty or re-permission: send nothing
 * to it. IPC_STAT needs read permission, which a sender lacks, but
 * /proc/sysvipc/msg shows every user each queue's owner and creator.
 * 0, or the exit status. */
static int check_queue(int queue) {
    char line[512];
    FILE* table = fopen("/proc/sysvipc/msg", "r");
    if (table == NULL) {
        fprintf(stderr, "%s: /proc/sysvipc/msg: %s; nothing sent\n", program, strerror(errno));
        return 1;
    }
    /* key msqid perms cbytes qnum lspid lrpid uid gid cuid cgid ...; the
     * first line names the columns. */
    while (fgets(line, sizeof line, table) != NULL) {
        int id;
        unsigned long owner, creator;
        if (sscanf(line, "%*d %d %*o %*u %*u %*d %*d %lu %*u %lu", &id, &owner, &creator) == 3 &&
            id == queue) {
            fclose(table);
            if (creator != 0) {
                return refuse_queue(queue, "was created by", creator, "not by root");
            }
            if (owner >= 1000) {
                return refuse_queue(queue, "is owned by", owner,
                                    "neither root nor a system account");
            }
            return 0;
        }
    }
    fclose(table);
    /* Removed since it was opened. */
    return fail(69, "no command queue: the useraccountd service has not prepared it yet",
                "nothing sent");
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

/* The record's text field back to the bytes sent: \\, \t, \n, \r and \xNN
 * stand for one byte each, everything else for itself. Returns the length,
 * or -1 for a field that is not escaped so. */
static long unescape(const char* field, char* out) {
    long n = 0;
    for (; *field != '\0'; ++field) {
        if (*field != '\\') {
            out[n++] = *field;
            continue;
        }
        switch (*++field) {
            case '\\':
                out[n++] = '\\';
                break;
            case 't':
                out[n++] = '\t';
                break;
            case 'n':
                out[n++] = '\n';
                break;
            case 'r':
                out[n++] = '\r';
                break;
            case 'x': {
                const char* digits = "0123456789abcdef";
                const char* high = field[1] != '\0' ? strchr(digits, field[1]) : NULL;
                const char* low =
                    high != NULL && field[2] != '\0' ? strchr(digits, field[2]) : NULL;
                if (low == NULL) {
                    return -1;
                }
                out[n++] = (char)((high - digits) * 16 + (low - digits));
                field += 2;
                break;
            }
            default:
                return -1;
        }
    }
    return n;
}

/* For a line (TIME, TYPE, OUTCOME, DETAIL, TEXT, tab-separated, without its
 * newline) of this command: the exit status its outcome means. -1 for a
 * line of another message. */
static int outcome_of(char* line, const char* text, size_t size) {
    static char sent[MAX_LINE];
    char* field[5];
    int count = 0;
    for (char* at = line; at != NULL && count < 5; ++count) {
        field[count] = at;
        at = strchr(at, '\t');
        if (at != NULL) {
            *at++ = '\0';
        } else if (count < 4) {
            return -1;
        }
    }
    if (count != 5 || strchr(field[4], '\t') != NULL || strcmp(field[1], "1") != 0 ||
        unescape(field[4], sent) != (long)size || memcmp(sent, text, size) != 0) {
        return -1;
    }
    if (strcmp(field[2], "succeeded") == 0) {
        return 0;
    }
    if (strcmp(field[2], "failed") == 0 || strcmp(field[2], "signal") == 0 ||
        strcmp(field[2], "error") == 0) {
        return 3;
    }
    if (strcmp(field[2], "refused") == 0 || strcmp(field[2], "oversized") == 0) {
        return 4;
    }
    return strcmp(field[2], "unknown") == 0 ? 5 : 1;
}

/* Whether the directory that holds path is there: a record in it is made
 * with the daemon's first line. */
static int directory_exists(const char* path) {
    static char dir[4096];
    const char* slash = strrchr(path, '/');
    size_t length = slash == NULL ? 1 : slash == path ? 1 : (size_t)(slash - path);
    struct stat st;
    if (length >= sizeof dir) {
        return 0;
    }
    memcpy(dir, slash == NULL ? "." : path, length);
    dir[length] = '\0';
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode);
}

/* Opens the file that the record's name stands for now, to be read from its
 * start. 0, or an error number. */
static int open_record(struct record* r) {
    struct stat st;
    FILE* file = fopen(r->path, "r");
    if (file == NULL) {
        return errno;
    }
    if (fstat(fileno(file), &st) == -1 || !S_ISREG(st.st_mode)) {
        fclose(file);
        return EINVAL;
    }
    if (r->file != NULL) {
        fclose(r->file);
    }
    r->file = file;
    r->dev = st.st_dev;
    r->ino = st.st_ino;
    r->offset = 0;
    return 0;
}

/* Reads the lines that have ended since the last look; prints the
 * command's own and returns its status, or -1. */
static int read_lines(struct record* r, const char* text, size_t size) {
    static char line[MAX_LINE + 2];
    static char split[MAX_LINE + 2];
    struct stat st;
    if (fstat(fileno(r->file), &st) == 0 && st.st_size < r->offset) {
        r->offset = 0; /* cut in place (copytruncate): all of it is new */
    }
    clearerr(r->file);
    fseek(r->file, r->offset, SEEK_SET);
    while (fgets(line, sizeof line, r->file) != NULL) {
        size_t length = strlen(line);
        int status;
        if (line[length - 1] != '\n') {
            break; /* taken once its newline is there */
        }
        r->offset = ftell(r->file);
        memcpy(split, line, length - 1);
        split[length - 1] = '\0';
        status = outcome_of(split, text, size);
        if (status != -1) {
            fputs(line, stdout);
            return status;
        }
    }
    return -1;
}

/* Waits for the command's line, at most timeout seconds (0: no bound). A
 * look every 200 ms is quick enough for a daemon that pauses after each
 * command. */
static int wait_for_outcome(struct record* r, const char* text, size_t size, long timeout) {
    struct timespec start, now, pause = {0, 200 * 1000 * 1000};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct stat st;
        int status;
        if (r->file != NULL && (status = read_lines(r, text, size)) != -1) {
            return status;
        }
        /* The name stands for another file: the record was rotated, or made.
         * What the old file got was read above. */
        if (stat(r->path, &st) == 0 &&
            (r->file == NULL || st.st_ino != r->ino || st.st_dev != r->dev)) {
            int error = open_record(r);
            if (error == 0) {
                continue;
            }
            if (error != ENOENT) {
                return fail(66, strerror(error), "the command was sent");
            }
        }
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (timeout > 0 && now.tv_sec - start.tv_sec >= timeout) {
            fprintf(stderr, "%s: no outcome in %s within %ld s; the command was sent\n", program,
                    r->path, timeout);
            return 6;
        }
        nanosleep(&pause, NULL);
    }
}

int main(int argc, char** argv) {
    static struct command_message msg;
    struct record record = {"/var/log/useraccountd/outcomes.log", NULL, 0, 0, 0};
    int flags = 0;
    int wait = 0;
    long timeout = 0;
    int first = 1;
    size_t size = 0;
    char* end = msg.mtext;
    key_t key;
    int queue;
    int status;

    for (; first < argc && argv[first][0] == '-'; ++first) {
        const char* option = argv[first];
        if (strcmp(option, "-n") == 0 || strcmp(option, "--no-wait") == 0) {
            flags |= IPC_NOWAIT;
        } else if (strcmp(option, "--wait") == 0) {
            wait = 1;
        } else if (strncmp(option, "--wait=", 7) == 0) {
            char* rest = NULL;
            wait = 1;
            timeout = strtol(option + 7, &rest, 10);
            if (option[7] < '0' || option[7] > '9' || *rest != '\0' || timeout <= 0) {
                return usage();
            }
        } else if (strcmp(option, "--record") == 0 && first + 1 < argc) {
            record.path = argv[++first];
        } else if (strcmp(option, "--") == 0) {
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
        return 65;
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
        return errno == ENOENT ? 72 : 1;
    }
    /* No IPC_CREAT: only the service creates the queue. No permission bits
     * either: asking for read permission, which senders do not have, would
     * fail; msgsnd() checks for write permission itself. */
    queue = msgget(key, 0);
    if (queue == -1) {
        if (errno == ENOENT) {
            return fail(69, "no command queue: the useraccountd service has not prepared it yet",
                        "nothing sent");
        }
        return fail(1, strerror(errno), "nothing sent");
    }
    if ((status = check_queue(queue)) != 0) {
        return status;
    }

    /* Only lines written after the send can be this command's: note where
     * the record ends now. A record not made yet counts from its start. */
    if (wait) {
        int error = open_record(&record);
        if (error == 0) {
            fseek(record.file, 0, SEEK_END);
            record.offset = ftell(record.file);
        } else if (error != ENOENT || !directory_exists(record.path)) {
            fprintf(stderr, "%s: outcome record %s: %s; nothing sent\n", program, record.path,
                    strerror(error));
            return 66;
        }
    }

    /* The size counts the text only, not the type. */
    while (msgsnd(queue, &msg, size, flags) == -1) {
        if (errno == EINTR) {
            continue; /* a signal's handler ran: send again */
        }
        if (errno == EAGAIN) {
            return fail(75, "the queue is full", "nothing sent");
        }
        if (errno == EACCES) {
            return fail(77,
                        "permission denied: only root and members of the queue's group may "
                        "send (membership counts from the next login)",
                        "nothing sent");
        }
        if (errno == EIDRM) {
            return fail(74, "the queue was removed while waiting for room", "nothing sent");
        }
        return fail(1, strerror(errno), "nothing sent");
    }
    return wait ? wait_for_outcome(&record, msg.mtext, size, timeout) : 0;
}
