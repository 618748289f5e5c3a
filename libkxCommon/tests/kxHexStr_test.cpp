// Hex dumps into strings and the UTIL_LOG logger.
#include "kxHexStr.h"
#include "kxtest.h"

#include <cinttypes>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string dump(const std::string &data, int aligned = 0, const char *prefix = "")
{
    char out[4096];
    int n = kxHexDumpStr_ext(out, sizeof out, data.data(), static_cast<int>(data.size()),
                             aligned, prefix);
    EXPECT_EQ(n, static_cast<int>(strlen(out)));
    return out;
}

// "XX XX XX XX  " four times, then the character column.
std::string lineOf(const char *label, const std::string &hexGroups, const std::string &chars)
{
    return std::string(label) + "  " + hexGroups + chars + "\n";
}

const std::string kAs = "41 41 41 41  41 41 41 41  41 41 41 41  41 41 41 41  ";

TEST(HexDumpStr, RepeatsRunningToTheEndAreFolded)
{
    EXPECT_EQ(dump(std::string(64, 'A')), lineOf("00000000", kAs, "AAAAAAAAAAAAAAAA"));
}

TEST(HexDumpStr, RepeatsFollowedByOtherBytesLeaveADotsLine)
{
    std::string data = std::string(64, 'A') + std::string(16, '\x01');
    std::string ones = "01 01 01 01  01 01 01 01  01 01 01 01  01 01 01 01  ";
    EXPECT_EQ(dump(data), lineOf("00000000", kAs, "AAAAAAAAAAAAAAAA") + "...\n" +
                              lineOf("00000040", ones, "................"));
}

TEST(HexDumpStr, PartialLastLineAndPrefix)
{
    std::string data = "0123456789ABCDEF\x7f" "bc";
    std::string first = "30 31 32 33  34 35 36 37  38 39 41 42  43 44 45 46  ";
    std::string last = "7F 62 63 " + std::string(13 * 3 + 4, ' ');
    EXPECT_EQ(dump(data, 0, "> "), "> " + lineOf("00000000", first, "0123456789ABCDEF") + "> " +
                                       lineOf("00000010", last, ".bc" + std::string(13, ' ')));
}

TEST(HexDumpStr, EmptyDataGivesItsAddress)
{
    char out[64];
    const char *data = "x";
    char expected[64];
    snprintf(expected, sizeof expected, "%p\n", static_cast<const void *>(data));
    EXPECT_EQ(kxHexDumpStr(out, sizeof out, data, 0, ""), static_cast<int>(strlen(expected)));
    EXPECT_STREQ(out, expected);
}

TEST(HexDumpStr, NegativeLengthWritesNothing)
{
    char out[16] = "untouched";
    EXPECT_EQ(kxHexDumpStr(out, sizeof out, "abc", -1, ""), 0);
    EXPECT_STREQ(out, "untouched") << "not even a NUL";
}

TEST(HexDumpStr, AlignedDumpLabelsAddressesAndBlanksLeadingSlots)
{
    alignas(16) char buf[48];
    memset(buf, 'z', sizeof buf);
    const char *data = buf + 5;
    char out[1024];
    kxHexDumpStrAddr(out, sizeof out, data, 11, "");
    char label[32];
    snprintf(label, sizeof label, "%08" PRIXPTR, reinterpret_cast<uintptr_t>(buf));
    std::string groups = std::string(13, ' ') + "   " + "7A 7A 7A  " + "7A 7A 7A 7A  7A 7A 7A 7A  ";
    EXPECT_EQ(std::string(out), lineOf(label, groups, "     zzzzzzzzzzz"));
}

TEST(HexDumpStr, BlankSlotsAreRememberedAsT)
{
    // The first line of an aligned dump remembers 'T' (0x54) for the slots
    // before the data, so a following line of sixteen 'T's is a repeat.
    alignas(16) char buf[64];
    memset(buf, 'T', sizeof buf);
    char out[1024];
    kxHexDumpStrAddr(out, sizeof out, buf + 3, 29, "");
    EXPECT_EQ(kxtest::splitLines(out).size(), 1u) << out;
}

TEST(HexDumpStr, SmallDestinationIsCutTerminatedAndCountedWhole)
{
    std::string full = dump(std::string(20, 'q'));
    char out[12];
    memset(out, '#', sizeof out);
    std::string data(20, 'q');
    int n = kxHexDumpStr(out, 10, data.data(), 20, "");
    EXPECT_EQ(n, static_cast<int>(full.size()));
    EXPECT_EQ(std::string(out), full.substr(0, 9));
    EXPECT_EQ(out[10], '#');
    EXPECT_EQ(out[11], '#');
}

class UtilLog : public ::testing::Test {
protected:
    void SetUp() override { kxtest::syslogDrain(0); }
    std::string one()
    {
        auto lines = kxtest::syslogDrain();
        EXPECT_EQ(lines.size(), 1u);
        if (lines.empty())
            return {};
        EXPECT_EQ(lines[0].priority, 8 + 3); // LOG_USER | LOG_ERR
        return lines[0].message;
    }
};

TEST_F(UtilLog, LineCarriesLevelNameMessageAndLocation)
{
    kxUtil_log(UTIL_LOG_WARN, 12, "here", "value %d", 7);
    EXPECT_EQ(one(), "UTIL_LOG_WARN :value 7 @here:12");
    kxUtil_log(UTIL_LOG_OFF, 1, "f", "%s", "");
    EXPECT_EQ(one(), "UTIL_LOG_OFF  : @f:1");
}

TEST_F(UtilLog, LongMessageIsCutAt349AndStillLocated)
{
    std::string msg(400, 'm');
    kxUtil_log(UTIL_LOG_ERROR, 99, "loc", "%s", msg.c_str());
    EXPECT_EQ(one(), "UTIL_LOG_ERROR:" + std::string(349 - 15, 'm') + " @loc:99");
}

TEST_F(UtilLog, LocationThatDoesNotFitBecomesABlank)
{
    std::string where(100, 'w');
    std::string msg(400, 'm');
    kxUtil_log(UTIL_LOG_TRACE, 5, where.c_str(), "%s", msg.c_str());
    EXPECT_EQ(one(), "UTIL_LOG_TRACE:" + std::string(334, 'm') + " ");

    std::string longWhere(500, 'w');
    kxUtil_log(UTIL_LOG_INFO, 5, longWhere.c_str(), "short");
    EXPECT_EQ(one(), "UTIL_LOG_INFO :short ");
}

TEST(UtilLogLevel, OnlyLevelsOfTheTableAreStored)
{
    EXPECT_EQ(g_logLevel, UTIL_LOG_ERROR);
    kxUtil_setLogLevel(7);
    EXPECT_EQ(g_logLevel, UTIL_LOG_ERROR);
    kxUtil_setLogLevel(static_cast<unsigned>(-1));
    EXPECT_EQ(g_logLevel, UTIL_LOG_ERROR);
    kxUtil_setLogLevel(6);
    EXPECT_EQ(g_logLevel, 6);
    kxUtil_setLogLevel(0);
    EXPECT_EQ(g_logLevel, 0);
}

} // namespace
