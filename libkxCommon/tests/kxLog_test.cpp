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
using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kStdout = 0x40000000;
constexpr uint32_t kLogFile = 0x20000000;
constexpr uint32_t kTrace = 0x100;
constexpr uint32_t kFullDump = 0x200;

struct Output {
    Lines out; // standard output, timestamps removed
    Lines sys; // syslog messages
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
        EXPECT_EQ(line.priority, 8 + 7) << "LOG_USER | LOG_DEBUG";
        o.sys.push_back(line.message);
    }
    return o;
}

// Named so that the "[%16s:%4d] " prefix is known.
int g_logLine;
void logHello(int threshold)
{
    g_logLine = __LINE__ + 1;
    KX_LOG(threshold, "hello %d\n", 42);
}

std::string hello()
{
    char prefix[64];
    snprintf(prefix, sizeof prefix, "[%16s:%4d] ", "logHello", g_logLine);
    return std::string(prefix) + "hello 42";
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        g_debug_level = KX_DEBUG_LEVEL_INIT;
        g_debug = KX_DEBUG_INIT;
    }
    // The given level byte and targets; the other bits as initially.
    static void setLevel(uint32_t level, uint32_t flags = kStdout)
    {
        g_debug_level = (KX_DEBUG_LEVEL_INIT & ~0xFFu) | level | flags;
    }
};

// A statement writes when the level byte is above its threshold: to
// standard output under bit 30, to syslog always. With the initial words
// warnings go to syslog only, and nothing is traced.
TEST_F(LogTest, LevelAboveThresholdWritesInitialWordsOnlyWarnings)
{
    EXPECT_EQ(g_debug_level, 0x00281420u);
    EXPECT_EQ(g_debug, 0x30000000u);
    const uint8_t msg[8] = {0, 8, 0, 10, 0, 0, 0, 0xEE};
    EXPECT_EQ(capture([&] {
                  for (int index = 0; index < KX_TRACE_COUNT; ++index)
                      kxTrace(index, msg, sizeof msg);
              }).sys.size(), 0u);
    const struct {
        uint32_t word;
        int threshold;
        bool toStdout, toSyslog;
    } cases[] = {{KX_DEBUG_LEVEL_INIT, 15, false, true}, {KX_DEBUG_LEVEL_INIT, 39, false, false},
                 {kStdout | 7, 7, false, false},        {kStdout | 8, 7, true, true},
                 {kStdout | 15, 15, false, false},      {kStdout | 16, 15, true, true},
                 {kStdout | 39, 39, false, false},      {kStdout | 40, 39, true, true}};
    for (const auto &c : cases) {
        g_debug_level = c.word;
        Output o = capture([&] { logHello(c.threshold); });
        EXPECT_EQ(o.out, c.toStdout ? Lines{hello()} : Lines{}) << c.word;
        EXPECT_EQ(o.sys, c.toSyslog ? Lines{hello() + "\n"} : Lines{}) << c.word;
    }
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
    EXPECT_EQ(stripStamp(splitLines(file)[1]), hello());
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
        kxtest::ChildResult child;
        Output o = capture([&] {
            child = kxtest::runChild([&] {
                setLevel(level);
                failAnAssertion(2);
            });
        });
        EXPECT_EQ(child.exitCode, 255) << level;
        EXPECT_EQ(o.sys, level == 8 ? Lines{report} : Lines{});
        EXPECT_EQ(level == 8 ? stripStamp(child.out) : child.out, level == 8 ? report : "");
    }
}

// The worked example: 0123456789ABCDEFGHIJ, whose first line under a
// 12-character tag is the tag and this.
const std::string kTwenty = "0123456789ABCDEFGHIJ";
const std::string kFirstLine = "00000000  30313233 34353637 38394142 43444546  0123456789ABCDEF";

Lines dumpOf(const std::string &data, uint32_t level, uint32_t dbg, int index)
{
    g_debug_level = level;
    g_debug = dbg;
    return capture([&] { kxTrace(index, data.data(), static_cast<int>(data.size())); }).out;
}

// The tags of the trace table. The masks of indices 1-12 are bits 0-11,
// those of 13-26 bits 16-29; indices 0 and 27 have none.
const char *const kTraceTags[KX_TRACE_COUNT] = {
    "            ", ">Hb         ", " Hb>        ", " Hb<        ", "<Hb         ",
    ">Hc         ", " Hc>        ", " Hc<        ", "<Hc         ", ">UD         ",
    " UD>        ", " UD<        ", "<UD         ", "    >GN     ", "     GN>    ",
    "     GN<    ", "    <GN     ", "        >RT ", "         RT>", "         RT<",
    "        <RT ", "        >WI ", "        <WI ", "        >BT ", "        <BT ",
    "DB>         ", "DB<         ", ""};

