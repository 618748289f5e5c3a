/* The public headers are C: this program includes all of them, is compiled
 * as strict C11 and linked by the C linker against the library. */
#include "kxCommon.h"

#include <string.h>

int main(void)
{
    char text[64];
    uint8_t msg[KXMSG_MAX];
    int len = tlv_init(msg, sizeof msg, 10);
    len += sntlv_append_val(msg, sizeof msg, TLV_TYPE_END, 0, 0);
    KX_LOG(KX_LOG_TRACE, "%s\n", "never written at the initial level");
    ASSERT(len == 8 && tlv_validate(msg) == 0 && g_timedreceive == 10);
    ASSERT(kxHexDumpStr(text, sizeof text, "AB", 2, "") > 0);
    ASSERT(strncmp(text, "00000000  41 42 ", 16) == 0);
    return strcmp(kxErrnoStr(KX_ERR_NAK), "KX_ERR_NAK");
}
