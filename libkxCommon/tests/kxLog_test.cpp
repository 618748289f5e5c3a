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
    for (const auto &line : kxtest::syslogDrain()) {
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
    kxtest::syslogDrain();
}

TEST_F(LogTest, StandardOutputLineHasTimestampFunctionAndLine)
{
    setLevel(40);
    Output o = capture([] { logHello(39); });
    ASSERT_EQ(splitLines(o.rawOut).size(), 1u);
    // "%b%d %H:%M:%S": month abbreviation and day with no blank between.
    EXPECT_TRUE(testing::internal::RE::PartialMatch(
        o.rawOut, testing::internal::RE("^[A-Z][a-z][a-z][0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] ")))
        << o.rawOut;
    EXPECT_EQ(o.out[0], "[        logHello:" + std::string(g_logLine < 100 ? "  " : " ") +
                            std::to_string(g_logLine) + "] hello 42");
}

void aFunctionNameLongerThanSixteen() { KX_LOG(7, "x\n"); }

TEST_F(LogTest, LongFunctionNameIsPrintedWhole)
{
    setLevel(8, 0);
    Output o = capture([] { aFunctionNameLongerThanSixteen(); });
    ASSERT_EQ(o.sys.size(), 1u);
    EXPECT_EQ(o.sys[0].rfind("[aFunctionNameLongerThanSixteen:", 0), 0u) << o.sys[0];
}

TEST_F(LogTest, LogFileGetsTheStdoutLineAndIsAppended)
{
    ASSERT_EQ(mkdir("/tmp/fuse_d", 0777), 0);
    setLevel(16, kStdout | kLogFile);
    Output o = capture([] {
        logHello(15);
        logHello(15);
    });
    std::string file = kxtest::readFile(KX_LOG_FILE);
    EXPECT_EQ(file, o.rawOut);
    auto lines = splitLines(file);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(stripStamp(lines[1]), prefixOf("logHello", g_logLine) + "hello 42");
    EXPECT_EQ(o.sys.size(), 2u);
}

TEST_F(LogTest, MissingLogDirectoryDropsOnlyTheFileTarget)
{
    setLevel(16, kStdout | kLogFile);
    Output o = capture([] { logHello(15); });
    struct stat st {};
    EXPECT_NE(stat("/tmp/fuse_d", &st), 0) << "the directory must not be created";
    EXPECT_EQ(o.out.size(), 1u);
    EXPECT_EQ(o.sys.size(), 1u);
}

TEST_F(LogTest, BareLineHasNoLocationPrefix)
{
    setLevel(8);
    Output o = capture([] { KX_LOG_BARE(7, "Starting %s %s\n", "a", ""); });
    EXPECT_EQ(o.out, std::vector<std::string>{"Starting a "});
    EXPECT_EQ(o.sys, std::vector<std::string>{"Starting a \n"});
}

int g_assertLine;
void failAnAssertion(int x)
{
    g_assertLine = __LINE__ + 1;
    ASSERT(x == 1);
}

TEST_F(LogTest, AssertionReportsInRedAndExitsWith255)
{
    failAnAssertion(1); // holds: only learns the line
    kxtest::syslogDrain(0);
    auto child = kxtest::runChild([] {
        setLevel(8, kStdout);
        failAnAssertion(2);
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 255);
    std::string report = "\033[31mASSERT:libkxCommon/tests/kxLog_test.cpp/failAnAssertion:" +
                         std::to_string(g_assertLine) + ":x == 1\n\033[0m";
    EXPECT_EQ(stripStamp(child.out), report);
    auto sys = kxtest::syslogDrain();
    ASSERT_EQ(sys.size(), 1u);
    EXPECT_EQ(sys[0].message, report);
}

TEST_F(LogTest, AssertionAtLowLevelExitsSilently)
{
    kxtest::syslogDrain(0);
    auto child = kxtest::runChild([] {
        setLevel(7, kStdout);
        failAnAssertion(2);
    });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_TRUE(child.out.empty());
    EXPECT_TRUE(kxtest::syslogDrain().empty());
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

TEST_F(LogTest, TraceNeedsTraceBitAndTheIndexMask)
{
    uint32_t on = 0x20 | kStdout | kTrace;
    EXPECT_TRUE(dumpOf(kTwenty, on & ~kTrace, 0xFFFFFFFF).empty());
    // The initial g_debug enables only the debug-command indices.
    for (int index = 0; index < KX_TRACE_COUNT; ++index) {
        bool dumped = !dumpOf(kTwenty, on, KX_DEBUG_INIT, index).empty();
        EXPECT_EQ(dumped, index == 25 || index == 26) << index;
    }
    EXPECT_FALSE(dumpOf(kTwenty, on, 0x00800000, KX_TRACE_FROM_RT).empty());
    EXPECT_TRUE(dumpOf(kTwenty, on, 0x00800000, KX_TRACE_TO_RT).empty());
    // Bits 12-15, 30 and 31 select nothing; neither do slots 0 and 27.
    for (int index = 0; index < KX_TRACE_COUNT; ++index)
        EXPECT_TRUE(dumpOf(kTwenty, on, 0xC000F000, index).empty()) << index;
    EXPECT_TRUE(dumpOf(kTwenty, on, 0xFFFFFFFF, 0).empty());
    EXPECT_TRUE(dumpOf(kTwenty, on, 0xFFFFFFFF, 27).empty());
}

TEST_F(LogTest, TraceTagsAreTwelveColumnsWide)
{
    for (int index = 0; index < 27; ++index)
        EXPECT_EQ(strlen(kxTraceTag[index]), 12u) << index;
    EXPECT_STREQ(kxTraceTag[17], "        >RT ");
    EXPECT_STREQ(kxTraceTag[20], "        <RT ");
    EXPECT_EQ(kxTraceMask[12], 0x800u);
    EXPECT_EQ(kxTraceMask[13], 0x10000u);
}

std::vector<std::string> addressesOf(const std::vector<std::string> &lines, size_t labelWidth)
{
    std::vector<std::string> addrs;
    for (size_t i = 1; i < lines.size(); ++i)
        addrs.push_back(lines[i].substr(labelWidth, 8));
    return addrs;
}

using Addrs = std::vector<std::string>;

TEST_F(LogTest, DumpShowsHeadAndTailUnlessFullDumpsAreOn)
{
    uint32_t on = 0x20 | kStdout | kTrace;
    std::string b111(111, 'x'), b112(112, 'x'), b256(256, 'x');
    EXPECT_EQ(addressesOf(dumpOf(b111, on, ~0u), 12),
              (Addrs{"00000000", "00000010", "00000020", "00000030", "00000040", "00000050", "00000060"}));
    EXPECT_EQ(addressesOf(dumpOf(b112, on, ~0u), 12),
              (Addrs{"00000000", "00000010", "00000020", "00000030", "00000050", "00000060"}));
    EXPECT_EQ(addressesOf(dumpOf(b112, on | kFullDump, ~0u), 12).size(), 7u);
    EXPECT_EQ(addressesOf(dumpOf(b256, on, ~0u), 12),
              (Addrs{"00000000", "00000010", "00000020", "00000030", "000000e0", "000000f0"}));
    std::string b250(250, 'x'); // not a multiple of 16: the last three lines
    EXPECT_EQ(addressesOf(dumpOf(b250, on, ~0u), 12),
              (Addrs{"00000000", "00000010", "00000020", "00000030", "000000d0", "000000e0",
                     "000000f0"}));
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
