/*
 * Diagnostics of the daemon and its library: the two debug words, the log
 * statement, assertions and the traffic trace with its hex dumps.
 *
 * Every line goes, in this order, to standard output (bit 30 of
 * g_debug_level), to the append-only file KX_LOG_FILE (bit 29) and to
 * syslog at priority LOG_DEBUG (always), but only when the level byte of
 * g_debug_level is greater than the statement's threshold.
 */
#ifndef KXLOG_H
#define KXLOG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* strftime format of the local-time stamp that begins every line on
 * standard output and in the log file, e.g. "Dec07 05:02:30". Readers of
 * those lines parse it with the same format. */
#define KX_LOG_STAMP_FORMAT "%b%d %H:%M:%S"

/* The bytes that a hex dump's character column shows as themselves, 0x20
 * to 0x7E; every other byte is shown as '.'. */
static inline int kxIsPrintable(unsigned int b)
{
    return b >= 0x20 && b <= 0x7E;
}

/* Fields of g_debug_level. */
#define KX_DBG_LEVEL_MASK   0x000000FFu /* log level, 0-255 */
#define KX_DBG_TRACE        0x00000100u /* traffic trace on */
#define KX_DBG_FULL_DUMP    0x00000200u /* dump every line, not head and tail */
#define KX_DBG_STARTUP      0x00001000u /* announce the daemon's start */
#define KX_DBG_LOGFILE      0x20000000u /* log file target */
#define KX_DBG_STDOUT       0x40000000u /* standard output target */
#define KX_DBG_SIMULATOR    0x80000000u /* answer commands as the camera */

#define KX_DEBUG_LEVEL_INIT 0x00281420u
#define KX_DEBUG_INIT       0x30000000u

/* Thresholds in use: errors, warnings and state changes, handler traces. */
#define KX_LOG_ERR   7
#define KX_LOG_WARN  15
#define KX_LOG_TRACE 39

#define KX_LOG_FILE "/tmp/fuse_d/wifi_log.txt"

/* Trace indices: tags are 12 visible columns in 16-byte slots. */
#define KX_TRACE_COUNT    28
#define KX_TRACE_TAG_SIZE 16
#define KX_TRACE_TO_RT    17 /* from an inbound mailbox towards the camera */
#define KX_TRACE_FROM_RT  20 /* from the camera side towards a mailbox */

/* One dump line: a 12-character tag line is 75 characters. */
#define KX_HEXDUMP_LINE_SIZE 98

extern uint32_t g_debug_level;
extern uint32_t g_debug;

extern const char kxTraceTag[KX_TRACE_COUNT][KX_TRACE_TAG_SIZE];
extern const uint32_t kxTraceMask[KX_TRACE_COUNT];

#define KX_LOG_LEVEL() ((int)(g_debug_level & KX_DBG_LEVEL_MASK))

/* Arguments are not evaluated when the threshold is not passed. */
#define KX_LOG(threshold, ...)                                   \
    do {                                                         \
        if (KX_LOG_LEVEL() > (threshold))                        \
            kxLogWrite(__func__, __LINE__, __VA_ARGS__);         \
    } while (0)

/* A line without the "[function:line] " prefix. */
#define KX_LOG_BARE(threshold, ...)                              \
    do {                                                         \
        if (KX_LOG_LEVEL() > (threshold))                        \
            kxLogWriteBare(__VA_ARGS__);                         \
    } while (0)

/*
 * A report names the module that the function belongs to: the source file,
 * unless the file is one part of a larger module and defines KX_MODULE as
 * that module's path before it includes any header.
 */
#ifndef KX_MODULE
#define KX_MODULE __FILE__
#endif

/* The condition is evaluated exactly once, also when it has side effects. */
#define ASSERT(cond) KX_ASSERT_AS(cond, KX_MODULE, __func__, #cond)

/* For a helper that checks on behalf of another function: the report
 * names that function's module and name, and the condition text given. */
#define KX_ASSERT_AS(ok, module, func, text)                     \
    do {                                                         \
        if (!(ok))                                               \
            kxAssertFail(module, func, __LINE__, text);          \
    } while (0)

void kxLogWrite(const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void kxLogWriteBare(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Reports the failed condition (above level 7) and exits with status -1. */
void kxAssertFail(const char *file, const char *func, int line, const char *cond)
    __attribute__((__noreturn__));

void kxTrace(int index, const void *msg, int len);
void kxTraceError(const char *text, const void *msg, int len);
void kxHexDump(const char *label, uint32_t start, const void *data, int len);
int kxHexDumpLine(char *line, size_t size, const char *label, uint32_t *addr,
                  int *pos, const void *data, int len);

#ifdef __cplusplus
}
#endif

#endif /* KXLOG_H */
