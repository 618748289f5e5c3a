// Error and model names, the card id file (in the test's private /tmp) and
// blank skipping.
#include "kxUtil.h"
#include "kxtest.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace {

TEST(ErrnoStr, NamesEveryCodeAndNothingElse)
{
    EXPECT_STREQ(kxErrnoStr(0), "KX_OK");
    EXPECT_STREQ(kxErrnoStr(-1), "KX_ERR");
    EXPECT_STREQ(kxErrnoStr(-4), "KX_ERR_INCOMPLETE_CGI_PARAM");
    EXPECT_STREQ(kxErrnoStr(-17), "KX_ERR_NAK");
    EXPECT_STREQ(kxErrnoStr(-20), "KX_ERR_NOT_SUPPORTED");
    EXPECT_STREQ(kxErrnoStr(-100), "KX_ERR_DOWNLOAD_FAILED");
    EXPECT_STREQ(kxErrnoStr(-21), "UNKNOWN");
    EXPECT_STREQ(kxErrnoStr(-99), "UNKNOWN");
    EXPECT_STREQ(kxErrnoStr(1), "UNKNOWN");
}

TEST(ErrnoStr, TableRowsRunFromZeroToMinusTwentyThenMinusHundred)
{
    for (int row = 0; row <= 20; ++row)
        EXPECT_EQ(kxErrnoStrMap[row].value, -row) << row;
    EXPECT_EQ(kxErrnoStrMap[21].value, -100);
    EXPECT_STREQ(kxErrnoStrMap[18].name, "KX_ERR_RESPONSE_ALREADY_SENT");
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
    EXPECT_EQ(kxUtil_modelName(5), nullptr);
    EXPECT_EQ(kxUtil_modelName(9), nullptr);
    EXPECT_EQ(kxUtil_modelName(21), nullptr);
    EXPECT_EQ(kxUtil_modelName(-1), nullptr);
}

TEST(SkipBlanks, StopsAtFirstOtherCharacter)
{
    EXPECT_EQ(kxUtil_skipBlanks(nullptr), nullptr);
    EXPECT_EQ(kxUtil_skipBlanks(""), nullptr);
    EXPECT_EQ(kxUtil_skipBlanks(" \t  \t"), nullptr);
    const char *s = "  x y";
    EXPECT_EQ(kxUtil_skipBlanks(s), s + 2);
    const char *nl = "\t\nz";
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
    char buf[KX_CARD_ID_SIZE] = {};
};

TEST_F(CardId, IsMadeOnceThenReadBack)
{
    ASSERT_EQ(kxUtil_getCardId(buf), 0);
    struct stat st {};
    ASSERT_EQ(stat("/tmp/fuse_d/MISC", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    std::string first = buf;
    EXPECT_TRUE(isSquareMinusOne(first)) << first;
    EXPECT_EQ(kxtest::readFile("/tmp/fuse_d/MISC/card"), first); // no line end

    char again[KX_CARD_ID_SIZE] = {};
    ASSERT_EQ(kxUtil_getCardId(again), 0);
    EXPECT_EQ(std::string(again), first);
}

TEST_F(CardId, EmptyFileGetsANewId)
{
    ASSERT_EQ(mkdir("/tmp/fuse_d/MISC", 0777), 0);
    ASSERT_TRUE(kxtest::writeFile("/tmp/fuse_d/MISC/card", ""));
    ASSERT_EQ(kxUtil_getCardId(buf), 0);
    EXPECT_TRUE(isSquareMinusOne(buf)) << buf;
    EXPECT_EQ(kxtest::readFile("/tmp/fuse_d/MISC/card"), std::string(buf));
}

TEST_F(CardId, ReadsOneLineOfAtMostThirtyOneCharacters)
{
    ASSERT_EQ(mkdir("/tmp/fuse_d/MISC", 0777), 0);
    std::string longLine(40, '7');
    ASSERT_TRUE(kxtest::writeFile("/tmp/fuse_d/MISC/card", longLine));
    ASSERT_EQ(kxUtil_getCardId(buf), 0);
    EXPECT_EQ(std::string(buf), std::string(31, '7'));

    ASSERT_TRUE(kxtest::writeFile("/tmp/fuse_d/MISC/card", "1234\n5678"));
    ASSERT_EQ(kxUtil_getCardId(buf), 0);
    EXPECT_EQ(std::string(buf), "1234\n");
}

TEST_F(CardId, FileWhereTheDirectoryBelongsFails)
{
    ASSERT_TRUE(kxtest::writeFile("/tmp/fuse_d/MISC", "not a directory"));
    auto child = kxtest::runChild([] {
        char id[KX_CARD_ID_SIZE];
        memset(id, 'x', sizeof id);
        int rc = kxUtil_getCardId(id);
        printf("%d %s", rc, id);
    });
    EXPECT_EQ(child.out, "-1 0");
    EXPECT_EQ(child.err, "Failed to create folder:/tmp/fuse_d/MISC/\n");
}

TEST_F(CardId, MissingParentDirectoryIsNotCreated)
{
    ASSERT_EQ(rmdir("/tmp/fuse_d"), 0);
    auto child = kxtest::runChild([] {
        char id[KX_CARD_ID_SIZE];
        printf("%d %s", kxUtil_getCardId(id), id);
    });
    EXPECT_EQ(child.out, "-1 0");
    EXPECT_EQ(child.err, "Failed to create folder:/tmp/fuse_d/MISC/\n");
}

TEST_F(CardId, UnwritableFileFails)
{
    ASSERT_EQ(mkdir("/tmp/fuse_d/MISC", 0777), 0);
    ASSERT_EQ(mkdir("/tmp/fuse_d/MISC/card", 0777), 0); // cannot be opened for writing
    auto child = kxtest::runChild([] {
        char id[KX_CARD_ID_SIZE];
        printf("%d %s", kxUtil_getCardId(id), id);
    });
    EXPECT_EQ(child.out, "-1 0");
    EXPECT_EQ(child.err, "Failed to create file  /tmp/fuse_d/MISC/card\n");
}

TEST(CardIdArguments, NullBufferIsRefused)
{
    auto child = kxtest::runChild([] { printf("%d", kxUtil_getCardId(nullptr)); });
    EXPECT_EQ(child.out, "-1");
    EXPECT_EQ(child.err, "Cannot call with null pointer\n");
}

} // namespace
