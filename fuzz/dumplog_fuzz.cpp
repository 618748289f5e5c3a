// libFuzzer target for kxmsg's reader of the daemon's dump lines: lines
// of a log, put back together into messages; the other lines looked at
// for the daemon's assertion reports, as monitor does.
#include "assertion.h"
#include "readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    kxmsg::LogReader log;
    std::vector<kxmsg::Traced> done;
    while (!text.empty()) {
        size_t eol = std::min(text.find('\n'), text.size());
        if (auto d = kxmsg::parseDumpLine(text.substr(0, eol))) {
            check(d->address % 16 == 0 && d->count >= 1 && d->count <= 16);
            log.feed(*d, done);
        } else if (auto a = kxmsg::parseAssertion(text.substr(0, eol))) {
            check(a->report.rfind("ASSERT:", 0) == 0 && a->line.ends_with(a->report));
        }
        text.remove_prefix(std::min(eol + 1, text.size()));
    }
    log.flush(done);
    for (size_t i = 0; i < done.size(); ++i)
        checkTraced(done[i], i);
    return 0;
}
