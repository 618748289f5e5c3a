/* The size limit shared by every message, on mailboxes and IPC alike. */
#ifndef KXMSG_H
#define KXMSG_H

/* Largest message in bytes; every message buffer of the daemon has it. */
#define KXMSG_MAX 1500

#endif /* KXMSG_H */
