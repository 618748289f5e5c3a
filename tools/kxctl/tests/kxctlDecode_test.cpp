// kxctl's decode and monitor verbs over kxmsg's readers (whose decoding
// its own tests check): what decode adds, and monitor following the
// daemon's real log while calls go through, with a capture that decode and
// tshark (with our dissector) read back.
#include "kxctltest.h"


namespace {

using namespace kxctltest;

std::vector<json> decode(const std::string &input, int status = 0)
{
    auto r = kxctl({"--json", "decode"}, input);
    EXPECT_EQ(r.exitCode, status) << r.err;
    return jsonLines(r.out);
}

// What the verb adds to the library's decoding: where each message came
// from in its text form, a malformed one's exit status, and a refusal of
// an input that holds none.
TEST(KxctlDecode, TextNamesTheInputAndStatusSaysWhatWasFound)
{
    std::string both;
    for (unsigned char b : modeResponse() + suspendCommand())
        both += "0x" + lowerHex(Bytes(1, static_cast<char>(b))) + ", ";
    EXPECT_NE(kxctl({"decode"}, both).out.find("stdin: response cm  accepted\n"),
              std::string::npos);
    std::string notAMessage =
        "        >RT 00000000  30313233 34353637 38394142 43444546  0123456789ABCDEF\n";
    EXPECT_EQ(summary(decode(notAMessage, 1), {"valid"}), Args({"false"}));
    auto none = kxctl({"decode"}, "00 2D zz\n");
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no message in the input"), std::string::npos);
}

// The expected messages of the test below: trace code kind status.
const Args kTraced = {">RT cv command null",  "<RT cv response accepted", "<RT LC command null",
                      ">RT CM command null",  "<RT CM response accepted", "<RT LC command null",
                      ">RT lc command null",  "<RT lc response accepted"};

class KxctlMonitor : public KxctlTest {};

const std::vector<const char *> kTraceCodeKindStatus = {"trace", "code", "kind", "status"};

// The calls that monitor saw, read back from the whole log and from the
// capture that it wrote; and monitor's filter by code over the log.
void expectTheLogAndTheCaptureSayTheSame()
{
    auto logged = decode(kxtest::readFile(kLogFile));
    EXPECT_EQ(summary(logged, kTraceCodeKindStatus), kTraced);
    auto captured = jsonLines(kxctl({"--json", "decode", "/tmp/mon.pcapng"}).out);
    EXPECT_EQ(summary(captured, kTraceCodeKindStatus), kTraced);
    auto lc = kxctl({"--json", "monitor", "-", "--code", "LC"}, kxtest::readFile(kLogFile));
    EXPECT_EQ(summary(jsonLines(lc.out), {"trace", "code"}), Args({"<RT LC", "<RT LC"}));
}

// tshark with our dissector over the capture: code, addresses, status byte.
void expectTsharkReadsTheCapture()
{
    if (system("command -v tshark > /dev/null") != 0)
        return;
    // A program of the build machine: run as it is, not behind the emulator.
    std::string script = std::string("lua_script:") + kxtest::sourceDir() +
                         "/tools/wireshark/kxmsg.lua";
    auto fields = kxtest::runChild([&script] {
        kxtest::execCommand(
            {"tshark", "-X", script, "-r",
             "/tmp/mon.pcapng", "-T", "fields", "-E", "separator=,", "-e", "frame.interface_name",
             "-e", "kxmsg.code", "-e", "kxmsg.src", "-e", "kxmsg.dst", "-e", "kxmsg.status"},
            {}, -1, -1, open("/dev/null", O_WRONLY));
    });
    Args lines = kxtest::splitLines(fields.out);
    lines.resize(3);
    EXPECT_EQ(lines, Args({">RT,cv,/to_camera,/to_kxnet,", "<RT,cv,/to_kxnet,/to_camera,0x00",
                           "<RT,LC,/to_wif,/to_kxnet,"}));
}

TEST_F(KxctlMonitor, FollowsTheDaemonsLogWithoutTakingAMessage)
{
    ASSERT_EQ(system("mkdir -p /tmp/fuse_d"), 0);
    for (const std::string mode : {"--simulator", "--relay"}) {
        SCOPED_TRACE(mode);
        unlink(kLogFile);
        // A daemon of its own for each mode; "/to_ble" is the last mailbox
        // that it makes.
        mq_unlink("/to_ble");
        kxtest::Daemon own;
        ASSERT_EQ(own.start(mode == "--relay" ? Args{} : Args{"-s"}, {"KXIPC_DIR=" + ipcDir}), 0);
        ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
        auto camera = mode == "--relay" ? startCamera({}) : nullptr;
        auto monitor = followLog(mode, {"-C", "8", "--pcap", "/tmp/mon.pcapng"});
        for (const Args &call :
             {Args{"call", "cv"}, Args{"call", "CM", "02"}, Args{"call", "lc", "00"}})
            EXPECT_EQ(kxctl(call).exitCode, 0) << "monitoring takes nothing";
        ASSERT_EQ(monitor->wait(), 0) << kxtest::readFd(monitor->err);
        auto seen = jsonLines(kxtest::readFd(monitor->out));
        EXPECT_EQ(summary(seen, kTraceCodeKindStatus), kTraced);
        expectTheLogAndTheCaptureSayTheSame();
    }
    EXPECT_EQ(kxctl({"trace", "on"}).exitCode, 2) << "trace must be told the daemon's mode";
    expectTsharkReadsTheCapture();
}

} // namespace
