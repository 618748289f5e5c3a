// libFuzzer target for kxmsg's reader of kxctl's JSON lines: the input is
// one line, refused or read as a message.
#include "readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    try {
        checkTraced(kxmsg::tracedFromJson({reinterpret_cast<const char *>(data), size}));
    } catch (const kxmsg::Error &) {
    }
    return 0;
}
