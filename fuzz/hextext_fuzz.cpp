// libFuzzer target for kxmsg's plain hex: any text through the reader that
// decode uses, and hex text written back and read again the same.
#include "readers.h"

#include <algorithm>
#include <string_view>

namespace {

// A line that begins with '{' is a JSON line, the JSON line target's own.
// Parsing one costs many times what a line of hex does: left in, they take
// over the corpus within minutes and the target stops fuzzing hex.
bool hasJsonLine(std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        size_t first = text.find_first_not_of(" \t\r", at);
        if (first < end && text[first] == '{')
            return true;
        at = end + 1;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    if (hasJsonLine(text))
        return -1; // kept out of the corpus
    kxmsg::Bytes bytes;
    if (kxmsg::appendHexText(text, bytes)) {
        kxmsg::Bytes back;
        check(kxmsg::appendHexText(kxmsg::toHex(bytes, " "), back) && back == bytes);
    }
    readAll(data, size);
    return 0;
}
