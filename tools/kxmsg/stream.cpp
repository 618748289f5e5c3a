#include "stream.h"

#include "error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kxmsg {

size_t streamFill(Stream &s, size_t want)
{
    want = std::min(want, s.buf.size());
    if (s.end - s.at >= want)
        return want;
    std::memmove(s.buf.data(), s.buf.data() + s.at, s.end - s.at);
    s.end -= s.at;
    s.at = 0;
    while (s.end < want) {
        size_t n = fread(s.buf.data() + s.end, 1, s.buf.size() - s.end, s.in);
        if (n == 0) {
            if (ferror(s.in))
                throw Error(std::string("cannot read: ") + strerror(errno));
            break;
        }
        s.end += n;
    }
    return std::min(want, s.end);
}

bool streamRead(Stream &s, uint8_t *dst, size_t n)
{
    while (n > 0) {
        size_t have = streamFill(s, n);
        if (have == 0)
            return false;
        std::memcpy(dst, s.buf.data() + s.at, have);
        s.at += have;
        dst += have;
        n -= have;
    }
    return true;
}

bool streamLine(Stream &s, std::string &line, size_t max, bool &tooLong)
{
    line.clear();
    tooLong = false;
    for (;;) {
        if (s.at == s.end && streamFill(s, 1) == 0)
            return !line.empty() || tooLong;
        const uint8_t *from = s.buf.data() + s.at;
        size_t have = s.end - s.at;
        const void *eol = std::memchr(from, '\n', have);
        size_t take = eol != nullptr ? static_cast<size_t>(static_cast<const uint8_t *>(eol) - from)
                                     : have;
        size_t room = max - std::min(max, line.size());
        line.append(reinterpret_cast<const char *>(from), std::min(take, room));
        tooLong = tooLong || take > room;
        s.at += take + (eol != nullptr ? 1 : 0);
        if (eol != nullptr)
            return true;
    }
}

} // namespace kxmsg
