// libFuzzer target for kxmsg's plain hex: any text through the reader that
// decode uses, and hex text written back and read again the same.
#include "readers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    kxmsg::Bytes bytes;
    if (kxmsg::appendHexText(text, bytes)) {
        kxmsg::Bytes back;
        check(kxmsg::appendHexText(kxmsg::toHex(bytes, " "), back) && back == bytes);
    }
    readAll(data, size);
    return 0;
}
