// Log lines, assertion reports and traffic dumps, checked on all three
// targets: captured standard output, the log file read back, and syslog
// datagrams received on a private /dev/log.
#include "kxLog.h"
#include "kxtest.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <vector>

using kxtest::splitLines;
using kxtest::stripStamp;

namespace {

constexpr uint32_t kLevelMask = 0xFF;
constexpr uint32_t kStdout = 0x40000000;
constexpr uint32_t kLogFile = 0x20000000;
constexpr uint32_t kTrace = 0x100;
constexpr uint32_t kFullDump = 0x200;
constexpr int kSyslogUserDebug = 8 + 7; // LOG_USER | LOG_DEBUG

struct Output {
    std::vector<std::string> out;    // standard output, timestamps removed
    std::vector<std::string> sys;    // syslog messages
    std::vector<int> sysPriorities;
    std::string rawOut;
};

template <class F> Output capture(F &&body)
{
    kxtest::syslogDrain(0);
    kxtest::FdCapture cap;
    body();
    Output o;
    o.rawOut = cap.stop();
    for (const auto &line : splitLines(o.rawOut))
        o.out.push_back(stripStamp(line));
    for (const auto &line : kxtest::syslogDrain(0)) {
        o.sys.push_back(line.message);
        o.sysPriorities.push_back(line.priority);
    }
    return o;
}

void setLevel(uint32_t level, uint32_t flags = kStdout)
{
    g_debug_level = (KX_DEBUG_LEVEL_INIT & ~kLevelMask) | level | flags;
}

// Named so that the "[%16s:%4d] " prefix is known.
int g_logLine;
void logHello(int threshold)
{
    g_logLine = __LINE__ + 1;
    KX_LOG(threshold, "hello %d\n", 42);
}

std::string prefixOf(const char *func, int line)
{
    char buf[64];
    snprintf(buf, sizeof buf, "[%16s:%4d] ", func, line);
    return buf;
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        g_debug_level = KX_DEBUG_LEVEL_INIT;
        g_debug = KX_DEBUG_INIT;
    }
};

TEST_F(LogTest, InitialWordsLogWarningsToSyslogOnlyAndTraceNothing)
{
    EXPECT_EQ(g_debug_level, 0x00281420u);
    EXPECT_EQ(g_debug, 0x30000000u);
    const uint8_t msg[8] = {0, 8, 0, 10, 0, 0, 0, 0xEE};
    Output o = capture([&] {
        logHello(15);
        logHello(39);
        for (int index = 0; index < KX_TRACE_COUNT; ++index)
            kxTrace(index, msg, sizeof msg);
    });
    EXPECT_TRUE(o.rawOut.empty());
    ASSERT_EQ(o.sys.size(), 1u);
    EXPECT_EQ(o.sys[0], prefixOf("logHello", g_logLine) + "hello 42\n");
    EXPECT_EQ(o.sysPriorities[0], kSyslogUserDebug);
}

TEST_F(LogTest, LevelEqualToThresholdWritesNothingOneMoreWrites)
{
    for (int threshold : {7, 15, 39}) {
        setLevel(static_cast<uint32_t>(threshold));
        Output silent = capture([&] { logHello(threshold); });
        EXPECT_TRUE(silent.out.empty()) << threshold;
        EXPECT_TRUE(silent.sys.empty()) << threshold;

        setLevel(static_cast<uint32_t>(threshold + 1));
        Output written = capture([&] { logHello(threshold); });
        std::string line = prefixOf("logHello", g_logLine) + "hello 42";
        EXPECT_EQ(written.out, std::vector<std::string>{line}) << threshold;
        EXPECT_EQ(written.sys, std::vector<std::string>{line + "\n"}) << threshold;
    }
}

TEST_F(LogTest, ArgumentsAreNotEvaluatedBelowThreshold)
{
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    setLevel(15, 0);
    KX_LOG(15, "%d\n", count());
    EXPECT_EQ(evaluated, 0);
    KX_LOG(7, "%d\n", count());
    EXPECT_EQ(evaluated, 1);
    kxtest::syslogDrain(0);
}

void aFunctionNameLongerThanSixteen() { KX_LOG_BARE(7, "Starting %s %s\n", "a", ""); KX_LOG(7, "x\n"); }

// A bare line has no location; a long function name is printed whole.
TEST_F(LogTest, BareLineAndLongFunctionName)
{
    setLevel(8);
    Output o = capture([] { aFunctionNameLongerThanSixteen(); });
    ASSERT_EQ(o.out.size(), 2u);
    EXPECT_EQ(o.out[0], "Starting a ");
    EXPECT_EQ(o.sys[0], "Starting a \n");
    EXPECT_EQ(o.sys[1].rfind("[aFunctionNameLongerThanSixteen:", 0), 0u) << o.sys[1];
}

