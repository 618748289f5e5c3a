// Error and model names, the card id file (in the test's private /tmp) and
// blank skipping.
#include "kxUtil.h"
#include "kxtest.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace {

TEST(ErrnoStr, EveryRowOfTheTableAndUnknownBetween)
{
    const char *names[] = {"KX_OK", "KX_ERR", "KX_ERR_OUTOFMEM", "KX_ERR_INVALID_PARAM",
                           "KX_ERR_INCOMPLETE_CGI_PARAM", "KX_ERR_MQ_FAIL", "KX_ERR_NO_SDCARD",
                           "KX_ERR_SDCARD_FULL", "KX_ERR_CREATING_MISC_DIR", "KX_ERR_UPLOADED_FILE",
                           "KX_ERR_FILE_OPEN", "KX_ERR_FILE_READ", "KX_ERR_FILE_WRITE", "KX_ERR_REMOTE_FILE_OPEN",
                           "KX_ERR_REMOTE_FILE_READ", "KX_ERR_REMOTE_FILE_WRITE", "KX_ERR_ACCESS_DENIED",
                           "KX_ERR_NAK", "KX_ERR_RESPONSE_ALREADY_SENT", "KX_ERR_NAK_OFF", "KX_ERR_NOT_SUPPORTED",
                           "KX_ERR_DOWNLOAD_FAILED"};
    for (int row = 0; row < 22; ++row) {
        int value = row == 21 ? -100 : -row;
        EXPECT_EQ(kxErrnoStrMap[row].value, value) << row;
        EXPECT_STREQ(kxErrnoStrMap[row].name, names[row]) << row;
        EXPECT_STREQ(kxErrnoStr(value), names[row]) << row;
    }
    for (int code : {-21, -99, 1, -101})
        EXPECT_STREQ(kxErrnoStr(code), "UNKNOWN") << code;
}

TEST(ModelName, KnownIdsHaveNamesOthersNone)
{
    const int ids[] = {0, 1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    for (size_t row = 0; row < std::size(ids); ++row) {
        EXPECT_EQ(kxModelTable[row].id, ids[row]);
        ASSERT_NE(kxUtil_modelName(ids[row]), nullptr) << ids[row];
        EXPECT_STREQ(kxUtil_modelName(ids[row]), kxModelTable[row].name);
    }
    EXPECT_EQ(kxModelTable[16].id, -1);
    EXPECT_EQ(kxModelTable[16].name, nullptr);
    for (int id : {5, 9, 21, -1})
        EXPECT_EQ(kxUtil_modelName(id), nullptr) << id;
}

TEST(SkipBlanks, StopsAtFirstOtherCharacter)
{
    EXPECT_EQ(kxUtil_skipBlanks(nullptr), nullptr);
    EXPECT_EQ(kxUtil_skipBlanks(""), nullptr);
    EXPECT_EQ(kxUtil_skipBlanks(" \t  \t"), nullptr);
    const char *s = "  x y", *nl = "\t\nz";
    EXPECT_EQ(kxUtil_skipBlanks(s), s + 2);
    EXPECT_EQ(kxUtil_skipBlanks(nl), nl + 1); // a line end is not a blank
}

// The card id is r * r - 1 for a non-zero draw r.
bool isSquareMinusOne(const std::string &text)
{
    long long id = std::stoll(text);
    long long r = std::llround(std::sqrt(static_cast<double>(id + 1)));
    return r > 0 && r * r - 1 == id;
}

class CardId : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mkdir("/tmp/fuse_d", 0777), 0); }
    std::string made()
    {
        EXPECT_EQ(kxUtil_getCardId(buf), 0);
        EXPECT_EQ(kxtest::readFile("/tmp/fuse_d/MISC/card"), std::string(buf)); // no line end
        return buf;
    }
    char buf[KX_CARD_ID_SIZE] = {};
};

TEST_F(CardId, IsMadeOnceThenReadBack)
{
    std::string first = made();
    EXPECT_TRUE(isSquareMinusOne(first)) << first;
    EXPECT_EQ(made(), first);
    ASSERT_TRUE(kxtest::writeFile("/tmp/fuse_d/MISC/card", ""));
    EXPECT_TRUE(isSquareMinusOne(made())) << "an empty file gets a new id";
}

TEST_F(CardId, ReadsOneLineOfAtMostThirtyOneCharacters)
{
    ASSERT_EQ(mkdir("/tmp/fuse_d/MISC", 0777), 0);
    ASSERT_TRUE(kxtest::writeFile("/tmp/fuse_d/MISC/card", std::string(40, '7')));
    ASSERT_EQ(kxUtil_getCardId(buf), 0);
    EXPECT_EQ(std::string(buf), std::string(31, '7'));
    ASSERT_TRUE(kxtest::writeFile("/tmp/fuse_d/MISC/card", "1234\n5678"));
    ASSERT_EQ(kxUtil_getCardId(buf), 0);
    EXPECT_EQ(std::string(buf), "1234\n");
}

// Each failure: one line on standard error, -1, and "0" in the buffer.
TEST_F(CardId, FailuresReportOnStandardError)
{
    const struct {
        const char *why;
        std::function<bool()> setUp;
        const char *err;
    } cases[] = {
        {"a file where the directory belongs", [] { return kxtest::writeFile("/tmp/fuse_d/MISC", "x"); },
         "Failed to create folder:/tmp/fuse_d/MISC/\n"},
        {"no parent directory", [] { return rmdir("/tmp/fuse_d") == 0; },
         "Failed to create folder:/tmp/fuse_d/MISC/\n"},
        {"a directory where the file belongs",
         [] { return mkdir("/tmp/fuse_d/MISC", 0777) == 0 && mkdir("/tmp/fuse_d/MISC/card", 0777) == 0; },
         "Failed to create file  /tmp/fuse_d/MISC/card\n"},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(c.setUp()) << c.why;
        auto child = kxtest::runChild([] {
            char id[KX_CARD_ID_SIZE];
            memset(id, 'x', sizeof id);
            printf("%d %s", kxUtil_getCardId(id), id);
        });
        EXPECT_EQ(child.out, "-1 0") << c.why;
        EXPECT_EQ(child.err, c.err) << c.why;
        std::filesystem::remove_all("/tmp/fuse_d");
        std::filesystem::create_directory("/tmp/fuse_d");
    }
    auto child = kxtest::runChild([] { printf("%d", kxUtil_getCardId(nullptr)); });
    EXPECT_EQ(child.out, "-1");
    EXPECT_EQ(child.err, "Cannot call with null pointer\n");
}

} // namespace