uint32_t traceMask(int index)
{
    if (index == 0 || index == 27)
        return 0;
    return index <= 12 ? 1u << (index - 1) : 1u << (index + 3);
}

// Each index dumps under its own tag when its mask bit is on, and stays
// silent when every other bit is on; without the trace bit nothing dumps.
TEST_F(LogTest, EveryTraceIndexHasItsTagAndOnlyItsMaskBit)
{
    uint32_t on = 0x20 | kStdout | kTrace;
    for (int index = 0; index < KX_TRACE_COUNT; ++index) {
        uint32_t mask = traceMask(index);
        EXPECT_EQ(dumpOf(kTwenty, on & ~kTrace, ~0u, index), Lines{}) << index;
        EXPECT_EQ(dumpOf(kTwenty, on, ~mask, index), Lines{}) << index;
        if (mask == 0)
            continue; // never dumped: the line above has every bit on
        Lines lines = dumpOf(kTwenty, on, mask, index);
        ASSERT_EQ(lines.size(), 3u) << index;
        EXPECT_EQ(lines[0], "") << "the header line";
        EXPECT_EQ(lines[1], kTraceTags[index] + kFirstLine) << index;
    }
    std::string blanks(8, ' ');
    EXPECT_EQ(dumpOf(kTwenty, on, 0x00100000, KX_TRACE_TO_RT).at(2),
              "        >RT 00000010  4748494a " + blanks + " " + blanks + " " + blanks + "  GHIJ" +
                  std::string(12, ' '));
}

// Head and tail: lines up to position 79 and those after which at most 31
// bytes remain; the lines shown (by address / 16), per length.
TEST_F(LogTest, DumpShowsHeadAndTailUnlessFullDumpsAreOn)
{
    const struct {
        int len;
        uint32_t full;
        std::vector<int> lines;
    } cases[] = {{111, 0, {0, 1, 2, 3, 4, 5, 6}},         {112, 0, {0, 1, 2, 3, 5, 6}},
                 {112, kFullDump, {0, 1, 2, 3, 4, 5, 6}}, {256, 0, {0, 1, 2, 3, 14, 15}},
                 {250, 0, {0, 1, 2, 3, 13, 14, 15}}};
    for (const auto &c : cases) {
        std::string data(static_cast<size_t>(c.len), 'x');
        Lines lines = dumpOf(data, 0x20 | kStdout | kTrace | c.full, ~0u, KX_TRACE_TO_RT);
        std::vector<int> shown;
        for (size_t i = 1; i < lines.size(); ++i)
            shown.push_back(std::stoi(lines[i].substr(12, 8), nullptr, 16) / 16);
        EXPECT_EQ(shown, c.lines) << c.len;
    }
}

// Nothing to dump leaves the header alone; an unaligned start clears the
// address's low bits and leaves the slots before the data blank.
TEST_F(LogTest, HexDumpHeaderAndUnalignedStart)
{
    const struct {
        uint32_t start;
        int len;
        Lines out;
    } cases[] = {
        {0, 0, {""}},
        {0, -5, {""}},
        {0x1235, 20,
         {"", "lbl        00001230  " + std::string(8 + 1 + 2, ' ') +
                 "303132 33343536 37383941       0123456789A",
          "lbl        00001240  42434445 46474849 4a" + std::string(6 + 1 + 8, ' ') +
              "  BCDEFGHIJ       "}},
    };
    g_debug_level = 0x20 | kStdout;
    for (const auto &c : cases) {
        Output o = capture([&] { kxHexDump("lbl", c.start, kTwenty.data(), c.len); });
        EXPECT_EQ(o.out, c.out) << c.len;
        EXPECT_EQ(o.sys.size(), c.out.size()) << c.len;
    }
}

// Bounded formatting: a line buffer of 24 bytes holds the 22 characters of
// tag and address, the first hex digit and the terminator.
TEST_F(LogTest, DumpLineStaysInsideItsBuffer)
{
    char line[26];
    memset(line, '#', sizeof line);
    uint32_t addr = 0;
    int pos = 0;
    EXPECT_EQ(kxHexDumpLine(line, 24, "        >RT ", &addr, &pos, kTwenty.data(), 20), 23);
    EXPECT_EQ(std::string(line), "        >RT 00000000  3");
    EXPECT_EQ(line[24], '#');
    EXPECT_EQ(pos, 16);
    EXPECT_EQ(addr, 16u);
}

} // namespace
