// Error and model names, the card id file (in the test's private /tmp),
// blank skipping, hex dumps into strings and the UTIL_LOG logger.
#include "kxHexStr.h"
#include "kxUtil.h"
#include "kxtest.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// The C library's generator, replaced: so many zero draws, then g_draw.
int g_zeroDraws = 0, g_draw = 3;
extern "C" int rand() noexcept { return g_zeroDraws-- > 0 ? 0 : g_draw; }

namespace {

TEST(ErrnoStr, EveryRowOfTheTableAndUnknownBetween)
{
    const char *names[] = {
        "KX_OK", "KX_ERR", "KX_ERR_OUTOFMEM", "KX_ERR_INVALID_PARAM", "KX_ERR_INCOMPLETE_CGI_PARAM",
        "KX_ERR_MQ_FAIL", "KX_ERR_NO_SDCARD", "KX_ERR_SDCARD_FULL", "KX_ERR_CREATING_MISC_DIR",
        "KX_ERR_UPLOADED_FILE", "KX_ERR_FILE_OPEN", "KX_ERR_FILE_READ", "KX_ERR_FILE_WRITE",
        "KX_ERR_REMOTE_FILE_OPEN", "KX_ERR_REMOTE_FILE_READ", "KX_ERR_REMOTE_FILE_WRITE",
        "KX_ERR_ACCESS_DENIED", "KX_ERR_NAK", "KX_ERR_RESPONSE_ALREADY_SENT", "KX_ERR_NAK_OFF",
        "KX_ERR_NOT_SUPPORTED", "KX_ERR_DOWNLOAD_FAILED"};
    for (int row = 0; row < 22; ++row)
        EXPECT_STREQ(kxErrnoStr(row == 21 ? -100 : -row), names[row]) << row;
    for (int code : {-21, -99, 1, -101})
        EXPECT_STREQ(kxErrnoStr(code), "UNKNOWN") << code;
}

TEST(ModelName, KnownIdsHaveNamesOthersNone)
{
    const int ids[] = {0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    for (size_t row = 0; row < std::size(ids); ++row)
        EXPECT_STREQ(kxUtil_modelName(ids[row]), kxModelTable[row].name) << ids[row];
    for (int id : {5, 9, 21, -1})
        EXPECT_EQ(kxUtil_modelName(id), nullptr) << id;
}

TEST(SkipBlanks, StopsAtFirstOtherCharacter)
{
    const char *s = "  x y", *nl = "\t\nz";
    EXPECT_EQ(kxUtil_skipBlanks(s), s + 2);
    EXPECT_EQ(kxUtil_skipBlanks(nl), nl + 1); // a line end is not a blank
    for (const char *none : {static_cast<const char *>(nullptr), "", " \t  \t"})
        EXPECT_EQ(kxUtil_skipBlanks(none), nullptr);
}

class CardId : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::remove_all("/tmp/fuse_d");
        ASSERT_EQ(mkdir("/tmp/fuse_d", 0777), 0);
        g_zeroDraws = 0, g_draw = 3;
    }
    std::string get()
    {
        EXPECT_EQ(kxUtil_getCardId(buf), 0);
        EXPECT_EQ(kxtest::readFile(KX_CARD_FILE), std::string(buf)); // no line end
        return buf;
    }
    char buf[KX_CARD_ID_SIZE] = {};
};

