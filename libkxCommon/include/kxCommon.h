/* All of libkxCommon. */
#ifndef KXCOMMON_H
#define KXCOMMON_H

#include "kxLog.h"
#include "kxUtil.h"
#include "kxHexStr.h"

#endif /* KXCOMMON_H */
