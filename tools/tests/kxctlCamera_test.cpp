// kxctl camera as the camera's real-time side: the daemon relays (no
// simulator) commands from "/to_camera" to it and its answers to
// "/to_kxnet".
#include "kxctltest.h"

#include <bit>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

using namespace kxctltest;
using kxtest::command;
using kxtest::hex;
using kxtest::response;
using kxtest::toHex;

int pixelCount(const Bytes &canvas)
{
    int n = 0;
    for (unsigned char b : canvas)
        n += std::popcount(b);
    return n;
}

class KxctlCamera : public KxctlTest {
protected:
    void SetUp() override
    {
        KxctlTest::SetUp();
        startDaemon({});
    }
    Bytes next() { return kxtest::take("/to_kxnet").value_or(""); }
};

TEST_F(KxctlCamera, AnswersARelayedCommandLikeTheSimulatedCamera)
{
    auto camera = startCamera({"--json"});
    ASSERT_TRUE(kxtest::post("/to_camera", command("cm")));
    EXPECT_EQ(toHex(next()), toHex(response("cm", {}, hex("00 00"))));

    // Its first response is followed by its canvas, the mode-0 target of
    // 201 pixels, sent as the camera's own "LC" command.
    Bytes lc = next();
    ASSERT_EQ(lc.size(), 642u);
    EXPECT_EQ(toHex(lc.substr(0, 4)), "02 82 00 0A");
    EXPECT_EQ(kxtest::valueOf(lc, 'A'), "LC");
    EXPECT_EQ(kxtest::valueOf(lc, 'D'), "/to_wif");
    EXPECT_EQ(pixelCount(kxtest::valueOf(lc, 'B').value_or("")), 201);

    EXPECT_EQ(camera->stop(), 0);
    auto seen = jsonLines(Background::read(camera->out));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0]["channel"], "wifibt");
    EXPECT_EQ(seen[0]["direction"], "in");
    EXPECT_EQ(seen[0]["code"], "cm");
    EXPECT_EQ(seen[1]["direction"], "out");
    EXPECT_EQ(seen[1]["kind"], "response");
    EXPECT_EQ(seen[2]["code"], "LC");
}

TEST_F(KxctlCamera, SuspendGoesOutBeforeTheResponseToPower)
{
    auto camera = startCamera({});
    ASSERT_TRUE(kxtest::post("/to_camera", command("PW", Bytes(1, '\0'))));
    Bytes su = hex("00 2D 00 0A 00 00 02 41") + "SU" + hex("00 00 00 42 00 00 0A 44") +
               "/to_camera" + hex("00 00 09 43") + "/to_kxnet" + hex("00 00 00 EE");
    EXPECT_EQ(toHex(next()), toHex(su));
    EXPECT_EQ(toHex(next()), toHex(response("PW", Bytes(1, '\0'), hex("00"))));
}

TEST_F(KxctlCamera, CallGoesThroughTheCamera)
{
    auto camera = startCamera({});
    auto r = kxctl({"--json", "call", "CM", "05"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = jsonLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back()["response"], "0005");
    // The redrawn canvas follows: for mode 5 the outer ring has radius 16
    // around (30, 40), so its top pixel is (30, 24) and rows 0-23 are empty.
    Bytes lc = next();
    Bytes canvas = kxtest::valueOf(lc, 'B').value_or("");
    ASSERT_EQ(canvas.size(), 600u);
    EXPECT_EQ(pixelCount(canvas.substr(0, 24 * 8)), 0);
    EXPECT_TRUE(static_cast<unsigned char>(canvas[24 * 8 + 3]) & 0x02) << "pixel (30, 24)";
}

TEST_F(KxctlCamera, EchoSendsBackAndSilentAnswersNothing)
{
    {
        auto camera = startCamera({"--echo", "--json"});
        Bytes cv = command("cv");
        ASSERT_TRUE(kxtest::post("/to_camera", cv));
        EXPECT_EQ(toHex(next()), toHex(cv));
        // The daemon returns a malformed datagram to the camera's side;
        // echoed, it would go to and fro for ever.
        int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un daemonSide{AF_UNIX, {}};
        snprintf(daemonSide.sun_path, sizeof daemonSide.sun_path, "%s/wifibt.linux", ipcDir.c_str());
        ASSERT_EQ(sendto(fd, "\xff\xff", 2, 0, reinterpret_cast<sockaddr *>(&daemonSide),
                         sizeof daemonSide), 2);
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        camera->stop();
        EXPECT_EQ(jsonLines(Background::read(camera->out)).size(), 3u) << "cv in, cv out, ff ff in";
    }
    auto camera = startCamera({"--silent"});
    ASSERT_TRUE(kxtest::post("/to_camera", command("cv")));
    EXPECT_FALSE(kxtest::take("/to_kxnet", 300));
    auto r = kxctl({"call", "cv", "-t", "0.5"});
    EXPECT_EQ(r.exitCode, 4) << "timeout";
    EXPECT_NE(r.err.find("no response to cv within 0.5 s"), std::string::npos) << r.err;
}

} // namespace
