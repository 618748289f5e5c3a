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

// Repeats are folded, with "..." only when other bytes follow them; a
// partial last line is padded; every line carries the prefix.
TEST(HexDumpStr, LinesRepeatsAndPrefix)
{
    const std::string ones = "01 01 01 01  01 01 01 01  01 01 01 01  01 01 01 01  ";
    const std::string digits = "30 31 32 33  34 35 36 37  38 39 41 42  43 44 45 46  ";
    const struct {
        std::string data, prefix, expected;
    } cases[] = {
        {std::string(64, 'A'), "", lineOf("00000000", kAs, std::string(16, 'A'))},
        {std::string(64, 'A') + std::string(16, '\x01'), "",
         lineOf("00000000", kAs, std::string(16, 'A')) + "...\n" + lineOf("00000040", ones, std::string(16, '.'))},
        {"0123456789ABCDEF\x7f" "bc", "> ",
         "> " + lineOf("00000000", digits, "0123456789ABCDEF") + "> " +
             lineOf("00000010", "7F 62 63 " + std::string(13 * 3 + 4, ' '), ".bc" + std::string(13, ' '))},
    };
    for (const auto &c : cases)
        EXPECT_EQ(dump(c.data, 0, c.prefix.c_str()), c.expected);
}

// Length 0 gives the data's address; a negative length nothing, not even a NUL.
TEST(HexDumpStr, EmptyDataGivesItsAddressNegativeLengthNothing)
{
    char out[64] = "untouched", expected[64];
    const char *data = "x";
    EXPECT_EQ(kxHexDumpStr(out, sizeof out, data, -1, ""), 0);
    EXPECT_STREQ(out, "untouched");
    snprintf(expected, sizeof expected, "%p\n", static_cast<const void *>(data));
    EXPECT_EQ(kxHexDumpStr(out, sizeof out, data, 0, ""), static_cast<int>(strlen(expected)));
    EXPECT_STREQ(out, expected);
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
        auto lines = kxtest::syslogDrain(0);
        EXPECT_EQ(lines.size(), 1u);
        if (lines.empty())
            return {};
        EXPECT_EQ(lines[0].priority, 8 + 3); // LOG_USER | LOG_ERR
        return lines[0].message;
    }
};

TEST_F(UtilLog, LineCarriesLevelNameMessageAndLocation)
{
    const char *names[] = {"UTIL_LOG_OFF  ", "UTIL_LOG_FATAL", "UTIL_LOG_ERROR", "UTIL_LOG_WARN ",
                           "UTIL_LOG_DEBUG", "UTIL_LOG_INFO ", "UTIL_LOG_TRACE"};
    for (int level = 0; level < 7; ++level) {
        kxUtil_log(level, 12 + level, "here", "value %d", level);
        EXPECT_EQ(one(), std::string(names[level]) + ":value " + std::to_string(level) + " @here:" +
                             std::to_string(12 + level));
    }
}

// Prefix and message are cut at 349 characters; the location goes after
// them when it fits the room left, else a single blank does.
TEST_F(UtilLog, LongMessageIsCutAt349AndStillLocated)
{
    const std::string m400(400, 'm'), cut = "UTIL_LOG_ERROR:" + std::string(334, 'm');
    const struct {
        std::string where, msg, expected;
    } cases[] = {{"loc", m400, cut + " @loc:99"},
                 {std::string(200, 'w'), "short", "UTIL_LOG_ERROR:short @" + std::string(200, 'w') + ":99"},
                 {std::string(100, 'w'), m400, cut + " "},
                 {std::string(500, 'w'), "short", "UTIL_LOG_ERROR:short "}};
    for (const auto &c : cases) {
        kxUtil_log(UTIL_LOG_ERROR, 99, c.where.c_str(), "%s", c.msg.c_str());
        EXPECT_EQ(one(), c.expected) << c.where.size();
    }
}

TEST(UtilLogLevel, OnlyLevelsOfTheTableAreStored)
{
    EXPECT_EQ(g_logLevel, UTIL_LOG_ERROR);
    const int steps[][2] = {{7, UTIL_LOG_ERROR}, {6, 6}, {-1, 6}, {0, 0}, {100, 0}}; // set, then stored
    for (const auto &step : steps) {
        kxUtil_setLogLevel(static_cast<unsigned>(step[0]));
        EXPECT_EQ(g_logLevel, step[1]) << step[0];
    }
}

} // namespace
