// libFuzzer target for kxmsg's reader of the daemon's dump lines: lines
// of a log, put back together into messages.
#include "readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    kxmsg::LogReader log;
    std::vector<kxmsg::Traced> done;
    while (!text.empty()) {
        size_t eol = std::min(text.find('\n'), text.size());
        if (auto d = kxmsg::parseDumpLine(text.substr(0, eol)))
            check(d->address % 16 == 0 && !d->bytes.empty() && d->bytes.size() <= 16);
        log.feed(text.substr(0, eol), done);
        text.remove_prefix(std::min(eol + 1, text.size()));
    }
    log.flush(done);
    for (const auto &t : done)
        checkTraced(t);
    return 0;
}
