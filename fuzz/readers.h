// What the fuzz targets of the message readers share: every message read
// keeps its shown ranges inside its bytes and is never longer than a
// message can be; the first few of each input also render, and the first
// of a capture, a dump or a JSON line comes back the same through its JSON
// line. Rendering every message of a long input, and the way back for each,
// cost most of a run, and what they reach depends on a message's bytes, not
// on its place: the fuzzer finds it by putting each kind of message first
// in turn.
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

inline constexpr size_t kRenderedMessages = 4;

// index: the message's place in its input, from 0; wayBack: whether the
// first takes it.
inline void checkTraced(const kxmsg::Traced &t, size_t index = 0, bool wayBack = true)
{
    for (const auto &[from, to] : t.shown)
        check(from <= to && to <= t.raw.size());
    check(t.raw.size() <= kxmsg::kLongestMessage);
    if (index < kRenderedMessages)
        kxmsg::tracedText(t, {});
    if (index != 0 || !wayBack)
        return;
    std::string line = kxmsg::tracedJsonLine(t);
    try {
        checkSame(t, kxmsg::tracedFromJson(line));
    } catch (const kxmsg::Error &) { // a label that is not UTF-8 comes back replaced
        check(line.find("\xEF\xBF\xBD") != std::string::npos);
    }
}

// The input as a file, through the reader that decode uses. Its messages
// have any bytes, as those of dump lines and captures do, whose targets take
// the way back; here, where a message of hex is as long as a third of its
// input, parsing its JSON line took a third of every run.
inline void readAll(const uint8_t *data, size_t size)
{
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (in == nullptr)
        return;
    size_t seen = 0;
    kxmsg::ReadEvents events{[&](const kxmsg::Traced &t) { checkTraced(t, seen++, false); },
                             [](const std::string &) {}};
    try {
        kxmsg::readRecording(in, events);
    } catch (const kxmsg::Error &) {
    }
    fclose(in);
}
