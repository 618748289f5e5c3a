#include "hextext.h"

#include "traced.h"

namespace kxmsg {

namespace {

size_t pending(const HexGather &g)
{
    return g.bytes.size() - g.at;
}

void handOut(HexGather &g, size_t size, const MessageBytes &each)
{
    auto from = g.bytes.begin() + static_cast<long>(g.at);
    each(Bytes(from, from + static_cast<long>(size)));
    g.at += size;
}

// Dropping what was handed out only once it is most of the buffer keeps
// the work linear in the input, however many messages one line holds.
void compact(HexGather &g)
{
    if (g.at < 4096 || g.at < g.bytes.size() / 2)
        return;
    g.bytes.erase(g.bytes.begin(), g.bytes.begin() + static_cast<long>(g.at));
    g.at = 0;
}

} // namespace

void hexAdd(HexGather &g, const Bytes &bytes, const MessageBytes &each)
{
    g.bytes.insert(g.bytes.end(), bytes.begin(), bytes.end());
    while (pending(g) >= 4) {
        size_t total = be16(g.bytes.data() + g.at);
        if (total < 4 && pending(g) >= kLongestMessage)
            total = kLongestMessage;
        if (total < 4 || total > pending(g))
            break;
        handOut(g, total, each);
    }
    compact(g);
}

void hexEnd(HexGather &g, const MessageBytes &each)
{
    if (pending(g) > 0)
        handOut(g, pending(g), each);
    g.bytes.clear();
    g.at = 0;
}

} // namespace kxmsg
