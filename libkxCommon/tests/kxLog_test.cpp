// Log lines, assertion reports and traffic dumps, checked on all three
// targets: captured standard output, the log file read back, and syslog
// datagrams received on a private /dev/log.
#include "kxLog.h"
#include "kxtest.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using Lines = std::vector<std::string>;

namespace {

constexpr uint32_t kStdout = 0x40000000;
constexpr uint32_t kLogFile = 0x20000000;
constexpr uint32_t kTrace = 0x100;

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
    for (const auto &line : kxtest::splitLines(o.rawOut))
        o.out.push_back(kxtest::stripStamp(line));
    for (const auto &line : kxtest::syslogDrain(0)) {
        EXPECT_EQ(line.priority, 8 + 7) << "LOG_USER | LOG_DEBUG";
        o.sys.push_back(line.message);
    }
    return o;
}

// Logs "hello 42" and returns the line that it must give, with its
// "[%16s:%4d] " prefix.
std::string logHello(int threshold)
{
    const int line = __LINE__ + 1;
    KX_LOG(threshold, "hello %d\n", 42);
    char expected[64];
    snprintf(expected, sizeof expected, "[%16s:%4d] hello 42", __func__, line);
    return expected;
}

class LogTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        g_debug_level = KX_DEBUG_LEVEL_INIT;
        g_debug = KX_DEBUG_INIT;
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
        std::string hello;
        Output o = capture([&] { hello = logHello(c.threshold); });
        EXPECT_EQ(o.out, c.toStdout ? Lines{hello} : Lines{}) << c.word;
        EXPECT_EQ(o.sys, c.toSyslog ? Lines{hello + "\n"} : Lines{}) << c.word;
    }
}

// The file gets the line of standard output, appended; without its
// directory only the file target is lost, and the directory is not made.
TEST_F(LogTest, LogFileGetsTheStdoutLineAndIsAppended)
{
    g_debug_level = 16 | kStdout | kLogFile;
    Output lost = capture([] { logHello(15); });
    EXPECT_NE(access("/tmp/fuse_d", F_OK), 0) << "the directory must not be created";
    EXPECT_EQ(lost.out.size() + lost.sys.size(), 2u);
    ASSERT_EQ(mkdir("/tmp/fuse_d", 0777), 0);
    Output o = capture([] { logHello(15), logHello(15); });
    std::string file = kxtest::readFile(KX_LOG_FILE);
    EXPECT_EQ(file, o.rawOut);
    ASSERT_EQ(kxtest::splitLines(file).size(), 2u);
    EXPECT_EQ(kxtest::stripStamp(kxtest::splitLines(file)[1]), logHello(39));
}

// The report itself is checked wherever a case expects an assertion; at
// level 7 there is none, and the process still ends with status 255.
TEST_F(LogTest, AssertionAtLevel7EndsTheProcessSilently)
{
    kxtest::ChildResult child;
    Output o = capture([&] {
        child = kxtest::runChild([] {
            g_debug_level = 7 | kStdout;
            ASSERT(g_debug == 0);
        });
    });
    EXPECT_EQ(child.exitCode, 255);
    EXPECT_EQ(child.out, "");
    EXPECT_EQ(o.sys, Lines{});
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
        EXPECT_EQ(lines[1], kTraceTags[index] + kFirstLine) << index;
    }
    EXPECT_EQ(dumpOf(kTwenty, on, 0x00100000, KX_TRACE_TO_RT).at(2),
              "        >RT 00000010  4748494a" + std::string(3 * (1 + 8) + 2, ' ') + "GHIJ" +
                  std::string(12, ' '));
}

// Head and tail: lines up to position 79 and those after which at most 31
// bytes remain, unless bit 0x200 asks for all; the lines shown (by address
// / 16), per length.
TEST_F(LogTest, DumpShowsHeadAndTailUnlessFullDumpsAreOn)
{
    const struct {
        int len;
        uint32_t full;
        std::vector<int> lines;
    } cases[] = {{111, 0, {0, 1, 2, 3, 4, 5, 6}},         {112, 0, {0, 1, 2, 3, 5, 6}},
                 {112, 0x200, {0, 1, 2, 3, 4, 5, 6}}, {256, 0, {0, 1, 2, 3, 14, 15}},
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
    g_debug_level = 0x20 | kStdout;
    for (int len : {0, -5})
        EXPECT_EQ(capture([&] { kxHexDump("lbl", 0, kTwenty.data(), len); }).out, Lines{""});
    Lines lines = capture([&] { kxHexDump("lbl", 0x1235, kTwenty.data(), 20); }).out;
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "lbl        00001230  " + std::string(8 + 1 + 2, ' ') +
                            "303132 33343536 37383941       0123456789A");
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

// The character column of a dump: 0x20 to 0x7E as themselves, else '.'.
TEST(HexDumpColumn, PrintableBytesAreSpaceToTilde)
{
    const std::pair<unsigned, int> rows[] = {{0x00, 0}, {0x1F, 0}, {0x20, 1}, {'A', 1},
                                             {0x7E, 1}, {0x7F, 0}, {0x80, 0}, {0xFF, 0}};
    for (auto [b, printable] : rows)
        EXPECT_EQ(kxIsPrintable(b), printable) << b;
}

} // namespace
