// call, send, db and canvas: commands into a mailbox, and for call and
// canvas the wait for the response on "/to_kxnet". kxctl then plays the
// network daemon, whose mailbox that is: what it reads there, nobody else
// gets, so two kxctl take turns (lockReader).
#include "exchange.h"

#include "daemon/commands.h"
#include "daemon/health.h"
#include "daemon/mailbox.h"
#include "failure.h"
#include "meaning.h"
#include "message.h"
#include "picture.h"
#include "verbs.h"

#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace kxctl {

namespace {

// Why the daemon would not read a command put into this mailbox, or "".
std::string mailboxProblem(const std::string &name)
{
    const kxMailbox_t *box = std::find_if(std::begin(kxMailboxes), std::end(kxMailboxes),
                                          [&](const kxMailbox_t &b) { return name == b.name; });
    if (box != std::end(kxMailboxes) && box->inbound)
        return "";
    std::string head = "the daemon reads only /to_camera, /to_wif and /to_csi: ";
    if (name == KXMBOXtoKXNET)
        return head + name + " is the network daemon's mailbox; the camera never sees it";
    if (box != std::end(kxMailboxes))
        return head + name + " is made by the daemon for other programs, which read it";
    return head + name + " is no mailbox of the daemon";
}

// The checks that --force skips: what the daemon would not read, or its
// simulated camera would refuse for its form alone.
void checkCommand(const SendOptions &send, const std::string &code, const Bytes &args)
{
    std::string problem = mailboxProblem(mailboxName(send.mailbox));
    if (problem.empty())
        problem = argumentProblem(code, args.size());
    if (!send.force && !problem.empty())
        throw Failure(kExitUsage, problem + " (--force sends it anyway)");
}

Bytes buildFor(const SendOptions &send, const std::string &code, const Bytes &args)
{
    if (code.size() != 2)
        throw Failure(kExitUsage, "a command code has two characters, not \"" + code + "\"");
    checkCommand(send, code, args);
    CommandSpec command;
    command.code = code;
    command.args = args;
    command.source = send.source.empty() ? mailboxName(send.mailbox) : send.source;
    command.destination = send.destination;
    command.type = static_cast<uint8_t>(send.type);
    try {
        return buildCommand(command);
    } catch (const Error &e) {
        throw Failure(kExitUsage, e.what());
    }
}

// A full "/to_kxnet" ends the daemon at its next answer; send's answers
// stay there until someone reads them. Warned of from three quarters full,
// early enough for a script that sends in a loop to be told before the end;
// refused when fewer than two places are left: the answer and the camera's
// own "LC" after it.
constexpr long kWarnFromQuarters = 3;
constexpr long kLeastRoom = 2;

void checkAnswerRoom(const SendOptions &send)
{
    MailboxInfo info = mailboxInfo(KXMBOXtoKXNET);
    if (!info.exists || info.error != 0 || info.messages * 4 < info.capacity * kWarnFromQuarters)
        return;
    // Formatted, not concatenated: GCC 12 for 32-bit ARM warns falsely on
    // a chain of + that starts with a short string.
    char held[96];
    snprintf(held, sizeof held, "%s holds %ld of %ld messages", KXMBOXtoKXNET, info.messages,
             info.capacity);
    const char *why = ": the daemon ends when an answer finds it full; kxctl listen -t 1 "
                      "empties it";
    if (info.capacity - info.messages < kLeastRoom && !send.force)
        throw Failure(kExitNoDaemon, std::string(held) + why + " (--force sends anyway)");
    fprintf(stderr, "kxctl: warning: %s%s\n", held, why);
}

void postCommand(const OutputOptions &out, const SendOptions &send, const Bytes &command)
{
    std::string mailbox = mailboxName(send.mailbox);
    post(mailbox, command);
    if (out.verbose)
        printMessage(out, command, {mailbox, true});
}

bool answers(const Message &response, const Message &command)
{
    const Element *a = response.find(TLV_TYPE_CMD);
    const Element *b = command.find(TLV_TYPE_CMD);
    return a != nullptr && b != nullptr && a->value == b->value &&
           response.type == static_cast<uint8_t>(command.type + 1);
}

// Nothing came back: no daemon runs or reads, or the daemon took the
// command and the answer went elsewhere or never came.
Failure noResponse(const SendOptions &send, const std::string &code, double timeout)
{
    char text[160];
    snprintf(text, sizeof text, "no response to %s within %g s: ", code.c_str(), timeout);
    auto daemon = findDaemon();
    if (!daemon)
        return Failure(kExitNoDaemon, text + std::string("no kxRedIro runs (its mailboxes "
                                                         "outlive it; kxctl status)"));
    std::string pid = "kxRedIro (pid " + std::to_string(daemon->pid) + ")";
    if (daemon->stopped)
        return Failure(kExitNoDaemon, text + pid + " is stopped");
    std::string mailbox = mailboxName(send.mailbox);
    if (MailboxInfo info = mailboxInfo(mailbox); info.exists && info.messages > 0)
        return Failure(kExitNoDaemon, text + mailbox + " still holds " +
                                          std::to_string(info.messages) +
                                          " message(s): nobody reads it");
    return Failure(kExitTimeout,
                   text + pid + " took the command; the camera did not answer, or another "
                                "reader of /to_kxnet (the network daemon, a kxctl older than "
                                "this one) took the answer (kxctl status)");
}

// Sends the command and shows what else arrives on "/to_kxnet" (the
// camera's own "LC" and "SU", answers to others) until its response.
Bytes exchange(const OutputOptions &out, const SendOptions &send, const std::string &code,
               const Bytes &command, double timeout, bool answerOnly = false)
{
    Inbox kxnet;
    openInbox(kxnet, KXMBOXtoKXNET);
    Deadline deadline = deadlineIn(timeout);
    if (!lockReader(kxnet, deadline))
        throw Failure(kExitTimeout, "another kxctl reads " + kxnet.name +
                                        " (call, canvas or listen) and did not let go in time");
    // What is there before the command goes out cannot be its answer,
    // though it may look like one (left by a call that gave up).
    struct mq_attr attr {};
    mq_getattr(kxnet.box.mqd, &attr);
    long leftovers = attr.mq_curmsgs;
    postCommand(out, send, command);
    const Message sent = parseMessage(command);
    Bytes message;
    for (;;) {
        switch (receive(kxnet, message, deadline)) {
        case Received::message:
            if (leftovers-- <= 0 && answers(parseMessage(message), sent))
                return message;
            if (!answerOnly)
                printMessage(out, message, {kxnet.name, false, true, Role::meanwhile});
            break;
        case Received::timeout: throw noResponse(send, code, timeout);
        case Received::stopped: throw Failure(kExitFailure, "interrupted");
        case Received::outputClosed: throw OutputClosed{};
        }
    }
}

int statusOf(const Bytes &response, const std::string &code)
{
    if (verdictOf(parseMessage(response)) != Verdict::refused)
        return kExitOk;
    fprintf(stderr, "kxctl: the camera refused %s\n", code.c_str());
    return kExitRefused;
}

} // namespace