// The id is r * r - 1 for the first draw r that is not zero, at the tenth
// draw at the latest; it is made once, then read back. Descriptor 0 is
// closed, as in a daemon, so that the card file is opened as 0.
TEST_F(CardId, IsMadeOnceThenReadBack)
{
    close(STDIN_FILENO);
    g_zeroDraws = 9;
    EXPECT_EQ(get(), "8");
    g_draw = 4;
    EXPECT_EQ(get(), "8");
    ASSERT_TRUE(kxtest::writeFile(KX_CARD_FILE, ""));
    EXPECT_EQ(get(), "15") << "an empty file gets a new id";
    ASSERT_TRUE(kxtest::writeFile(KX_CARD_FILE, std::string(40, '7')));
    EXPECT_EQ(kxUtil_getCardId(buf), 0);
    EXPECT_EQ(std::string(buf), std::string(31, '7'));
    ASSERT_TRUE(kxtest::writeFile(KX_CARD_FILE, "1234\n5678"));
    EXPECT_EQ(kxUtil_getCardId(buf), 0);
    EXPECT_EQ(std::string(buf), "1234\n");
    EXPECT_EQ(open("/dev/null", O_RDONLY), STDIN_FILENO);
}

// Each failure: one line on standard error, -1, and "0" in the buffer
// unless an id was made.
TEST_F(CardId, FailuresReportOnStandardError)
{
    const struct {
        std::function<bool()> setUp;
        int zeroDraws;
        const char *out, *err;
    } cases[] = {
        {[] { return kxtest::writeFile("/tmp/fuse_d/MISC", "x"); }, 0, "-1 0",
         "Failed to create folder:/tmp/fuse_d/MISC/\n"},
        {[] { return mkdir(KX_CARD_DIR, 0777) == 0 && mkdir(KX_CARD_FILE, 0777) == 0; }, 0,
         "-1 0", "Failed to create file  /tmp/fuse_d/MISC/card\n"},
        {[] { return true; }, 10, "-1 0", "Failed to get random number\n"},
        {[] { // a full file system
             return mkdir(KX_CARD_DIR, 0777) == 0 &&
                    mount("tmpfs", KX_CARD_DIR, "tmpfs", 0, "size=4k") == 0 &&
                    kxtest::writeFile(KX_CARD_DIR "filler", std::string(4096, 'f'));
         }, 0, "-1 8", "Failed to get write card_id to file\n"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(c.setUp()) << c.err;
        auto child = kxtest::runChild([&] {
            g_zeroDraws = c.zeroDraws;
            char id[KX_CARD_ID_SIZE] = "garbage";
            printf("%d %s", kxUtil_getCardId(id), id);
        });
        EXPECT_EQ(child.out, c.out) << c.err;
        EXPECT_EQ(child.err, c.err) << c.err;
        umount2(KX_CARD_DIR, MNT_DETACH);
        std::filesystem::remove_all("/tmp/fuse_d");
        std::filesystem::create_directory("/tmp/fuse_d");
    }
    auto child = kxtest::runChild([] { printf("%d", kxUtil_getCardId(nullptr)); });
    EXPECT_EQ(child.out + child.err, "-1Cannot call with null pointer\n");
}

const std::string kAs = "41 41 41 41  41 41 41 41  41 41 41 41  41 41 41 41  AAAAAAAAAAAAAAAA";

// Repeats are folded, with "..." only when other bytes follow them; a
// partial last line is padded; every line carries the prefix.
TEST(HexDumpStr, LinesRepeatsAndPrefix)
{
    const std::string ones = "01 01 01 01  01 01 01 01  01 01 01 01  01 01 01 01  ";
    const std::string digits = "30 31 32 33  34 35 36 37  38 39 41 42  43 44 45 46  ";
    const struct {
        std::string data, prefix, expected;
    } cases[] = {
        {std::string(64, 'A'), "", "00000000  " + kAs + "\n"},
        {std::string(64, 'A') + std::string(16, '\x01'), "",
         "00000000  " + kAs + "\n...\n00000040  " + ones + std::string(16, '.') + "\n"},
        {"0123456789ABCDEF\x7f" "bc", "> ",
         "> 00000000  " + digits + "0123456789ABCDEF\n> 00000010  7F 62 63 " +
             std::string(13 * 3 + 4, ' ') + ".bc" + std::string(13, ' ') + "\n"},
    };
    for (const auto &c : cases) {
        char out[512];
        EXPECT_EQ(kxHexDumpStr(out, sizeof out, c.data.data(), static_cast<int>(c.data.size()),
                               c.prefix.c_str()), static_cast<int>(c.expected.size()));
        EXPECT_EQ(std::string(out), c.expected);
    }
}

// Length 0 gives the data's address; a negative length nothing, not even a
// NUL; an aligned dump is labelled with addresses and leaves the slots
// before the data blank.
TEST(HexDumpStr, EmptyNegativeAndAligned)
{
    alignas(16) char buf[48];
    memset(buf, 'z', sizeof buf);
    char out[128] = "untouched", expected[128];
    EXPECT_EQ(kxHexDumpStr(out, sizeof out, buf, -1, ""), 0);
    EXPECT_STREQ(out, "untouched");
    snprintf(expected, sizeof expected, "%p\n", static_cast<void *>(buf));
    EXPECT_EQ(kxHexDumpStr(out, sizeof out, buf, 0, ""), static_cast<int>(strlen(expected)));
    EXPECT_STREQ(out, expected);
    snprintf(expected, sizeof expected, "%08llX  %s7A 7A 7A  7A 7A 7A 7A  7A 7A 7A 7A       %s\n",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(buf)),
             std::string(16, ' ').c_str(), std::string(11, 'z').c_str());
    EXPECT_EQ(kxHexDumpStrAddr(out, sizeof out, buf + 5, 11, ""),
              static_cast<int>(strlen(expected)));
    EXPECT_STREQ(out, expected);
}

