// What the fuzz targets of the message readers share: every message read
// keeps its shown ranges inside its bytes, is never longer than a message
// can be, and renders; the first of each input also comes back the same
// through its JSON line. That way back costs three quarters of a run when
// it is taken for every message, and the coverage it adds steers the
// fuzzer into putting each kind of message first in turn.
#pragma once

#include "kxFuzz.h"
#include "error.h"
#include "jsonline.h"
#include "reader.h"

#include <cstdio>

inline void checkSame(const kxmsg::Traced &a, const kxmsg::Traced &b)
{
    check(a.raw.size() == b.raw.size());
    for (const auto &[from, to] : a.shown)
        check(std::equal(a.raw.data() + from, a.raw.data() + to, b.raw.data() + from));
}

inline void checkTraced(const kxmsg::Traced &t, bool wayBack = true)
{
    for (const auto &[from, to] : t.shown)
        check(from <= to && to <= t.raw.size());
    check(t.raw.size() <= kxmsg::kLongestMessage);
    kxmsg::tracedText(t, {});
    if (!wayBack)
        return;
    std::string line = kxmsg::tracedJsonLine(t);
    try {
        checkSame(t, kxmsg::tracedFromJson(line));
    } catch (const kxmsg::Error &) { // a label that is not UTF-8 comes back replaced
        check(line.find("\xEF\xBF\xBD") != std::string::npos);
    }
}

// The input as a file, through the reader that decode uses.
inline void readAll(const uint8_t *data, size_t size)
{
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (in == nullptr)
        return;
    size_t seen = 0;
    kxmsg::ReadEvents events{[&](const kxmsg::Traced &t) { checkTraced(t, seen++ == 0); },
                             [](const std::string &) {}};
    try {
        kxmsg::readRecording(in, events);
    } catch (const kxmsg::Error &) {
    }
    fclose(in);
}