// The file gets the line of standard output, appended; without its
// directory only the file target is lost, and the directory is not made.
TEST_F(LogTest, LogFileGetsTheStdoutLineAndIsAppended)
{
    setLevel(16, kStdout | kLogFile);
    Output lost = capture([] { logHello(15); });
    struct stat st {};
    EXPECT_NE(stat("/tmp/fuse_d", &st), 0) << "the directory must not be created";
    EXPECT_EQ(lost.out.size() + lost.sys.size(), 2u);
    ASSERT_EQ(mkdir("/tmp/fuse_d", 0777), 0);
    Output o = capture([] { logHello(15), logHello(15); });
    std::string file = kxtest::readFile(KX_LOG_FILE);
    EXPECT_EQ(file, o.rawOut);
    ASSERT_EQ(splitLines(file).size(), 2u);
    EXPECT_EQ(stripStamp(splitLines(file)[1]), prefixOf("logHello", g_logLine) + "hello 42");
}

int g_assertLine;
void failAnAssertion(int x)
{
    g_assertLine = __LINE__ + 1;
    ASSERT(x == 1);
}

// Above level 7 the report goes in red to standard output and syslog; at 7
// the process ends silently. Either way with status 255.
TEST_F(LogTest, AssertionReportsAboveLevel7AndAlwaysExitsWith255)
{
    failAnAssertion(1); // holds: only learns the line
    std::string report = "\033[31mASSERT:libkxCommon/tests/kxLog_test.cpp/failAnAssertion:" +
                         std::to_string(g_assertLine) + ":x == 1\n\033[0m";
    for (uint32_t level : {8u, 7u}) {
        kxtest::syslogDrain(0);
        auto child = kxtest::runChild([&] {
            setLevel(level, kStdout);
            failAnAssertion(2);
        });
        EXPECT_EQ(child.exitCode, 255) << level;
        auto sys = kxtest::syslogDrain(0);
        if (level == 7) {
            EXPECT_EQ(child.out, "");
            EXPECT_TRUE(sys.empty());
            continue;
        }
        EXPECT_EQ(stripStamp(child.out), report);
        ASSERT_EQ(sys.size(), 1u);
        EXPECT_EQ(sys[0].message, report);
    }
}

TEST_F(LogTest, AssertionEvaluatesItsConditionOnce)
{
    int calls = 0;
    auto call = [&] { return ++calls; };
    ASSERT(call() == 1);
    EXPECT_EQ(calls, 1);
}

// The text of the worked example: 0123456789ABCDEFGHIJ.
const std::string kTwenty = "0123456789ABCDEFGHIJ";

std::vector<std::string> dumpOf(const std::string &data, uint32_t level, uint32_t dbg,
                                int index = KX_TRACE_TO_RT)
{
    g_debug_level = level;
    g_debug = dbg;
    return capture([&] {
               kxTrace(index, data.data(), static_cast<int>(data.size()));
           }).out;
}

TEST_F(LogTest, TraceLineLayoutUnderTwelveCharacterTag)
{
    auto lines = dumpOf(kTwenty, 0x20 | kStdout | kTrace, 0x00100000);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "        >RT 00000000  30313233 34353637 38394142 43444546  0123456789ABCDEF");
    std::string blanks8(8, ' ');
    EXPECT_EQ(lines[2], "        >RT 00000010  4748494a " + blanks8 + " " + blanks8 + " " + blanks8 +
                            "  GHIJ" + std::string(12, ' '));
    EXPECT_EQ(lines[1].size(), 75u);
    EXPECT_EQ(lines[2].size(), 75u);
}

// The trace table as blanks before, visible text, blanks after and mask.
struct TraceRow {
    int before;
    const char *text;
    int after;
    uint32_t mask;
};
constexpr TraceRow kTraceTable[KX_TRACE_COUNT] = {
    {12, "", 0, 0},           {0, ">Hb", 9, 0x1},       {1, "Hb>", 8, 0x2},       {1, "Hb<", 8, 0x4},
    {0, "<Hb", 9, 0x8},       {0, ">Hc", 9, 0x10},      {1, "Hc>", 8, 0x20},      {1, "Hc<", 8, 0x40},
    {0, "<Hc", 9, 0x80},      {0, ">UD", 9, 0x100},     {1, "UD>", 8, 0x200},     {1, "UD<", 8, 0x400},
    {0, "<UD", 9, 0x800},     {4, ">GN", 5, 0x10000},   {5, "GN>", 4, 0x20000},   {5, "GN<", 4, 0x40000},
    {4, "<GN", 5, 0x80000},   {8, ">RT", 1, 0x100000},  {9, "RT>", 0, 0x200000},  {9, "RT<", 0, 0x400000},
    {8, "<RT", 1, 0x800000},  {8, ">WI", 1, 0x1000000}, {8, "<WI", 1, 0x2000000}, {8, ">BT", 1, 0x4000000},
    {8, "<BT", 1, 0x8000000}, {0, "DB>", 9, 0x10000000}, {0, "DB<", 9, 0x20000000}, {0, "", 0, 0},
};

