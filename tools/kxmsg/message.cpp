#include "message.h"

#include "error.h"

#include "kxMsg.h"
#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <array>

namespace kxmsg {

namespace {

using Buffer = std::array<uint8_t, KXMSG_MAX>;

size_t be16(const Bytes &raw, size_t at)
{
    return static_cast<size_t>(raw[at]) << 8 | raw[at + 1];
}

// The library trusts a buffer to hold what the header declares (up to
// KXMSG_MAX), so it gets a full, zero-filled one: bytes that did not arrive
// read as zero and the message fails the check instead of being misread.
int validate(const Bytes &raw)
{
    if (raw.size() > KXMSG_MAX)
        return -1;
    Buffer buf{};
    std::copy(raw.begin(), raw.end(), buf.begin());
    return tlv_validate(buf.data());
}

// Walks the elements within both the declared total and the bytes at hand,
// up to and including the end element.
std::vector<Element> walk(const Bytes &raw, size_t total)
{
    std::vector<Element> elements;
    size_t limit = std::min(total, raw.size());
    for (size_t at = TLV_MSG_HDR_LEN; at + TLV_ELEM_HDR_LEN <= limit;) {
        Element e;
        e.type = raw[at + 3];
        e.offset = at;
        e.length = be16(raw, at + 1);
        size_t from = at + TLV_ELEM_HDR_LEN;
        size_t to = std::min(from + e.length, limit);
        e.value.assign(raw.begin() + static_cast<long>(from), raw.begin() + static_cast<long>(to));
        elements.push_back(e);
        if (e.type == TLV_TYPE_END)
            break;
        at = from + e.length;
    }
    return elements;
}

} // namespace

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
    m.check = validate(raw);
    if (raw.size() >= 2)
        m.length = static_cast<int16_t>(be16(raw, 0));
    if (raw.size() >= TLV_MSG_HDR_LEN)
        m.type = raw[3];
    if (m.length > 0)
        m.elements = walk(raw, static_cast<size_t>(m.length));
    return m;
}

Bytes buildCommand(const CommandSpec &command)
{
    Buffer buf{};
    const unsigned size = buf.size();
    auto append = [&](uint8_t type, const void *value, size_t len) {
        int added = sntlv_append(buf.data(), size, type, static_cast<unsigned>(len), value);
        if (added == 0)
            throw Error("the command does not fit a message of " + std::to_string(KXMSG_MAX) +
                        " bytes");
        return added;
    };
    int len = tlv_init(buf.data(), size, command.type);
    len += append(TLV_TYPE_CMD, command.code.data(), command.code.size());
    len += append(TLV_TYPE_ARG, command.args.data(), command.args.size());
    len += append(TLV_TYPE_SRC, command.source.data(), command.source.size());
    len += append(TLV_TYPE_DST, command.destination.data(), command.destination.size());
    len += append(TLV_TYPE_END, nullptr, 0);
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
