// kxctl against the real daemon: calls and sends to its simulated camera,
// kxctl camera as the real-time side of a relaying daemon, the canvas as a
// picture, and listen on a mailbox.
#include "kxctltest.h"

#include <bit>

namespace {

using namespace kxctltest;
using kxtest::command;

int pixelCount(const Bytes &canvas)
{
    int n = 0;
    for (unsigned char b : canvas)
        n += std::popcount(b);
    return n;
}

class KxctlCall : public KxctlTest {
protected:
    // The last JSON line of a call is its response.
    json call(Args args, int expectedStatus = 0)
    {
        args.insert(args.begin(), {"--json", "call"});
        auto r = kxctl(args);
        EXPECT_EQ(r.exitCode, expectedStatus) << testing::PrintToString(args) << r.err;
        auto lines = jsonLines(r.out);
        return lines.empty() ? json() : lines.back();
    }
};

struct Exchange {
    Args args;
    std::string response; // status byte first
    int status;           // kxctl's exit status: 5 when refused
};

TEST_F(KxctlCall, SimulatedCameraAnswersEachCommandByItsTable)
{
    startDaemon({"-s"});
    const Bytes version = hex("00 02 10 09") + "v01.01.01" + hex("0B") + "LINDEN_VALE";
    const Exchange rows[] = {
        {{"cv"}, lowerHex(version), 0},
        {{"CM", "07"}, "0007", 0},
        {{"cm"}, "0007", 0},
        {{"st"}, "0007000000", 0},
        {{"SH", "05"}, "0007", 0}, // the mode, not the argument
        {{"CM", "--hex", "0102", "--force"}, "01", 5},
        {{"PW", "02"}, "00", 0}, // a mode above 4 steps to 0
        {{"cm"}, "0000", 0},
        {{"UM", "0xAB"}, "00ab", 0},
        {{"UM", "ab"}, "00ab", 0},
        {{"um"}, "0001", 0},
        {{"TM", "01", "02", "03", "04", "05", "06", "07"}, "00", 0},
        {{"TM", "--hex", "01:02:03:04:05:06:07"}, "00", 0},
        {{"TM", "--hex", "010203", "--force"}, "01", 5},
        {{"tm"}, "01", 5},
        {{"Cm", "--force"}, "01", 5},
    };
    for (const auto &row : rows) {
        Args args = row.args;
        args.push_back("-a");
        json answer = call(args, row.status);
        EXPECT_EQ(answer["response"], row.response) << testing::PrintToString(row.args);
        EXPECT_EQ(answer["status"], row.status == 0 ? "accepted" : "refused");
    }
    EXPECT_EQ(call({"XX", "--string", "hello", "--force"}, 5)["args"], "68656c6c6f");

    // A send does not wait for the answer.
    EXPECT_EQ(kxctl({"send", "cm"}).out, "");
    EXPECT_TRUE(takeResponse("cm"));
}

TEST_F(KxctlCall, TwoCallsAtOnceEachGetTheirOwnAnswer)
{
    startDaemon({"-s"});
    // 100 pairs, ten at a time: a slow (sanitized, loaded) machine starts
    // the processes of one batch while the first ones already wait.
    for (int batch = 0; batch < 10; ++batch) {
        std::vector<std::unique_ptr<Background>> calls;
        for (int pair = 0; pair < 10; ++pair)
            for (const char *code : {"cm", "cv"})
                calls.push_back(std::make_unique<Background>(
                    Args{"--json", "call", code, "-a", "-t", "60"}));
        for (size_t i = 0; i < calls.size(); ++i) {
            ASSERT_EQ(calls[i]->wait(), 0) << kxtest::readFd(calls[i]->err);
            EXPECT_EQ(jsonLines(kxtest::readFd(calls[i]->out)).at(0)["code"],
                      i % 2 == 0 ? "cm" : "cv");
        }
    }
}

TEST_F(KxctlCall, CameraAnswersWhatTheDaemonRelays)
{
    startDaemon({});
    auto camera = startCamera({"--json"});
    auto next = [] { return kxtest::take("/to_kxnet").value_or(""); };
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    EXPECT_EQ(kxtest::toHex(next()), kxtest::toHex(modeResponse()));
    // Its first response is followed by its canvas, the mode-0 target of
    // 201 pixels, sent as the camera's own "LC" command.
    Bytes lc = next();
    ASSERT_EQ(lc.size(), 642u);
    EXPECT_EQ(kxtest::toHex(lc.substr(0, 4)), "02 82 00 0A");
    EXPECT_EQ(kxtest::valueOf(lc, 'D'), "/to_wif");
    EXPECT_EQ(pixelCount(kxtest::valueOf(lc, 'B').value_or("")), 201);
    // "SU" goes out before the response to "PW" 0.
    ASSERT_TRUE(kxtest::post("/to_camera", command("PW", hex("00"))));
    EXPECT_EQ(kxtest::toHex(next()), kxtest::toHex(suspendCommand()));
    EXPECT_EQ(kxtest::valueOf(next(), 'E'), hex("00"));

    EXPECT_EQ(call({"CM", "05", "-a"})["response"], "0005");
}

TEST_F(KxctlCall, CanvasIsShownAndWrittenAsTheCameraHasIt)
{
    startDaemon({"-s"});
    auto r = kxctl({"canvas"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = kxtest::splitLines(r.out);
    ASSERT_EQ(lines.size(), 40u) << "a frame line, 38 lines for 75 rows, a frame line";
    // Mode 0: row 29 is 00 00 00 1F C0 00 00 00 (columns 27-33) below an
    // empty row 28, so their line shows lower halves.
    std::string lower;
    for (int i = 0; i < 7; ++i)
        lower += "\u2584";
    EXPECT_EQ(lines[15],
              "    \u2502" + std::string(27, ' ') + lower + std::string(26, ' ') + "\u2502");

    ASSERT_EQ(kxctl({"call", "CM", "03"}).exitCode, 0);
    ASSERT_EQ(kxctl({"canvas", "-o", "/tmp/x.pbm"}).exitCode, 0);
    ASSERT_TRUE(kxtest::post("/to_camera", command("lc", hex("00"))));
    auto lc = takeResponse("lc");
    ASSERT_TRUE(lc);
    Bytes canvas = kxtest::valueOf(*lc, 'E').value_or("  ").substr(2);
    ASSERT_EQ(canvas.size(), 600u);
    EXPECT_EQ(pixelCount(canvas), 265) << "mode 3 draws 265 pixels";
    // P4 rows are 60 bits padded to 8 bytes with 1 for black: the camera's
    // own layout.
    EXPECT_EQ(kxtest::readFile("/tmp/x.pbm"), "P4\n60 75\n" + canvas);
}

TEST_F(KxctlCall, ListenTakesWhatItShowsAndNoMore)
{
    startDaemon({"-s"});
    // On "/to_kxnet": the answer to cm, the start-up canvas, the answer to pv.
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    ASSERT_TRUE(kxtest::post("/to_camera", command("pv")));
    auto r = kxctl({"listen", "-C", "2", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(summary(jsonLines(r.out), {"channel", "code"}),
              Args({"/to_kxnet cm", "/to_kxnet LC"}));
    ASSERT_TRUE(takeResponse("pv"));

    // A reader that has gone ends it quietly, the message left in place.
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    close(pipeFds[0]);
    Background closed({"listen"}, pipeFds[1]);
    close(pipeFds[1]);
    EXPECT_EQ(closed.wait(), 0) << "not killed by SIGPIPE";
    EXPECT_EQ(kxtest::readFd(closed.err), "");
    ASSERT_TRUE(takeResponse("cm"));
}

} // namespace
