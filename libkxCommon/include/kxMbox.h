/*
 * Mailboxes: named POSIX message queues carrying TLV messages between the
 * Linux-side processes of the camera.
 *
 * A receiver opens its mailbox once (creating it if need be) and keeps the
 * record; a sender opens, sends and closes around each message. Every
 * mailbox made here holds messages of KXMSG_MAX bytes, so a KXMSG_MAX
 * buffer always receives whole. Oversized messages, full mailboxes and
 * failed receives end the process through ASSERT (see kxLog.h).
 */
#ifndef KXMBOX_H
#define KXMBOX_H

#include <mqueue.h>
#include <stdint.h>

#include "kxMsg.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How many messages a mailbox may hold. */
#define KXMSG_MAX_COUNT_SM 2
#define KXMSG_MAX_COUNT_MD 10
#define KXMSG_MAX_COUNT_LG 40

/*
 * Owned by the caller. mqd is -1 after a failed open. name points to the
 * caller's string, which must outlive the record. attr holds what was asked
 * for at open time and, once kxMbox_send has run, the queue's real
 * attributes as last read.
 */
typedef struct kxMbox_s {
    mqd_t mqd;
    struct mq_attr attr;
    const char *name;
} kxMbox_t;

/* Seconds that kxMbox_timedreceive waits; 10 unless changed. */
extern int32_t g_timedreceive;

/* Opens an existing mailbox for sending: 0, or -1 (logged). */
int kxMbox_txopen(const char *name, kxMbox_t *kxattr);

/* Opens a mailbox for receiving, creating it with count messages of size
 * bytes and mode 0664 (less the umask) if it does not exist; an existing
 * one is opened as it is, with a line logged when its message size is not
 * size. 0, or -1 (logged). */
int kxMbox_rxopen_ext(const char *name, long count, long size, kxMbox_t *kxattr);

/* kxMbox_rxopen_ext with messages of KXMSG_MAX bytes. */
int kxMbox_rxopen(const char *name, long count, kxMbox_t *kxattr);

/* Makes sure the mailbox exists, without keeping it open: 0 or -1. */
int kxMbox_create(const char *name, long count);

/* 0 when sent, -1 (logged) when the send failed, also for a negative len.
 * Ends the process for len > KXMSG_MAX or a full mailbox. */
int kxMbox_send(const void *buf, int len, kxMbox_t *kxattr);

/* Waits for the next message; returns its length. Ends the process when
 * the receive fails, e.g. for a buffer smaller than the message size. */
int snkxMbox_receive(void *buf, int size, kxMbox_t *kxattr);

/* Waits at most g_timedreceive seconds: the length, -1 on time-out, -2 on
 * any other failure. Logs nothing. */
int kxMbox_timedreceive(void *buf, int size, kxMbox_t *kxattr);

/* Takes the next message without waiting: its length, -1 at once when the
 * mailbox is empty, -2 on any other failure (e.g. a buffer smaller than
 * the message size). Logs nothing; g_timedreceive is not consulted. */
int snkxMbox_tryreceive(void *buf, int size, kxMbox_t *kxattr);

/* Closes the descriptor (0 or -1); the record is left as it is. */
int kxMbox_close(kxMbox_t *kxattr);

/* Removes the mailbox from the system; 0 whether or not it existed. */
int kxMbox_unlink(const char *name);

#ifdef __cplusplus
}
#endif

#endif /* KXMBOX_H */
