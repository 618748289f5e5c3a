/*
 * kxmqask TO FROM HEX [TIMEOUT_MS]: what the network daemon does with one
 * command. Waits until both mailboxes exist, puts the message HEX (bytes in
 * hex, blanks between them allowed) into mailbox TO, takes the first
 * message that arrives in mailbox FROM and prints it as hex. Exit status 0
 * when a message came, 1 on a time-out, 2 on any other failure.
 */
#include <errno.h>
#include <fcntl.h>
#include <mqueue.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static struct timespec deadline; /* CLOCK_REALTIME, as mq_timedreceive wants it */

static mqd_t openWhenThere(const char *name, int flags)
{
    mqd_t q;
    struct timespec now;
    while ((q = mq_open(name, flags)) == (mqd_t)-1 && errno == ENOENT &&
           clock_gettime(CLOCK_REALTIME, &now) == 0 &&
           (now.tv_sec < deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec < deadline.tv_nsec)))
        usleep(10000);
    return q;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s TO FROM HEX [TIMEOUT_MS]\n", argv[0]);
        return 2;
    }
    long long ns = (argc > 4 ? atoll(argv[4]) : 10000) * 1000000;
    clock_gettime(CLOCK_REALTIME, &deadline);
    ns += deadline.tv_nsec;
    deadline.tv_sec += ns / 1000000000;
    deadline.tv_nsec = ns % 1000000000;
    unsigned char msg[2048];
    size_t len = 0;
    const char *p = argv[3];
    for (int used = 0; len < sizeof msg && sscanf(p, " %2hhx%n", &msg[len], &used) == 1; p += used)
        len++;
    if (p[strspn(p, " ")] != '\0') {
        fprintf(stderr, "kxmqask: bad hex at '%s'\n", p);
        return 2;
    }
    mqd_t to = openWhenThere(argv[1], O_WRONLY);
    mqd_t from = openWhenThere(argv[2], O_RDONLY);
    if (to == (mqd_t)-1 || from == (mqd_t)-1 || mq_send(to, (const char *)msg, len, 0) != 0) {
        fprintf(stderr, "kxmqask: %s or %s: %s\n", argv[1], argv[2], strerror(errno));
        return errno == ENOENT ? 1 : 2;
    }
    static char reply[1 << 16]; /* beyond any mailbox's message size */
    ssize_t n = mq_timedreceive(from, reply, sizeof reply, NULL, &deadline);
    if (n < 0) {
        fprintf(stderr, "kxmqask: %s: %s\n", argv[2], strerror(errno));
        return errno == ETIMEDOUT ? 1 : 2;
    }
    for (ssize_t i = 0; i < n; i++)
        printf("%s%02X", i ? " " : "", (unsigned char)reply[i]);
    printf("\n");
    return 0;
}
