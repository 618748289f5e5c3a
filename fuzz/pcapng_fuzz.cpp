// libFuzzer target for kxmsg's capture reader: any bytes read as pcapng,
// block by block, each packet checked as a message.
#include "readers.h"

#include "pcapng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (in == nullptr)
        return 0;
    kxmsg::Stream s;
    s.in = in;
    kxmsg::PcapReader r{s, {}, false, {}, 0, 0};
    kxmsg::Traced t;
    try {
        for (size_t seen = 0; kxmsg::pcapNext(r, t); ++seen)
            checkTraced(t, seen);
    } catch (const kxmsg::Error &) {
    }
    check(r.block.size() <= kxmsg::kLargestBlock);
    fclose(in);
    return 0;
}
