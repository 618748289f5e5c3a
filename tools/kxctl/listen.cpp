// listen: every message of one mailbox, as it comes. Like call, it takes
// the messages out of the mailbox: run it in place of the mailbox's owner
// (by default "/to_kxnet", the network daemon's), not beside it.
#include "daemon/mailbox.h"
#include "daemon/signals.h"
#include "failure.h"
#include "options.h"
#include "verbs.h"

#include <cstdio>

namespace kxctl {

namespace {

struct ListenOptions {
    std::string mailbox = "/to_kxnet";
    long count = 0;   // stop after this many; 0 never
    double quiet = 0; // stop after this many quiet seconds; 0 never
};

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

} // namespace

void defineListen(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<ListenOptions>();
    auto *verb = app.add_subcommand("listen", "show every message of a mailbox as it arrives");
    verb->add_option("MAILBOX", o->mailbox, "mailbox to read")->capture_default_str();
    verb->add_option("-C,--count", o->count, "stop after N messages")->check(CLI::PositiveNumber);
    verb->add_option("-t,--timeout", o->quiet, "stop after SECONDS without a message (status 4)")
        ->check(seconds(false));
    runs(verb, chosen, o, runListen);
}

} // namespace kxctl
