// call, send, db and canvas: commands into a mailbox, and for call and
// canvas the wait for the response on "/to_kxnet". kxctl then plays the
// network daemon, whose mailbox that is: what it reads there, nobody else
// gets.
#include "mailbox.h"
#include "meaning.h"
#include "picture.h"
#include "status.h"
#include "tlvmsg.h"
#include "verbs.h"

#include "kxRedIro.h"
#include "kxTlv.h"

#include <cstdio>

namespace kxctl {

namespace {

Bytes commandArguments(const CallOptions &o)
{
    int kinds = (o.args.empty() ? 0 : 1) + (o.hex.empty() ? 0 : 1) + (o.text.empty() ? 0 : 1);
    if (kinds > 1)
        throw Failure(kExitUsage, "give the arguments one way: as ARG words, --hex or --string");
    if (!o.hex.empty()) {
        try {
            return parseHexText(o.hex);
        } catch (const std::invalid_argument &e) {
            throw Failure(kExitUsage, std::string("--hex: ") + e.what());
        }
    }
    return o.text.empty() ? argumentBytes(o.args) : toBytes(o.text);
}

Bytes buildFor(const SendOptions &send, const std::string &code, const Bytes &args)
{
    if (code.size() != 2)
        throw Failure(kExitUsage, "a command code has two characters, not \"" + code + "\"");
    CommandSpec command;
    command.code = code;
    command.args = args;
    command.source = send.source.empty() ? mailboxName(send.mailbox) : send.source;
    command.destination = send.destination;
    command.type = static_cast<uint8_t>(send.type);
    return buildCommand(command);
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

// Nothing came back: either nobody took the command from its mailbox (no
// daemon), or it was taken and not answered in time.
Failure noResponse(const SendOptions &send, const std::string &code, double timeout)
{
    std::string mailbox = mailboxName(send.mailbox);
    MailboxInfo info = mailboxInfo(mailbox);
    if (info.exists && info.messages > 0)
        return Failure(kExitNoDaemon, mailbox + " still holds " + std::to_string(info.messages) +
                                          " message(s): nobody reads it (is kxRedIro running?)");
    char text[160];
    snprintf(text, sizeof text, "no response to %s within %g s", code.c_str(), timeout);
    return Failure(kExitTimeout, text);
}

// Sends the command and shows what else arrives on "/to_kxnet" (the
// camera's own "LC" and "SU", answers to others) until its response.
Bytes exchange(const OutputOptions &out, const SendOptions &send, const std::string &code,
               const Bytes &command, double timeout)
{
    Inbox kxnet;
    openInbox(kxnet, KXMBOXtoKXNET);
    postCommand(out, send, command);
    const Message sent = parseMessage(command);
    Deadline deadline = deadlineIn(timeout);
    Bytes message;
    for (;;) {
        switch (receive(kxnet, message, deadline)) {
        case Received::message:
            if (answers(parseMessage(message), sent))
                return message;
            printMessage(out, message, {kxnet.name});
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

// The debug words travel little-endian, unlike the TLV lengths.
void appendLittleEndian(Bytes &out, uint32_t word)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(word >> (8 * i)));
}

} // namespace

int runCall(const OutputOptions &out, const CallOptions &o)
{
    Bytes command = buildFor(o.send, o.code, commandArguments(o));
    Bytes response = exchange(out, o.send, o.code, command, o.timeout);
    printMessage(out, response, {KXMBOXtoKXNET});
    return statusOf(response, o.code);
}

int runSend(const OutputOptions &out, const CallOptions &o)
{
    postCommand(out, o.send, buildFor(o.send, o.code, commandArguments(o)));
    return kExitOk;
}

int runDb(const OutputOptions &out, const DbOptions &o)
{
    Bytes args;
    try {
        appendLittleEndian(args, parseWord(o.level));
        appendLittleEndian(args, parseWord(o.debug));
    } catch (const std::invalid_argument &e) {
        throw Failure(kExitUsage, e.what());
    }
    postCommand(out, o.send, buildFor(o.send, "DB", args));
    return kExitOk;
}

int runCanvas(const OutputOptions &out, const CanvasOptions &o)
{
    if (!o.file.empty() && !knownPictureFile(o.file))
        throw Failure(kExitUsage, o.file + ": the picture file must end in .png or .pbm");
    Bytes command = buildFor(o.send, "lc", {0x00});
    Bytes response = exchange(out, o.send, "lc", command, o.timeout);
    printMessage(out, response, {KXMBOXtoKXNET}, true);
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
