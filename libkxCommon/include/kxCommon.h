/* All of libkxCommon. */
#ifndef KXCOMMON_H
#define KXCOMMON_H

#include "kxMsg.h"
#include "kxLog.h"
#include "kxTlv.h"
#include "kxMbox.h"
#include "kxUtil.h"
#include "kxHexStr.h"

#endif /* KXCOMMON_H */
