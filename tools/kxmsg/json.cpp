#include "json.h"

#include "kxTlv.h"

namespace kxmsg {

namespace {

using json = Json;

json textOrNull(const Element *e)
{
    if (e == nullptr || !isPrintable(e->value))
        return nullptr;
    return std::string(e->value.begin(), e->value.end());
}

json elementsJson(const Message &m)
{
    json list = json::array();
    for (const Element &e : m.elements)
        list.push_back({{"type", e.type},
                        {"name", elementTypeName(e.type)},
                        {"length", e.length},
                        {"value", toHex(e.value)}});
    return list;
}

void addValue(json &out, const char *key, const Element *e)
{
    if (e != nullptr)
        out[key] = toHex(e->value);
}

} // namespace

json renderJson(const Message &m, const Meaning &meaning, const Origin &origin, bool verbose,
                WallClock::time_point when)
{
    json out = {
        {"time", epochSeconds(when)},
        {"channel", origin.channel},
        {"direction", origin.outgoing ? "out" : "in"},
        {"length", m.length},
        {"size", m.raw.size()},
        {"type", m.type},
        {"kind", m.isResponse() ? "response" : "command"},
        {"valid", m.check == 0},
        {"check", m.check},
        {"code", textOrNull(m.find(TLV_TYPE_CMD))},
        {"source", textOrNull(m.find(TLV_TYPE_SRC))},
        {"destination", textOrNull(m.find(TLV_TYPE_DST))},
    };
    if (origin.role != Role::none)
        out["answer"] = origin.role == Role::answer;
    addValue(out, "args", m.find(TLV_TYPE_ARG));
    addValue(out, "response", m.find(TLV_TYPE_RESP));
    if (meaning.verdict != Verdict::none)
        out["status"] = verdictText(meaning.verdict);
    if (!meaning.json.empty())
        out["decoded"] = meaning.json;
    out["elements"] = elementsJson(m);
    if (verbose)
        out["hex"] = toHex(m.raw);
    return out;
}

} // namespace kxmsg

namespace kxmsg {

std::string jsonLine(const Json &value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace kxmsg
