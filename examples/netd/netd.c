/*
 * netd: a small network daemon of the kind that talks to the camera through
 * kxRedIro. It asks the camera's version, may set its mode and power it on,
 * and may then watch for what the camera sends of its own accord while it
 * checks, every so often, that the camera still answers. It fails (status
 * 1) when the camera never answers the version or refuses the mode, or
 * when the last check of a watch went unanswered.
 *
 * Commands go into "/to_camera"; answers and the camera's own commands come
 * out of "/to_kxnet", which is ours. A refused or unanswered command is
 * tried again, a bounded number of times. Mailboxes outlive the daemon, so
 * a kxRedIro that ends and is started again finds our mailbox and its
 * queued commands where they were: we need not notice the restart at all,
 * only not pile commands into a mailbox that nobody reads.
 */
#include <kxMbox.h>
#include <kxTlv.h>

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define TLV_MSG_TYPE_RESP (TLV_MSG_TYPE_CMD + 1)

struct options {
    int mode;         /* -1: leave it */
    int power_on;
    int tries;        /* of each command, the first one included */
    int timeout_ms;   /* for each answer */
    int watch_ms;     /* 0: leave after the commands */
    int heartbeat_ms; /* while watching */
};

/* An answer: its status byte and what follows it. */
struct answer {
    uint8_t status;
    uint8_t payload[KXMSG_MAX];
    int len;
};

static kxMbox_t inbox; /* "/to_kxnet", open for the whole run */

static long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

/* Queued behind others in a mailbox nobody reads, a command would only be
 * answered late by the next daemon, and a full mailbox ends the sender
 * (kxMbox_send asserts): one that is not being read is not written. */
static int send_command(const char *code, const uint8_t *args, unsigned nargs)
{
    uint8_t cmd[KXMSG_MAX];
    int len = sntlv_command(cmd, sizeof cmd, TLV_MSG_TYPE_CMD, code, args, nargs,
                            "/to_camera", "/to_kxnet");
    kxMbox_t out;
    if ((unsigned)len != TLV_COMMAND_LEN(nargs, strlen("/to_camera"), strlen("/to_kxnet")) ||
        kxMbox_txopen("/to_camera", &out) != 0)
        return -1;
    struct mq_attr a;
    int busy = mq_getattr(out.mqd, &a) != 0 || a.mq_curmsgs > 0;
    int sent = busy ? -1 : kxMbox_send(cmd, len, &out);
    kxMbox_close(&out);
    return sent;
}

static void camera_command(const uint8_t *msg, const char *code)
{
    uint8_t args[KXMSG_MAX];
    int n = sntlv_get(args, sizeof args, TLV_TYPE_ARG, msg);
    if (strcmp(code, "SU") == 0)
        printf("netd: the camera is ready to suspend (SU)\n");
    else if (strcmp(code, "LC") == 0)
        printf("netd: the camera sent its canvas (%d bytes)\n", n);
    else
        printf("netd: the camera sent %s (%d argument bytes)\n", code, n);
}

/* One message out of our mailbox: 1 and the answer when it answers code,
 * 0 for anything else (shown), -1 when nothing came. */
static int take_one(const char *code, struct answer *ans)
{
    uint8_t msg[KXMSG_MAX], value[KXMSG_MAX];
    char got[3] = "";
    int len = snkxMbox_tryreceive(msg, sizeof msg, &inbox);
    if (len < 0)
        return -1;
    if (len < TLV_MSG_MIN_LEN || tlv_length(msg) != len || tlv_validate(msg) != 0) {
        printf("netd: a malformed message of %d bytes, left alone\n", len);
        return 0;
    }
    sntlv_get(got, sizeof got, TLV_TYPE_CMD, msg);
    if (tlv_msg_type(msg) == TLV_MSG_TYPE_CMD) {
        camera_command(msg, got);
        return 0;
    }
    int n = sntlv_get(value, sizeof value, TLV_TYPE_RESP, msg);
    if (code == NULL || strcmp(got, code) != 0 || n < 1) {
        printf("netd: an answer to %s that nobody waits for\n", got);
        return 0;
    }
    ans->status = value[0];
    ans->len = n - 1;
    memcpy(ans->payload, value + 1, (size_t)ans->len);
    return 1;
}

/* Waits up to ms for the answer to code, showing whatever else arrives;
 * with code NULL, only shows what arrives meanwhile. */
static int await_answer(const char *code, long ms, struct answer *ans)
{
    long end = now_ms() + ms;
    while (now_ms() < end) {
        int r = take_one(code, ans);
        if (r == 1)
            return 1;
        if (r < 0)
            sleep_ms(5);
    }
    return 0;
}

/* Sends code until it is accepted, at most tries times: 0 and the answer,
 * or -1. */