// Each index dumps under its own tag when its mask bit is on, and stays
// silent when every other bit is on; without the trace bit nothing dumps.
TEST_F(LogTest, EveryTraceIndexHasItsTagAndOnlyItsMaskBit)
{
    uint32_t on = 0x20 | kStdout | kTrace;
    for (int index = 0; index < KX_TRACE_COUNT; ++index) {
        const TraceRow &row = kTraceTable[index];
        std::string tag = std::string(static_cast<size_t>(row.before), ' ') + row.text +
                          std::string(static_cast<size_t>(row.after), ' ');
        EXPECT_TRUE(dumpOf(kTwenty, on & ~kTrace, 0xFFFFFFFF, index).empty()) << index;
        EXPECT_TRUE(dumpOf(kTwenty, on, ~row.mask, index).empty()) << index;
        auto lines = dumpOf(kTwenty, on, row.mask == 0 ? 0xFFFFFFFF : row.mask, index);
        if (row.mask == 0) {
            EXPECT_TRUE(lines.empty()) << index;
            continue;
        }
        ASSERT_EQ(lines.size(), 3u) << index;
        EXPECT_EQ(lines[1].substr(0, 20), tag + "00000000") << index;
    }
}

// Head and tail: lines up to position 79 and those after which at most 31
// bytes remain; the addresses of the lines shown, per length.
TEST_F(LogTest, DumpShowsHeadAndTailUnlessFullDumpsAreOn)
{
    const struct {
        int len;
        uint32_t full;
        std::vector<int> lines;
    } cases[] = {{111, 0, {0, 1, 2, 3, 4, 5, 6}}, {112, 0, {0, 1, 2, 3, 5, 6}},
                 {112, kFullDump, {0, 1, 2, 3, 4, 5, 6}}, {256, 0, {0, 1, 2, 3, 14, 15}},
                 {250, 0, {0, 1, 2, 3, 13, 14, 15}}};
    for (const auto &c : cases) {
        auto lines = dumpOf(std::string(static_cast<size_t>(c.len), 'x'), 0x20 | kStdout | kTrace | c.full, ~0u);
        std::vector<int> shown;
        for (size_t i = 1; i < lines.size(); ++i)
            shown.push_back(std::stoi(lines[i].substr(12, 8), nullptr, 16) / 16);
        EXPECT_EQ(shown, c.lines) << c.len;
    }
}

TEST_F(LogTest, DumpOfNothingWritesOnlyTheHeader)
{
    g_debug_level = 0x20 | kStdout;
    for (int len : {0, -5}) {
        Output o = capture([&] { kxHexDump("x", 0, "abc", len); });
        EXPECT_EQ(o.out, std::vector<std::string>{""}) << len;
        EXPECT_EQ(o.sys, std::vector<std::string>{"\n"}) << len;
    }
}

TEST_F(LogTest, DumpFromUnalignedStartLeavesLeadingSlotsBlank)
{
    g_debug_level = 0x20 | kStdout;
    Output o = capture([&] { kxHexDump("lbl", 0x1235, kTwenty.data(), 20); });
    ASSERT_EQ(o.out.size(), 3u);
    EXPECT_EQ(o.out[1], "lbl        00001230  " + std::string(8, ' ') + " " + "  303132" + " " +
                            "33343536" + " " + "37383941" + "  " + "     0123456789A");
    EXPECT_EQ(o.out[2], "lbl        00001240  42434445 46474849 4a" + std::string(6, ' ') + " " +
                            std::string(8, ' ') + "  " + "BCDEFGHIJ" + std::string(7, ' '));
}

TEST_F(LogTest, ErrorTraceIgnoresTraceBitsAndNamesItsText)
{
    g_debug_level = 0x08 | kStdout;
    g_debug = 0;
    Output o = capture([&] { kxTraceError("CAM ipc validate failed", kTwenty.data(), 20); });
    ASSERT_EQ(o.out.size(), 4u);
    EXPECT_EQ(o.out[0], "CAM ipc validate failed:");
    EXPECT_EQ(o.out[1], "");
    EXPECT_EQ(o.out[2], "ERROR      00000000  30313233 34353637 38394142 43444546  0123456789ABCDEF");
    EXPECT_EQ(o.out[2].size(), 74u);
    EXPECT_EQ(o.sys.front(), "CAM ipc validate failed:\n");
    EXPECT_EQ(o.sys.back(), o.out[3] + "\n");

    g_debug_level = 0x07 | kStdout;
    Output quiet = capture([&] { kxTraceError("x", kTwenty.data(), 20); });
    EXPECT_TRUE(quiet.out.empty());
    EXPECT_TRUE(quiet.sys.empty());
}

TEST_F(LogTest, DumpLineStaysInsideASmallBuffer)
{
    char line[10];
    memset(line, '#', sizeof line);
    uint32_t addr = 0;
    int pos = 0;
    int n = kxHexDumpLine(line, 8, "        >RT ", &addr, &pos, kTwenty.data(), 20);
    EXPECT_EQ(n, 7);
    EXPECT_STREQ(line, "       ");
    EXPECT_EQ(line[8], '#');
    EXPECT_EQ(pos, 16);
    EXPECT_EQ(addr, 16u);
}

} // namespace
