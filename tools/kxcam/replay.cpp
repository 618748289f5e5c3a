#include "replay.h"

#include "message.h"

#include "kxTlv.h"

#include <algorithm>
#include <cmath>

namespace kxcam {

namespace {

using kxmsg::Message;

// Where the recording stands: the command last recorded, and whether its
// response has come.
struct Reading {
    Replay &replay;
    std::optional<Message> command;
    std::optional<double> commandSeconds;
    bool commandWholeSeconds = false;
    bool answered = false;
};

const Bytes *valueOf(const Message &m, uint8_t type)
{
    const kxmsg::Element *e = m.find(type);
    return e != nullptr ? &e->value : nullptr;
}

bool respondsTo(const Message &response, const Message &command)
{
    const Bytes *a = valueOf(response, TLV_TYPE_CMD), *b = valueOf(command, TLV_TYPE_CMD);
    return a != nullptr && b != nullptr && *a == *b &&
           response.type == static_cast<uint8_t>(command.type + 1);
}

long millisecondsAfter(const Reading &r, const Recorded &m)
{
    if (!r.commandSeconds || !m.seconds)
        return 0;
    double ms = std::round((*m.seconds - *r.commandSeconds) * 1000);
    if (r.commandWholeSeconds && m.wholeSeconds)
        ms -= 1000;
    if (!std::isfinite(ms)) // times from a hostile file; NaN would pass the clamp
        return 0;
    return static_cast<long>(std::clamp(ms, 0.0, 86'400'000.0));
}

void startExchange(Reading &r, const Message &command, const Recorded &m)
{
    const Bytes *code = valueOf(command, TLV_TYPE_CMD);
    const Bytes *args = valueOf(command, TLV_TYPE_ARG);
    if (code == nullptr) {
        r.command.reset();
        return;
    }
    r.replay.exchanges.push_back({commandCode(*code), args != nullptr ? *args : Bytes{}, {}, {}, {}, 0});
    r.command = command;
    r.commandSeconds = m.seconds;
    r.commandWholeSeconds = m.wholeSeconds;
    r.answered = false;
}

void addFromCamera(Reading &r, const Message &message, const Recorded &m)
{
    if (!r.command)
        return;
    Exchange &e = r.replay.exchanges.back();
    RecordedSend send{millisecondsAfter(r, m), m.raw};
    if (!r.answered && respondsTo(message, *r.command)) {
        e.response = std::move(send);
        r.answered = true;
    } else {
        (r.answered ? e.after : e.before).push_back(std::move(send));
    }
}

} // namespace

std::string commandCode(const Bytes &codeValue)
{
    return std::string(codeValue.begin(), codeValue.begin() + std::min<size_t>(codeValue.size(), 2));
}

void addRecording(Replay &replay, const std::vector<Recorded> &recording)
{
    Reading r{replay, {}, {}, false};
    for (const Recorded &m : recording) {
        Message message = kxmsg::parseMessage(m.raw);
        if (message.check != 0)
            continue;
        if (m.toCamera)
            startExchange(r, message, m);
        else
            addFromCamera(r, message, m);
    }
}

Exchange *replayFor(Replay &replay, std::string_view code, const Bytes &args)
{
    Exchange *last = nullptr;
    for (Exchange &e : replay.exchanges) {
        if (e.code != code || e.args != args)
            continue;
        last = &e;
        if (e.used == 0)
            break;
    }
    ++(last != nullptr ? replay.matched : replay.unmatched);
    if (last != nullptr)
        ++last->used;
    return last;
}

} // namespace kxcam
