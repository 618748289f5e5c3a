/*
 * Hex dumps into a caller's string, and the stand-alone UTIL_LOG logger
 * that writes to syslog with a named level.
 */
#ifndef KXHEXSTR_H
#define KXHEXSTR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Dumps len bytes at data into dst as lines of
 * "<prefix><label:%08X>  XX XX XX XX  ...  <16 characters>\n". With aligned
 * set, lines start at 16-byte addresses and are labelled with them;
 * otherwise labels count 0, 0x10, ... from data. Runs of lines equal to the
 * last printed one are folded into a "..." line. Returns the length of the
 * whole text; dst receives what fits of it and is always terminated.
 */
int kxHexDumpStr_ext(char *dst, size_t size, const void *data, int len,
                     int aligned, const char *prefix);
int kxHexDumpStr(char *dst, size_t size, const void *data, int len,
                 const char *prefix);
int kxHexDumpStrAddr(char *dst, size_t size, const void *data, int len,
                     const char *prefix);

enum kxUtilLogLevel {
    UTIL_LOG_OFF = 0,
    UTIL_LOG_FATAL = 1,
    UTIL_LOG_ERROR = 2,
    UTIL_LOG_WARN = 3,
    UTIL_LOG_DEBUG = 4,
    UTIL_LOG_INFO = 5,
    UTIL_LOG_TRACE = 6
};

extern int32_t g_logLevel;

/* Writes "<LEVEL NAME>:<message> @<where>:<line>" to syslog (LOG_ERR),
 * whatever the level; messages are cut at 349 characters. */
void kxUtil_log(int level, int line, const char *where, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void kxUtil_setLogLevel(unsigned int level);

#define UTIL_LOG(level, ...) kxUtil_log((level), __LINE__, __func__, __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* KXHEXSTR_H */
