// Mailboxes over POSIX message queues.
//
// The layer is deliberately thin: one system call per operation on the
// message path, no copies and no allocation. What a caller cannot recover
// from (an oversized message, a full mailbox, a failed receive) ends the
// process through ASSERT instead of being returned, so that a stuck peer
// shows up at once rather than as silently lost messages.
#include "kxMbox.h"

#include "kxLog.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <sys/time.h>

int32_t g_timedreceive = 10;

namespace {

constexpr mode_t kMboxMode = 0664;

// Linux makes every message-queue descriptor close-on-exec; the flag says
// so where it is asked for, at no cost on the message path (a sender opens
// the mailbox for every message).
constexpr int kNoExec = O_CLOEXEC;

void setAttr(kxMbox_t *kxattr, long count, long size)
{
    kxattr->attr.mq_flags = 0;
    kxattr->attr.mq_maxmsg = count;
    kxattr->attr.mq_msgsize = size;
    kxattr->attr.mq_curmsgs = 0;
}

// A negative size would turn into a huge size_t and let the kernel write a
// whole message into a buffer the caller said was smaller. Zero makes the
// receive fail as too small instead.
size_t bufferSize(int size)
{
    return size < 0 ? 0 : static_cast<size_t>(size);
}

// Read into a copy: when the read fails the record keeps what it had.
void readAttr(kxMbox_t *kxattr)
{
    struct mq_attr now;
    if (mq_getattr(kxattr->mqd, &now) == 0)
        kxattr->attr = now;
}

} // namespace

extern "C" int kxMbox_txopen(const char *name, kxMbox_t *kxattr)
{
    // The preset stands until the first send reads the queue's real values.
    kxattr->name = name;
    setAttr(kxattr, KXMSG_MAX_COUNT_LG, KXMSG_MAX);
    // Never created here: a sender must not invent a mailbox that nobody
    // reads, and the receiver decides its size.
    kxattr->mqd = mq_open(name, O_WRONLY | kNoExec);
    if (kxattr->mqd != static_cast<mqd_t>(-1))
        return 0;
    // Logged here, not in a helper, so that the line names this operation.
    // errno stays for the caller; the log targets may overwrite it.
    int err = errno;
    KX_LOG(KX_LOG_WARN, "mbox=%s errno=%s\n", name, strerror(err));
    errno = err;
    return -1;
}

extern "C" int kxMbox_rxopen_ext(const char *name, long count, long size,
                                 kxMbox_t *kxattr)
{
    kxattr->name = name;
    setAttr(kxattr, count, size);
    // The attributes only count when the queue is created; an existing
    // mailbox keeps the count and size it was made with.
    kxattr->mqd = mq_open(name, O_RDONLY | O_CREAT | kNoExec, kMboxMode, &kxattr->attr);
    if (kxattr->mqd != static_cast<mqd_t>(-1)) {
        // A mailbox left by another build or program may hold messages of
        // another size: kept as it is, but named once, here, where it can
        // still be fixed. Another count alone is normal.
        struct mq_attr real;
        if (mq_getattr(kxattr->mqd, &real) == 0 && real.mq_msgsize != size)
            KX_LOG(KX_LOG_WARN,
                   "mbox=%s has msgsize=%ld maxmsg=%ld, not msgsize=%ld; remove it: rm /dev/mqueue%s\n",
                   name, real.mq_msgsize, real.mq_maxmsg, size, name);
        return 0;
    }
    int err = errno;
    KX_LOG(KX_LOG_WARN, "mbox=%s errno=%s\n", name, strerror(err));
    errno = err;
    return -1;
}

extern "C" int kxMbox_rxopen(const char *name, long count, kxMbox_t *kxattr)
{
    return kxMbox_rxopen_ext(name, count, KXMSG_MAX, kxattr);
}

extern "C" int kxMbox_create(const char *name, long count)
{
    kxMbox_t tmp;
    int rc = kxMbox_rxopen(name, count, &tmp);
    if (rc == 0)
        (void)kxMbox_close(&tmp);
    return rc;
}

extern "C" int kxMbox_send(const void *buf, int len, kxMbox_t *kxattr)
{
    ASSERT(len <= KXMSG_MAX);
    // A negative length is the caller's bug, not a condition of the
    // mailbox: it fails like any other refused send and leaves the
    // assertion above with the one meaning "too long".
    errno = EINVAL;
    if (len >= 0) {
        readAttr(kxattr);
        // A full mailbox means its reader has stopped; waiting for it would
        // only stall this process as well.
        if (kxattr->attr.mq_curmsgs >= kxattr->attr.mq_maxmsg) {
            KX_LOG(KX_LOG_WARN, "Mailbox Full: mbox=%s >= %ld messages\n",
                   kxattr->name, kxattr->attr.mq_maxmsg);
            ASSERT((kxattr->attr.mq_curmsgs) < kxattr->attr.mq_maxmsg);
        }
        if (mq_send(kxattr->mqd, static_cast<const char *>(buf), static_cast<size_t>(len), 0) == 0)
            return 0;
    }
    // The caller may not look at the result (the daemon does not): the
    // line keeps a lost message from going unnoticed.
    int err = errno;
    KX_LOG(KX_LOG_WARN, "mbox=%s len=%d errno=%s\n", kxattr->name, len, strerror(err));
    errno = err;
    return -1;
}

extern "C" int snkxMbox_receive(void *data, int bufsize, kxMbox_t *kxattr)
{
    char *buf = static_cast<char *>(data);
    size_t size = bufferSize(bufsize);
    int len;
    ASSERT((len = mq_receive(kxattr->mqd, buf, size, NULL)) >= 0);
    return len;
}

extern "C" int kxMbox_timedreceive(void *data, int bufsize, kxMbox_t *kxattr)
{
    // mq_timedreceive wants an absolute CLOCK_REALTIME deadline.
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct timespec deadline;
    deadline.tv_sec = tv.tv_sec + g_timedreceive;
    deadline.tv_nsec = tv.tv_usec * 1000L;
    ssize_t len = mq_timedreceive(kxattr->mqd, static_cast<char *>(data),
                                  bufferSize(bufsize), nullptr, &deadline);
    if (len >= 0)
        return static_cast<int>(len);
    return errno == ETIMEDOUT ? -1 : -2;
}

extern "C" int snkxMbox_tryreceive(void *data, int bufsize, kxMbox_t *kxattr)
{
    // The queues stay in blocking mode, shared with the other operations:
    // a deadline already past makes this one receive return at once.
    const struct timespec past = {0, 0};
    ssize_t len = mq_timedreceive(kxattr->mqd, static_cast<char *>(data),
                                  bufferSize(bufsize), nullptr, &past);
    if (len >= 0)
        return static_cast<int>(len);
    return errno == ETIMEDOUT ? -1 : -2;
}

extern "C" int kxMbox_close(kxMbox_t *kxattr)
{
    return mq_close(kxattr->mqd);
}

extern "C" int kxMbox_unlink(const char *name)
{
    // Removing what is already gone is success for every caller here.
    (void)mq_unlink(name);
    return 0;
}