int postDb(const OutputOptions &out, const SendOptions &send, const std::string &level,
           const std::string &debug)
{
    Bytes args;
    try {
        appendLittleEndian(args, parseWord(level));
        appendLittleEndian(args, parseWord(debug));
    } catch (const Error &e) {
        throw Failure(kExitUsage, e.what());
    }
    postCommand(out, send, buildFor(send, "DB", args));
    return kExitOk;
}

int runCall(const OutputOptions &out, const CallOptions &o)
{
    const std::string &code = o.command.code;
    Bytes command = buildFor(o.send, code, commandArguments(o.command));
    Bytes response = exchange(out, o.send, code, command, o.timeout, o.answerOnly);
    printMessage(out, response, {KXMBOXtoKXNET, false, true, Role::answer});
    return statusOf(response, code);
}

int runSend(const OutputOptions &out, const CallOptions &o)
{
    Bytes command = buildFor(o.send, o.command.code, commandArguments(o.command));
    checkAnswerRoom(o.send);
    postCommand(out, o.send, command);
    return kExitOk;
}

int runDb(const OutputOptions &out, const DbOptions &o)
{
    return postDb(out, o.send, o.level, o.debug);
}

int runCanvas(const OutputOptions &out, const CanvasOptions &o)
{
    if (!o.file.empty() && !knownPictureFile(o.file))
        throw Failure(kExitUsage, o.file + ": the picture file must end in .png or .pbm");
    Bytes command = buildFor(o.send, "lc", {0x00});
    Bytes response = exchange(out, o.send, "lc", command, o.timeout);
    printMessage(out, response, {KXMBOXtoKXNET, false, true, Role::answer}, true);
    if (int status = statusOf(response, "lc"); status != kExitOk)
        return status;
    Meaning meaning = interpret(parseMessage(response));
    if (!meaning.canvas)
        throw Failure(kExitFailure, "the response to lc carries no canvas");
    if (!o.file.empty())
        writePicture(*meaning.canvas, o.file, o.scale);
    return kExitOk;
}

} // namespace kxctl
