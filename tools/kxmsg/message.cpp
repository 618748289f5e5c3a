#include "message.h"

#include "error.h"

#include "kxMsg.h"
#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kxmsg {

namespace {

using Buffer = std::array<uint8_t, KXMSG_MAX>;

// Walks the elements within both the declared total and the bytes at hand,
// up to and including the end element.
std::vector<Element> walk(const Bytes &raw, size_t total)
{
    std::vector<Element> elements;
    size_t limit = std::min(total, raw.size());
    for (size_t at = TLV_MSG_HDR_LEN; at + TLV_ELEM_HDR_LEN <= limit;) {
        Element e;
        e.type = tlv_elem_type(raw.data() + at);
        e.offset = at;
        e.length = tlv_elem_len(raw.data() + at);
        size_t from = at + TLV_ELEM_HDR_LEN;
        size_t to = std::min(from + e.length, limit);
        e.value.assign(raw.begin() + static_cast<long>(from), raw.begin() + static_cast<long>(to));
        bool last = e.type == TLV_TYPE_END;
        at = from + e.length;
        elements.push_back(std::move(e));
        if (last)
            break;
    }
    return elements;
}

} // namespace

// The library trusts a buffer to hold what the header declares (up to
// KXMSG_MAX), so it gets a full, zero-filled one: bytes that did not arrive
// read as zero and the message fails the check instead of being misread.
int messageCheck(const Bytes &raw)
{
    if (raw.size() > KXMSG_MAX)
        return -1;
    Buffer buf{};
    std::copy(raw.begin(), raw.end(), buf.begin());
    return tlv_validate(buf.data());
}

const Element *Message::find(uint8_t elementType) const
{
    for (const auto &e : elements)
        if (e.type == elementType)
            return &e;
    return nullptr;
}

bool Message::isResponse() const
{
    return find(TLV_TYPE_RESP) != nullptr;
}

Message parseMessage(const Bytes &raw)
{
    Message m;
    m.raw = raw;
    m.check = messageCheck(raw);
    if (raw.size() >= 2)
        m.length = static_cast<int16_t>(be16(raw.data()));
    if (raw.size() >= TLV_MSG_HDR_LEN)
        m.type = tlv_msg_type(raw.data());
    if (m.length > 0)
        m.elements = walk(raw, static_cast<size_t>(m.length));
    return m;
}

Bytes buildCommand(const CommandSpec &command)
{
    if (command.code.size() != 2)
        throw Error("a command code has two characters, not \"" + command.code + "\"");
    Buffer buf{};
    int len = sntlv_command(buf.data(), buf.size(), command.type, command.code.data(),
                            command.args.data(), static_cast<unsigned>(command.args.size()),
                            command.source.c_str(), command.destination.c_str());
    size_t whole = TLV_COMMAND_LEN(command.args.size(), strlen(command.source.c_str()),
                                   strlen(command.destination.c_str()));
    if (static_cast<size_t>(len) != whole)
        throw Error("the command does not fit a message of " + std::to_string(KXMSG_MAX) +
                    " bytes");
    return Bytes(buf.begin(), buf.begin() + len);
}

Bytes makeResponse(const Bytes &command, const Bytes &payload)
{
    Buffer buf{};
    const unsigned size = buf.size();
    if (command.size() > size)
        return {};
    std::copy(command.begin(), command.end(), buf.begin());
    if (tlv_validate(buf.data()) != 0 || tlv_find(buf.data(), TLV_TYPE_SRC) == nullptr ||
        tlv_find(buf.data(), TLV_TYPE_DST) == nullptr)
        return {};
    // The daemon's own transformation, as its simulated camera applies it.
    int len = static_cast<int>(command.size()) +
              simAnswer(buf.data(), size, payload.data(), static_cast<int>(payload.size()));
    if (tlv_validate(buf.data()) != 0)
        return {};
    return Bytes(buf.begin(), buf.begin() + len);
}

std::string valueText(const Element *element)
{
    if (element == nullptr)
        return "?";
    if (isPrintable(element->value))
        return std::string(element->value.begin(), element->value.end());
    return element->value.empty() ? "(empty)" : toHex(element->value, " ");
}

std::string elementTypeName(uint8_t type)
{
    switch (type) {
    case TLV_TYPE_CMD: return "code";
    case TLV_TYPE_ARG: return "arguments";
    case TLV_TYPE_DST: return "destination";
    case TLV_TYPE_SRC: return "source";
    case TLV_TYPE_RESP: return "response";
    case TLV_TYPE_VOID: return "void";
    case TLV_TYPE_END: return "end";
    default: return "element 0x" + toHex(&type, 1);
    }
}

std::string checkText(int check)
{
    switch (check) {
    case 0: return "well-formed";
    case -1: return "the end element is not where it belongs";
    case -2: return "the element lengths do not add up (elements of a command or response)";
    case -3: return "the element lengths do not add up";
    default: return "malformed";
    }
}

} // namespace kxmsg
