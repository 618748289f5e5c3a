/* The header is C: compiled as strict C11 and linked by the C linker. Only
 * refused names are used, so that nothing is created on the host. */
#include "kxipc.h"

int main(void)
{
    static kxIpcHdl never; /* zero-filled: not open */
    kxIpcHdl hdl;
    char buf[KXIPC_MSG_MAX] = "x";

    if (kxIpcGetFd(&never) >= 0 || kxIpcInit("a/b", &hdl) >= 0)
        return 1;
    kxIpcClose(&hdl);
    return kxIpcSend(&hdl, buf, 1) < 0 && kxIpcReceive(&hdl, buf) == 0 &&
           kxIpcRtInit("..", &hdl) < 0 ? 0 : 1;
}
