// kxctl mailboxes: the daemon's eight mailboxes, their capacities, message
// size and what they hold.
#include "kxctltest.h"

namespace {

using namespace kxctltest;

// Inbound ones first, then those the daemon creates for the others.
const std::vector<std::pair<std::string, int>> kMailboxes = {
    {"/to_camera", 10}, {"/to_wif", 40}, {"/to_csi", 2},  {"/to_kxnet", 40},
    {"/to_ath", 10},    {"/to_udp", 10}, {"/to_pla", 10}, {"/to_ble", 40},
};

class KxctlMailboxes : public KxctlTest {};

TEST_F(KxctlMailboxes, ListsTheEightWithTheirCapacities)
{
    startDaemon({});
    // Nobody reads "/to_ath": what is put there stays.
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(kxtest::post("/to_ath", kxtest::command("HR", {}, "/to_ath", "/to_ath")));
    auto r = kxctl({"--json", "mailboxes"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto rows = jsonLines(r.out);
    ASSERT_EQ(rows.size(), kMailboxes.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto &[name, capacity] = kMailboxes[i];
        EXPECT_EQ(rows[i]["name"], name);
        EXPECT_EQ(rows[i]["exists"], true) << name;
        EXPECT_EQ(rows[i]["capacity"], capacity) << name;
        EXPECT_EQ(rows[i]["expected_capacity"], capacity) << name;
        EXPECT_EQ(rows[i]["size"], 1500) << name;
        EXPECT_EQ(rows[i]["messages"], name == "/to_ath" ? 2 : 0) << name;
    }
    auto text = kxctl({"mailboxes"});
    EXPECT_NE(text.out.find("/to_ath     yes           2       10   1500"), std::string::npos)
        << text.out;
}

TEST_F(KxctlMailboxes, MissingOnesAreShownAndMakeTheStatusThree)
{
    auto r = kxctl({"--json", "mailboxes"});
    EXPECT_EQ(r.exitCode, 3);
    auto rows = jsonLines(r.out);
    ASSERT_EQ(rows.size(), kMailboxes.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]["exists"], false);
        EXPECT_TRUE(rows[i]["messages"].is_null());
        EXPECT_EQ(rows[i]["expected_capacity"], kMailboxes[i].second);
    }
    EXPECT_FALSE(kxtest::mailboxAttr("/to_camera")) << "looking creates nothing";
}

} // namespace
