#include "mailbox.h"

#include "signals.h"

#include "failure.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace kxctl {

namespace {

using Clock = std::chrono::steady_clock;

std::string notThere(const std::string &name, int error)
{
    if (error == ENOENT)
        return name + ": no such mailbox (is kxRedIro running?)";
    return name + ": " + strerror(error);
}

// Milliseconds to wait in poll(): -1 without a deadline.
int millisecondsLeft(const Deadline &deadline)
{
    if (!deadline)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(std::min<long long>(left.count(), INT32_MAX)) : 0;
}

// The descriptor was reported readable; take the message without waiting,
// since another reader of the queue may have been faster.
bool takeNow(Inbox &inbox, Bytes &message)
{
    message.resize(static_cast<size_t>(inbox.size));
    int len = snkxMbox_tryreceive(message.data(), static_cast<int>(message.size()), &inbox.box);
    if (len < 0)
        return false;
    message.resize(static_cast<size_t>(len));
    return true;
}

} // namespace

std::string mailboxName(const std::string &name)
{
    return name.empty() || name[0] != '/' ? "/" + name : name;
}

MailboxInfo mailboxInfo(const std::string &name)
{
    MailboxInfo info;
    kxMbox_t box{};
    if (kxMbox_txopen(name.c_str(), &box) != 0) {
        info.error = errno;
        info.exists = info.error != ENOENT;
        return info;
    }
    info.exists = true;
    struct mq_attr attr {};
    if (mq_getattr(box.mqd, &attr) == 0) {
        info.capacity = attr.mq_maxmsg;
        info.size = attr.mq_msgsize;
        info.messages = attr.mq_curmsgs;
    }
    kxMbox_close(&box);
    return info;
}

void post(const std::string &name, const Bytes &message)
{
    MailboxInfo info = mailboxInfo(name);
    if (!info.exists || info.error != 0)
        throw Failure(kExitNoDaemon, notThere(name, info.error));
    if (info.messages >= info.capacity)
        throw Failure(kExitNoDaemon, name + ": mailbox full (" + std::to_string(info.messages) +
                                         " messages): nobody reads it (is kxRedIro running?)");
    kxMbox_t box{};
    if (kxMbox_txopen(name.c_str(), &box) != 0)
        throw Failure(kExitNoDaemon, notThere(name, errno));
    int rc = kxMbox_send(message.data(), static_cast<int>(message.size()), &box);
    int error = errno;
    kxMbox_close(&box);
    if (rc != 0)
        throw Failure(kExitFailure, name + ": " + strerror(error));
}

Inbox::~Inbox()
{
    if (!name.empty())
        kxMbox_close(&box);
}

Deadline deadlineIn(double seconds)
{
    if (seconds <= 0)
        return std::nullopt;
    return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

void openInbox(Inbox &inbox, const std::string &name)
{
    MailboxInfo info = mailboxInfo(name);
    if (!info.exists)
        throw Failure(kExitNoDaemon, notThere(name, info.error));
    // It exists, so nothing is created here; the count is not consulted.
    if (kxMbox_rxopen(name.c_str(), KXMSG_MAX_COUNT_LG, &inbox.box) != 0)
        throw Failure(kExitNoDaemon, notThere(name, errno));
    inbox.name = name;
    struct mq_attr attr {};
    mq_getattr(inbox.box.mqd, &attr);
    inbox.size = attr.mq_msgsize > 0 ? attr.mq_msgsize : KXMSG_MAX;
}

bool lockReader(Inbox &inbox, const Deadline &deadline)
{
    while (flock(inbox.box.mqd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            throw Failure(kExitFailure, inbox.name + ": cannot lock: " + strerror(errno));
        if (stopRequested() || (deadline && Clock::now() >= *deadline))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

Received receive(Inbox &inbox, Bytes &message, const Deadline &deadline)
{
    for (;;) {
        if (stopRequested())
            return Received::stopped;
        // Standard output is watched for its reader going away (a pipe's
        // far end closed), not for room; poll() skips it when it is closed.
        int out = fcntl(STDOUT_FILENO, F_GETFD) == -1 ? -1 : STDOUT_FILENO;
        pollfd fds[2] = {{inbox.box.mqd, POLLIN, 0}, {out, 0, 0}};
        int ready = poll(fds, 2, millisecondsLeft(deadline));
        if (ready < 0 && errno != EINTR)
            throw Failure(kExitFailure, inbox.name + ": " + strerror(errno));
        if (ready > 0 && (fds[1].revents & (POLLERR | POLLHUP)) != 0)
            return Received::outputClosed;
        if (ready > 0 && (fds[0].revents & POLLIN) != 0 && takeNow(inbox, message))
            return Received::message;
        if (ready == 0 && millisecondsLeft(deadline) == 0)
            return Received::timeout;
    }
}

} // namespace kxctl
