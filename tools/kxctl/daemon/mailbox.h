// The daemon's mailboxes as kxctl uses them, through the library's
// mailbox operations: looked at without being created, posted to, and
// read with a deadline.
#pragma once

#include "bytes.h"

#include "kxMbox.h"

#include <chrono>
#include <optional>
#include <string>

namespace kxctl {

using kxmsg::Bytes;

struct MailboxInfo {
    bool exists = false;
    int error = 0; // errno of the failed open when it does not exist
    long capacity = 0;
    long size = 0;
    long messages = 0;
};

// "to_wif" and "/to_wif" both name "/to_wif".
std::string mailboxName(const std::string &name);

// Opens nothing for longer than the look, and never creates the mailbox.
MailboxInfo mailboxInfo(const std::string &name);

// Puts one message into an existing mailbox. Throws Failure (no daemon)
// when it is missing or full: a full inbound mailbox means that its
// reader has stopped.
void post(const std::string &name, const Bytes &message);

// A mailbox opened for reading. Reading consumes: a POSIX queue hands each
// message to one reader only.
struct Inbox {
    std::string name;
    kxMbox_t box{};
    long size = 0;

    Inbox() = default;
    Inbox(const Inbox &) = delete;
    Inbox &operator=(const Inbox &) = delete;
    ~Inbox();
};

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

Deadline deadlineIn(double seconds); // none for seconds <= 0

// Opens an existing mailbox for reading; throws Failure (no daemon) when
// it does not exist.
void openInbox(Inbox &inbox, const std::string &name);

// Waits until no other kxctl reads the mailbox: call, canvas and listen
// take its messages, and two of them would take each other's. The lock is
// flock on the mailbox's own descriptor: no file of its own to place, it
// holds in every IPC namespace (a sandbox's too), and it binds whoever may
// read the mailbox. Released when the inbox closes. False when the
// deadline or a stop signal came first.
bool lockReader(Inbox &inbox, const Deadline &deadline);

enum class Received { message, timeout, stopped, outputClosed };

// Waits for the next message until the deadline, a stop signal, or the
// reader of our standard output going away (then nothing is consumed).
Received receive(Inbox &inbox, Bytes &message, const Deadline &deadline);

} // namespace kxctl
