// listen: every message of one mailbox, as it comes. Like call, it takes
// the messages out of the mailbox: run it in place of the mailbox's owner
// (by default "/to_kxnet", the network daemon's), not beside it.
#include "daemon/mailbox.h"
#include "daemon/signals.h"
#include "failure.h"
#include "verbs.h"

#include <cstdio>

namespace kxctl {

int runListen(const OutputOptions &out, const ListenOptions &o)
{
    Inbox inbox;
    openInbox(inbox, mailboxName(o.mailbox));
    catchStopSignals();
    if (!lockReader(inbox, deadlineIn(o.quiet))) {
        if (stopRequested())
            return kExitOk;
        fprintf(stderr, "kxctl: another kxctl reads %s (call, canvas or listen)\n",
                inbox.name.c_str());
        return kExitTimeout;
    }
    Bytes message;
    for (long seen = 0; o.count == 0 || seen < o.count; ++seen) {
        switch (receive(inbox, message, deadlineIn(o.quiet))) {
        case Received::message: printMessage(out, message, {inbox.name}); break;
        case Received::timeout:
            fprintf(stderr, "kxctl: %s quiet for %g s\n", inbox.name.c_str(), o.quiet);
            return kExitTimeout;
        case Received::stopped: return kExitOk;
        case Received::outputClosed: throw OutputClosed{};
        }
    }
    return kExitOk;
}

} // namespace kxctl
