/*
 * kxmqask TO FROM HEX [TIMEOUT_MS]: what the network daemon does with one
 * command. Waits until both mailboxes exist, puts the message HEX (hex
 * digits, blanks allowed) into mailbox TO, takes the first message that
 * arrives in mailbox FROM and prints it as hex. Exit status 0 when a
 * message came, 1 on a time-out, 2 on any other failure.
 */
#include <errno.h>
#include <fcntl.h>
#include <mqueue.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long long nowMs(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static mqd_t openWhenThere(const char *name, int flags, long long deadline)
{
    for (;;) {
        mqd_t q = mq_open(name, flags);
        if (q != (mqd_t)-1 || errno != ENOENT || nowMs() > deadline)
            return q;
        usleep(10000);
    }
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s TO FROM HEX [TIMEOUT_MS]\n", argv[0]);
        return 2;
    }
    long long deadline = nowMs() + (argc > 4 ? atoll(argv[4]) : 10000);
    unsigned char msg[2048];
    size_t len = 0;
    for (const char *p = argv[3]; *p != '\0';) {
        unsigned byte;
        int used;
        if (*p == ' ') {
            p++;
            continue;
        }
        if (len == sizeof msg || sscanf(p, "%2x%n", &byte, &used) != 1 || used != 2) {
            fprintf(stderr, "kxmqask: bad hex at '%s'\n", p);
            return 2;
        }
        msg[len++] = (unsigned char)byte;
        p += used;
    }

    mqd_t to = openWhenThere(argv[1], O_WRONLY, deadline);
    mqd_t from = openWhenThere(argv[2], O_RDONLY, deadline);
    if (to == (mqd_t)-1 || from == (mqd_t)-1) {
        fprintf(stderr, "kxmqask: %s or %s: %s\n", argv[1], argv[2], strerror(errno));
        return errno == ENOENT ? 1 : 2;
    }
    struct mq_attr attr;
    if (mq_getattr(from, &attr) != 0 || mq_send(to, (const char *)msg, len, 0) != 0) {
        perror("kxmqask");
        return 2;
    }
    char *reply = malloc((size_t)attr.mq_msgsize);
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    long long left = deadline - nowMs();
    if (left < 0)
        left = 0;
    until.tv_sec += left / 1000;
    until.tv_nsec += (left % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000;
    }
    ssize_t n = mq_timedreceive(from, reply, (size_t)attr.mq_msgsize, NULL, &until);
    if (n < 0) {
        fprintf(stderr, "kxmqask: %s: %s\n", argv[2], strerror(errno));
        return errno == ETIMEDOUT ? 1 : 2;
    }
    for (ssize_t i = 0; i < n; i++)
        printf("%s%02X", i ? " " : "", (unsigned char)reply[i]);
    printf("\n");
    return 0;
}
