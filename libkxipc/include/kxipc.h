/*
 * Host implementation of the camera platform's IPC library: message
 * endpoints between the Linux side (the kxRedIro daemon) and the camera's
 * real-time side, for builds and tests off the camera.
 *
 * Wire form. An endpoint NAME ("wifibt", "wifi_ctrl", "helper_task") is a
 * pair of Unix-domain datagram sockets in the directory named by the
 * environment variable KXIPC_DIR (KXIPC_DIR_DEFAULT when unset or empty):
 *
 *   $KXIPC_DIR/NAME.linux   bound by kxIpcInit    (the daemon's side)
 *   $KXIPC_DIR/NAME.rtos    bound by kxIpcRtInit  (the real-time side)
 *
 * One message is one datagram of 1 to KXIPC_MSG_MAX bytes, sent from one
 * side's socket to the other side's path; nothing is added to it.
 *
 * The directory:
 *   - is created (mode 0700) when missing; its parent must exist, nothing
 *     above it is created;
 *   - must be a real directory (not a symbolic link) owned by the caller's
 *     effective user or by root and writable by nobody else; any other
 *     directory is refused, since whoever can write there could bind the
 *     peer's name and impersonate it.
 * Socket files are created with mode 0600: only their owner (and root) may
 * send to them. Init replaces whatever file is left at its own path, e.g.
 * by a process that was killed. The directory's path is read at every init;
 * a relative one is taken from the current directory.
 *
 * Endpoint names must be non-empty and must not contain '/' or "..";
 * together with the directory, "DIR/NAME.linux" must fit a Unix socket
 * address (KXIPC_PATH_MAX bytes with the terminating NUL). Nothing is
 * shortened: a name that does not fit is refused.
 *
 * Results: negative values are negated errno codes. Sends and receives
 * wait at most KXIPC_WAIT_MS for room at the peer or for a message.
 * Descriptors are close-on-exec. A handle is used by one thread at a time.
 */
#ifndef KXIPC_H
#define KXIPC_H

#ifdef __cplusplus
extern "C" {
#endif

#define KXIPC_MSG_MAX     1500         /* largest message in bytes */
#define KXIPC_DIR_ENV     "KXIPC_DIR"  /* names the endpoint directory */
#define KXIPC_DIR_DEFAULT "/tmp/kxipc"
#define KXIPC_PATH_MAX    108          /* a Unix socket address's path */
#define KXIPC_WAIT_MS     1000         /* longest wait of a send or receive */

/*
 * The camera's three endpoints, by index into kxIpcEndpointNames:
 * "wifibt" takes the network daemon's camera commands, "wifi_ctrl" those of
 * the Wi-Fi control path and "helper_task" the helper's. Which mailbox each
 * is paired with is the daemon's business.
 */
#define KXIPC_EP_NET       0
#define KXIPC_EP_WC        1
#define KXIPC_EP_CSI       2
#define KXIPC_ENDPOINTS    3
extern const char *const kxIpcEndpointNames[KXIPC_ENDPOINTS];

/* The endpoint directory: $KXIPC_DIR when set and not empty, otherwise
 * KXIPC_DIR_DEFAULT. Read anew on every call; the string is the
 * environment's or a constant, never to be freed. */
const char *kxIpcDir(void);

/*
 * One endpoint as seen from one side. The content is private to the
 * library; callers only pass its address. Init takes any object; the
 * other operations need a handle that was never initialised to be
 * zero-filled (a static object is). After a failed init, and after
 * kxIpcClose, every operation on the handle fails cleanly.
 */
typedef struct kxIpcHdl {
    unsigned int live;               /* a marker value once open */
    int fd;                          /* our bound socket, -1 when not open */
    unsigned long long dev, ino;     /* file we bound, so close unlinks only it */
    char self[KXIPC_PATH_MAX];       /* our path */
    char peer[KXIPC_PATH_MAX];       /* where our messages go */
} kxIpcHdl;

/*
 * Opens the daemon's side of endpoint name: binds NAME.linux, peers
 * NAME.rtos. Whatever the result, hdl is overwritten (a handle that is
 * still open must be closed first). Returns 0, or negative:
 * -EINVAL (bad name or null argument), -ENAMETOOLONG, -EPERM (directory is
 * a link or not trusted), -ENOTDIR, or the failing system call's error.
 */
int kxIpcInit(const char *name, kxIpcHdl *hdl);

/* Opens the real-time side: binds NAME.rtos, peers NAME.linux. As above. */
int kxIpcRtInit(const char *name, kxIpcHdl *hdl);

/*
 * A descriptor that select() reports readable exactly when a message
 * waits; negative (-EBADF) when the handle is not open.
 */
int kxIpcGetFd(kxIpcHdl *hdl);

/*
 * Sends len bytes (1 to KXIPC_MSG_MAX) as one message to the peer. Returns
 * len, or negative: -EBADF (handle not open), -EINVAL, -EMSGSIZE, -ENOENT or
 * -ECONNREFUSED (nobody bound at the peer), -EAGAIN (the peer's queue
 * stayed full for KXIPC_WAIT_MS).
 */
int kxIpcSend(kxIpcHdl *hdl, const void *msg, int len);

/*
 * Places one message in buf, which must hold KXIPC_MSG_MAX bytes; no more
 * are ever written. Returns its length (1 to KXIPC_MSG_MAX), or 0 on
 * failure with errno set: EBADF (handle not open), EMSGSIZE (a longer
 * datagram, consumed and discarded), ENOMSG (an empty one, likewise),
 * EAGAIN (nothing arrived within KXIPC_WAIT_MS). On failure the content of
 * buf is unspecified.
 */
int kxIpcReceive(kxIpcHdl *hdl, void *buf);

/*
 * Closes an open handle and removes its socket file unless another
 * endpoint has since replaced it. Does nothing on a handle not open.
 */
void kxIpcClose(kxIpcHdl *hdl);

#ifdef __cplusplus
}
#endif

#endif /* KXIPC_H */