// Prefix and message are cut at 349 characters; the location goes after
// them when it fits the room left (440 less the text), else a blank does.
TEST(UtilLog, LevelNameMessageAndLocation)
{
    const char *names[] = {"UTIL_LOG_OFF  ", "UTIL_LOG_FATAL", "UTIL_LOG_ERROR", "UTIL_LOG_WARN ",
                           "UTIL_LOG_DEBUG", "UTIL_LOG_INFO ", "UTIL_LOG_TRACE"};
    const std::string m400(400, 'm'), cut = "UTIL_LOG_ERROR:" + std::string(334, 'm');
    const std::string w414(414, 'w'), w415(415, 'w'), w100(100, 'w');
    const struct {
        std::string where, msg, expected;
    } cases[] = {{"loc", m400, cut + " @loc:99"},
                 {w414, "short", "UTIL_LOG_ERROR:short @" + w414 + ":99"},
                 {w415, "short", "UTIL_LOG_ERROR:short "},
                 {w100, m400, cut + " "}};
    auto logged = [](int level, const std::string &where, const std::string &msg) {
        kxUtil_log(level, 99, where.c_str(), "%s", msg.c_str());
        auto lines = kxtest::syslogDrain(0);
        EXPECT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines.at(0).priority, 8 + 3) << "LOG_USER | LOG_ERR";
        return lines.at(0).message;
    };
    kxtest::syslogDrain(0);
    for (int level = 0; level < 7; ++level)
        EXPECT_EQ(logged(level, "loc", "short"), std::string(names[level]) + ":short @loc:99");
    for (int level : {-1, 7}) // a caller's mistake: named, never looked up
        EXPECT_EQ(logged(level, "loc", "short"), "UTIL_LOG_?????:short @loc:99");
    for (const auto &c : cases)
        EXPECT_EQ(logged(UTIL_LOG_ERROR, c.where, c.msg), c.expected) << c.where.size();
}

TEST(UtilLogLevel, OnlyLevelsOfTheTableAreStored)
{
    EXPECT_EQ(g_logLevel, UTIL_LOG_ERROR);
    const int steps[][2] = {{7, UTIL_LOG_ERROR}, {6, 6}, {-1, 6}, {0, 0}}; // set, then stored
    for (const auto &step : steps) {
        kxUtil_setLogLevel(static_cast<unsigned>(step[0]));
        EXPECT_EQ(g_logLevel, step[1]) << step[0];
    }
}

} // namespace
