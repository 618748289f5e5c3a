/* The public headers are C: this program includes all of them, is compiled
 * as strict C11 and linked by the C linker against the library. */
#include "kxCommon.h"

#include <stdio.h>
#include <string.h>

int main(void)
{
    char text[64];
    int n = kxHexDumpStr(text, sizeof text, "AB", 2, "");
    KX_LOG(KX_LOG_TRACE, "%s\n", "never written at the initial level");
    ASSERT(n > 0);
    if (strcmp(kxErrnoStr(KX_ERR_NAK), "KX_ERR_NAK") != 0)
        return 1;
    if (g_debug_level != KX_DEBUG_LEVEL_INIT || g_debug != KX_DEBUG_INIT)
        return 1;
    uint8_t msg[KXMSG_MAX];
    int len = tlv_init(msg, sizeof msg, 10);
    len += sntlv_append_val(msg, sizeof msg, TLV_TYPE_END, 0, 0);
    if (len != 8 || tlv_validate(msg) != 0 || g_timedreceive != 10)
        return 1;
    return strncmp(text, "00000000  41 42 ", 16) == 0 ? 0 : 1;
}