static int ask(const struct options *o, const char *code, const uint8_t *args, unsigned nargs,
               struct answer *ans)
{
    for (int t = 1; t <= o->tries; ++t) {
        if (send_command(code, args, nargs) != 0) {
            printf("netd: %s not sent: nobody reads /to_camera (try %d of %d)\n", code, t,
                   o->tries);
            await_answer(NULL, o->timeout_ms, ans);
        } else if (!await_answer(code, o->timeout_ms, ans)) {
            printf("netd: no answer to %s in %d ms (try %d of %d)\n", code, o->timeout_ms, t,
                   o->tries);
        } else if (ans->status != 0) {
            printf("netd: %s refused with status %u (try %d of %d)\n", code, ans->status, t,
                   o->tries);
        } else {
            return 0;
        }
        fflush(stdout);
    }
    printf("netd: %s failed after %d tries\n", code, o->tries);
    return -1;
}

/* The version answer: two bytes, then length-prefixed strings. */
static void show_version(const struct answer *ans)
{
    printf("netd: camera version");
    for (int at = 2; at < ans->len;) {
        int n = ans->payload[at];
        if (at + 1 + n > ans->len)
            break;
        printf(" %.*s", n, (const char *)ans->payload + at + 1);
        at += 1 + n;
    }
    printf("\n");
}

static int start_up(const struct options *o)
{
    struct answer ans;
    if (ask(o, "cv", NULL, 0, &ans) != 0)
        return -1;
    show_version(&ans);
    if (o->mode >= 0) {
        uint8_t mode = (uint8_t)o->mode;
        if (ask(o, "CM", &mode, 1, &ans) != 0)
            return -1;
        printf("netd: mode %d set\n", o->mode);
    }
    /* A camera that will not power on is left as it is, the rest goes on. */
    uint8_t on = 1;
    if (o->power_on && ask(o, "PW", &on, 1, &ans) == 0)
        printf("netd: camera powered on\n");
    return 0;
}

/* Until watch_ms have passed: a heartbeat (cv, once) every heartbeat_ms,
 * and the camera's own commands between them; only a change is told. 0
 * when the last heartbeat was answered. */
static int watch(const struct options *o)
{
    int answered = 1;
    long end = now_ms() + o->watch_ms;
    while (now_ms() < end) {
        struct answer ans;
        int now = send_command("cv", NULL, 0) == 0 && await_answer("cv", o->timeout_ms, &ans);
        if (now != answered)
            printf(now ? "netd: the camera answers again\n" : "netd: the camera does not answer\n");
        answered = now;
        await_answer(NULL, o->heartbeat_ms, &ans);
    }
    return answered ? 0 : -1;
}

static void usage(const char *self)
{
    fprintf(stderr,
            "usage: %s [--mode N] [--power-on] [--tries N] [--timeout-ms MS]\n"
            "       [--watch-ms MS] [--heartbeat-ms MS]\n",
            self);
    exit(2);
}

static int number(const char *text, int low, int high, const char *self)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < low || v > high)
        usage(self);
    return (int)v;
}

static struct options parse(int argc, char **argv)
{
    static const struct option longs[] = {
        {"mode", required_argument, NULL, 'm'},     {"power-on", no_argument, NULL, 'p'},
        {"tries", required_argument, NULL, 't'},    {"timeout-ms", required_argument, NULL, 'o'},
        {"watch-ms", required_argument, NULL, 'w'}, {"heartbeat-ms", required_argument, NULL, 'h'},
        {NULL, 0, NULL, 0},
    };
    struct options o = {-1, 0, 3, 500, 0, 200};
    int c;
    while ((c = getopt_long(argc, argv, "", longs, NULL)) != -1) {
        switch (c) {
        case 'm': o.mode = number(optarg, 0, 255, argv[0]); break;
        case 'p': o.power_on = 1; break;
        case 't': o.tries = number(optarg, 1, 100, argv[0]); break;
        case 'o': o.timeout_ms = number(optarg, 1, 60000, argv[0]); break;
        case 'w': o.watch_ms = number(optarg, 0, 3600000, argv[0]); break;
        case 'h': o.heartbeat_ms = number(optarg, 1, 60000, argv[0]); break;
        default: usage(argv[0]);
        }
    }
    if (optind != argc)
        usage(argv[0]);
    return o;
}

int main(int argc, char **argv)
{
    struct options o = parse(argc, argv);
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (kxMbox_rxopen("/to_kxnet", KXMSG_MAX_COUNT_LG, &inbox) != 0) {
        fprintf(stderr, "netd: cannot open /to_kxnet\n");
        return 1;
    }
    int failed = start_up(&o) != 0 || (o.watch_ms > 0 && watch(&o) != 0);
    kxMbox_close(&inbox);
    return failed ? 1 : 0;
}
