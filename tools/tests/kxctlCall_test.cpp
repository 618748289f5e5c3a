// kxctl call against the real daemon with its simulated camera: the
// command goes into "/to_camera", the response comes back decoded.
#include "kxctltest.h"

namespace {

using namespace kxctltest;
using kxtest::hex;

class KxctlCall : public KxctlTest {
protected:
    void SetUp() override
    {
        KxctlTest::SetUp();
        startDaemon({"-s"});
    }

    // The last JSON line of a call is its response.
    json callJson(const std::vector<std::string> &args, int expectedStatus = 0)
    {
        std::vector<std::string> line = {"--json", "call"};
        line.insert(line.end(), args.begin(), args.end());
        auto r = kxctl(line);
        EXPECT_EQ(r.exitCode, expectedStatus) << r.err;
        auto lines = jsonLines(r.out);
        return lines.empty() ? json() : lines.back();
    }
};

TEST_F(KxctlCall, VersionQueryShowsBothStrings)
{
    auto r = kxctl({"call", "cv"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("response cv  accepted"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"v01.01.01\", \"LINDEN_VALE\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("route        /to_kxnet -> /to_camera"), std::string::npos) << r.out;

    // Status, 02 10, then each string behind its length byte.
    Bytes payload = hex("00 02 10 09") + "v01.01.01" + hex("0B") + "LINDEN_VALE";
    json response = callJson({"cv"});
    EXPECT_EQ(response["response"], lowerHex(payload));
    EXPECT_EQ(response["decoded"]["version"]["strings"], json({"v01.01.01", "LINDEN_VALE"}));
}

TEST_F(KxctlCall, ModeSettingTakesEffect)
{
    json set = callJson({"CM", "07"});
    EXPECT_EQ(set["code"], "CM");
    EXPECT_EQ(set["args"], "07");
    EXPECT_EQ(set["response"], "0007");
    EXPECT_EQ(set["status"], "accepted");
    EXPECT_EQ(set["decoded"]["mode"], 7);

    // Asked by another client, the camera reports the new mode.
    kxtest::take("/to_kxnet", 300); // the redrawn canvas
    ASSERT_TRUE(kxtest::post("/to_camera", kxtest::command("cm")));
    auto cm = takeResponse("cm");
    ASSERT_TRUE(cm);
    EXPECT_EQ(kxtest::valueOf(*cm, 'E'), hex("00 07"));
    EXPECT_EQ(callJson({"st"})["response"], "0007000000");
}

TEST_F(KxctlCall, ArgumentsAsHexBytesHexTextOrString)
{
    // "UM" echoes its one argument byte; "TM" takes exactly seven.
    EXPECT_EQ(callJson({"UM", "0xAB"})["response"], "00ab");
    EXPECT_EQ(callJson({"UM", "ab"})["response"], "00ab");
    EXPECT_EQ(callJson({"TM", "01", "02", "03", "04", "05", "06", "07"})["status"], "accepted");
    EXPECT_EQ(callJson({"TM", "--hex", "01:02:03:04:05:06:07"})["args"], "01020304050607");
    EXPECT_EQ(callJson({"TM", "--hex", "010203", "--force"}, 5)["response"], "01")
        << "wrong length: refused";
    json text = callJson({"XX", "--string", "hello", "--force"}, 5);
    EXPECT_EQ(text["args"], "68656c6c6f");
    EXPECT_EQ(text["status"], "refused");
}

TEST_F(KxctlCall, CameraCommandsThatArriveMeanwhileAreShown)
{
    // The first response after start-up is followed by the camera's "LC"
    // with its start-up canvas; the next call meets it on the way.
    ASSERT_EQ(kxctl({"call", "cv"}).exitCode, 0);
    auto r = kxctl({"--json", "call", "cm"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0]["code"], "LC");
    EXPECT_EQ(lines[0]["kind"], "command");
    EXPECT_EQ(lines[0]["length"], 642);
    EXPECT_EQ(lines[0]["source"], "/to_wif");
    EXPECT_EQ(lines[0]["answer"], false);
    EXPECT_EQ(lines[1]["code"], "cm");
    EXPECT_EQ(lines[1]["response"], "0000");
    EXPECT_EQ(lines[1]["answer"], true);

    // CM leaves its LC behind, and a response to cm left by a call that gave
    // up looks like an answer: --answer-only prints the fresh answer alone.
    ASSERT_EQ(kxctl({"send", "CM", "07"}).exitCode, 0);
    ASSERT_TRUE(kxtest::post("/to_kxnet", kxtest::response("cm", {}, hex("00 63"))));
    lines = jsonLines(kxctl({"--json", "call", "cm", "-a"}).out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["decoded"]["mode"], 7);
}

TEST_F(KxctlCall, TwoCallsAtOnceEachGetTheirOwnAnswer)
{
    // 100 pairs, ten at a time: a slow (sanitized, loaded) machine starts
    // the processes of one batch while the first ones already wait.
    for (int batch = 0; batch < 10; ++batch) {
        std::vector<std::unique_ptr<Background>> calls;
        for (int pair = 0; pair < 10; ++pair)
            for (const char *code : {"cm", "cv"})
                calls.push_back(std::make_unique<Background>(
                    std::vector<std::string>{"--json", "call", code, "-a", "-t", "60"}));
        for (size_t i = 0; i < calls.size(); ++i) {
            ASSERT_EQ(calls[i]->wait(), 0) << Background::read(calls[i]->err);
            EXPECT_EQ(jsonLines(Background::read(calls[i]->out)).at(0)["code"],
                      i % 2 == 0 ? "cm" : "cv");
        }
    }
}

TEST_F(KxctlCall, CodesListTheTableThatTheCameraAnswersBy)
{
    auto rows = jsonLines(kxctl({"--json", "codes"}).out);
    ASSERT_EQ(rows.size(), 24u);
    for (const json &row : rows) {
        std::string code = row["code"];
        if (code == "DB" || code == "??") // never answered; no message holds 1501 bytes
            continue;
        unsigned least = row["min_args"], most = row["max_args"];
        std::vector<std::string> fits = {code, "-a"};
        if (least > 0)
            fits.insert(fits.end(), {"--hex", lowerHex(Bytes(least, '\0'))});
        bool handlerRefuses = code == "tm"; // the one query the camera does not answer
        EXPECT_EQ(callJson(fits, handlerRefuses ? 5 : 0)["response"] == "01", handlerRefuses)
            << code << " with " << least;
        json over = callJson({code, "--hex", lowerHex(Bytes(most + 1, '\0')), "--force", "-a"}, 5);
        EXPECT_EQ(over["response"], "01") << code << " with " << most + 1;
    }
}

TEST_F(KxctlCall, SendDoesNotWaitAndDbIsNeverAnswered)
{
    auto sent = kxctl({"send", "cm"});
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.out, "");
    auto cm = takeResponse("cm");
    ASSERT_TRUE(cm);
    EXPECT_EQ(kxtest::valueOf(*cm, 'E'), hex("00 00"));

    // Simulator off: the next command is relayed, and without a camera
    // side the daemon cannot pass it on.
    auto db = kxctl({"-v", "db", "0x00281420", "0x30000000"});
    ASSERT_EQ(db.exitCode, 0) << db.err;
    EXPECT_NE(db.out.find("arguments    20 14 28 00 00 00 00 30"), std::string::npos) << db.out;
    EXPECT_NE(db.out.find("g_debug_level 0x00281420, g_debug 0x30000000"), std::string::npos);
    while (auto msg = kxtest::take("/to_kxnet", 300))
        EXPECT_NE(kxtest::valueOf(*msg, 'A'), "DB") << "DB is never answered";
}

} // namespace
