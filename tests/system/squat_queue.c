/* A hostile local user's loop for the container test: creates the queue with
 * KEY exclusively, as fast as it can, so as to take the key whenever it is
 * free for a moment, until the file STOP exists or LIMIT seconds have passed.
 * Prints "looping" once it loops, and at the end how many queues it created.
 * Usage: squat_queue KEY STOP LIMIT
 */
#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: squat_queue KEY STOP LIMIT\n");
        return 2;
    }
    const key_t key = (key_t)strtoul(argv[1], NULL, 0);
    const time_t end = time(NULL) + atol(argv[3]);
    unsigned long created = 0;
    printf("looping\n");
    fflush(stdout);
    for (unsigned long tries = 1;; ++tries) {
        if (msgget(key, IPC_CREAT | IPC_EXCL | 0666) != -1) {
            ++created;
        }
        if (tries % 4096 == 0 && (access(argv[2], F_OK) == 0 || time(NULL) > end)) {
            break;
        }
    }
    printf("%lu\n", created);
    return 0;
}
