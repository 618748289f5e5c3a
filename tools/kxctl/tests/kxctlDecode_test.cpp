// kxctl's readers of the daemon's traffic: decode of messages written as
// hex, of dump lines in every form a log gives them and of captures; and
// monitor following the daemon's real log while calls go through, with a
// capture that decode and tshark (with our dissector) read back.
#include "kxctltest.h"

#include <ctime>

namespace {

using namespace kxctltest;
using kxtest::command;

// The daemon's dump of a message under a prefix: a header line, then lines
// of label "%-11s", address "%08x", two blanks, sixteen slots of two hex
// digits in groups of four (blanks after the last byte), two blanks, the
// bytes as characters (others as '.', blanks after the last); with headTail
// only the lines after which at most 31 bytes remain or that end at byte 79
// or before.
std::string dump(const std::string &prefix, const std::string &label, const Bytes &msg,
                 bool headTail = false)
{
    std::string text = prefix + "\n";
    for (size_t at = 0; at < msg.size(); at += 16) {
        if (headTail && at + 16 > 79 && msg.size() > at + 16 + 31)
            continue;
        char head[64];
        snprintf(head, sizeof head, "%-11s%08zx  ", label.c_str(), at);
        std::string line = prefix + head, column;
        for (size_t slot = 0; slot < 16; ++slot) {
            bool there = at + slot < msg.size();
            char c = there ? msg[at + slot] : ' ';
            line += there ? lowerHex(msg.substr(at + slot, 1)) : "  ";
            line += slot % 4 == 3 && slot != 15 ? " " : "";
            column += !there ? ' ' : c >= 0x20 && c <= 0x7E ? c : '.';
        }
        text += line + "  " + column + "\n";
    }
    return text;
}

std::vector<json> decode(const std::string &input, int status = 0)
{
    auto r = kxctl({"--json", "decode"}, input);
    EXPECT_EQ(r.exitCode, status) << r.err;
    return jsonLines(r.out);
}

TEST(KxctlDecode, WorkedExamplesInEverySpellingOfHex)
{
    // A blank line ends a message; two in one run of hex are cut by the
    // lengths in their headers.
    std::string both;
    for (unsigned char b : modeResponse() + suspendCommand())
        both += "0x" + lowerHex(Bytes(1, static_cast<char>(b))) + ", ";
    auto m = decode("# from a bug report\n" + kxtest::toHex(suspendCommand()) + "\n\n" + both);
    EXPECT_EQ(summary(m, {"length", "type", "kind", "valid", "code", "args", "source",
                          "destination", "response", "status"}),
              Args({"45 10 command true SU  /to_camera /to_kxnet null null",
                    "51 11 response true cm  /to_kxnet /to_camera 0000 accepted",
                    "45 10 command true SU  /to_camera /to_kxnet null null"}));
    EXPECT_NE(kxctl({"decode"}, both).out.find("stdin: response cm  accepted\n"),
              std::string::npos);
    // Lines that are neither hex nor dump lines are passed over.
    EXPECT_NE(kxctl({"decode"}, "00 2D zz\n").err.find("no message in the input"),
              std::string::npos);
}

struct LogForm {
    const char *name;
    std::string prefix; // before the dump's own text
    std::string stamp;  // the time text that decode keeps
    std::string year;   // when the form carries one
};

TEST(KxctlDecode, DumpLinesInEveryFormOfLog)
{
    Bytes cmd = command("cv");
    Bytes resp = kxtest::response("cv", {}, hex("00 02 10"));
    const LogForm forms[] = {
        {"log file", "Dec05 21:29:37 ", "Dec05 21:29:37", ""},
        {"syslog file", "Dec  5 21:29:37 kxRedIro: ", "Dec  5 21:29:37", ""},
        {"journalctl", "Dec 05 21:29:37 cam kxRedIro[42]: ", "Dec 05 21:29:37", ""},
        {"logread", "Sat Dec  5 21:29:37 2026 user.debug kxRedIro[42]: ", "Dec  5 21:29:37 2026",
         "2026 "},
        {"no stamp", "", "", ""},
    };
    for (const auto &f : forms) {
        // Other lines of the log stand between the dumps.
        std::string input = f.prefix + "[         CAsetDB: 263] CAsetDB: g_debug_level = 0x1\n" +
                            dump(f.prefix, "        >RT ", cmd) + f.prefix + "Starting kxRedIro\n" +
                            dump(f.prefix, "        <RT ", resp);
        auto m = decode(input);
        EXPECT_EQ(summary(m, {"trace", "direction", "hex", "stamp"}),
                  Args({">RT to_camera " + lowerHex(cmd) + " " + f.stamp,
                        "<RT to_mailbox " + lowerHex(resp) + " " + f.stamp}))
            << f.name;
        if (m.size() != 2 || f.stamp.empty())
            continue;
        time_t t = static_cast<time_t>(m[1]["time"].get<double>());
        char when[32];
        strftime(when, sizeof when, "%Y %m-%d %T", localtime(&t));
        EXPECT_EQ(when + (f.year.empty() ? 5 : 0), f.year + "12-05 21:29:37") << f.name;
    }
}

TEST(KxctlDecode, TheWorkedExampleOfADumpIsOneMessage)
{
    // 20 bytes at index 17: a full line, then one with four bytes. The
    // header does not describe a message: it is shown, as malformed.
    std::string input =
        "        >RT 00000000  30313233 34353637 38394142 43444546  0123456789ABCDEF\n"
        "        >RT 00000010  4748494a                             GHIJ            \n";
    std::string text = lowerHex("0123456789ABCDEFGHIJ");
    EXPECT_EQ(summary(decode(input, 1), {"hex", "valid"}), Args({text + " false"}));
    // The same under the error dump's label, which takes eleven columns.
    auto e = decode("Dec05 21:29:37 text:\n" +
                        dump("Dec05 21:29:37 ", "ERROR", "0123456789ABCDEFGHIJ"), 1);
    EXPECT_EQ(summary(e, {"trace", "direction", "hex"}), Args({"ERROR malformed " + text}));
}

TEST(KxctlDecode, HeadAndTailOfALongMessageAndItsWayBack)
{
    // 256 bytes: the log shows bytes 0-63 and 224-255 only.
    Bytes msg = command("lc", Bytes(211, '\x5a'));
    std::string log = dump("Dec05 21:29:37 ", "        <RT ", msg, true);
    auto m = decode(log);
    // The walk goes on in the tail, past the arguments that the gap hides.
    EXPECT_EQ(summary(m, {"cut", "valid", "length", "code", "source", "destination"}),
              Args({"true null 256 lc /to_camera /to_kxnet"}));
    json parts = json::array({{{"offset", 0u}, {"hex", lowerHex(msg.substr(0, 64))}},
                              {{"offset", 224}, {"hex", lowerHex(msg.substr(224))}}});
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0]["parts"], parts);

    // Its JSON and a capture of it decode to the same.
    EXPECT_EQ(decode(m[0].dump() + "\n").at(0)["parts"], parts);
    EXPECT_EQ(kxctl({"monitor", "-", "--pcap", "/tmp/cut.pcapng"}, log).exitCode, 0);
    auto c = jsonLines(kxctl({"--json", "decode", "/tmp/cut.pcapng"}).out);
    EXPECT_EQ(summary(c, {"trace", "parts"}), Args({"<RT " + parts.dump()}));
}

// The expected messages of the test below: trace code kind status.
const Args kTraced = {">RT cv command null",  "<RT cv response accepted", "<RT LC command null",
                      ">RT CM command null",  "<RT CM response accepted", "<RT LC command null",
                      ">RT lc command null",  "<RT lc response accepted"};

class KxctlMonitor : public KxctlTest {};

TEST_F(KxctlMonitor, FollowsTheDaemonsLogWithoutTakingAMessage)
{
    ASSERT_EQ(system("mkdir -p /tmp/fuse_d"), 0);
    for (const std::string mode : {"--simulator", "--relay"}) {
        SCOPED_TRACE(mode);
        unlink("/tmp/fuse_d/wifi_log.txt");
        // A daemon of its own for each mode; "/to_ble" is the last mailbox
        // that it makes.
        mq_unlink("/to_ble");
        kxtest::Daemon own;
        ASSERT_EQ(own.start(mode == "--relay" ? Args{} : Args{"-s"}, {"KXIPC_DIR=" + ipcDir}), 0);
        ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
        ASSERT_GT(own.pid(), 0);
        auto camera = mode == "--relay" ? startCamera({}) : nullptr;
        ASSERT_EQ(kxctl({"trace", "on", mode, "--log-file"}).exitCode, 0);
        ASSERT_TRUE(
            kxtest::waitUntil(5000, [] { return access("/tmp/fuse_d/wifi_log.txt", F_OK) == 0; }));
        Background monitor({"--json", "monitor", "/tmp/fuse_d/wifi_log.txt", "-C", "8", "--pcap",
                            "/tmp/mon.pcapng"});
        auto following = [&] {
            return kxtest::readFd(monitor.err).find("following") != std::string::npos;
        };
        ASSERT_TRUE(kxtest::waitUntil(5000, following));
        for (const Args &call :
             {Args{"call", "cv"}, Args{"call", "CM", "02"}, Args{"call", "lc", "00"}})
            EXPECT_EQ(kxctl(call).exitCode, 0) << "monitoring takes nothing";
        ASSERT_EQ(monitor.wait(), 0) << kxtest::readFd(monitor.err);
        auto seen = jsonLines(kxtest::readFd(monitor.out));
        EXPECT_EQ(summary(seen, {"trace", "code", "kind", "status"}), kTraced);

        // The whole log, and the capture, read back; the filter by code.
        auto logged = decode(kxtest::readFile("/tmp/fuse_d/wifi_log.txt"));
        EXPECT_EQ(summary(logged, {"trace", "code", "kind", "status"}), kTraced);
        auto captured = jsonLines(kxctl({"--json", "decode", "/tmp/mon.pcapng"}).out);
        EXPECT_EQ(summary(captured, {"trace", "code", "kind", "status"}), kTraced);
        auto lc = kxctl({"--json", "monitor", "-", "--code", "LC"},
                        kxtest::readFile("/tmp/fuse_d/wifi_log.txt"));
        EXPECT_EQ(summary(jsonLines(lc.out), {"trace", "code"}), Args({"<RT LC", "<RT LC"}));
        camera.reset();
    }
    EXPECT_EQ(kxctl({"trace", "on"}).exitCode, 2) << "trace must be told the daemon's mode";
    // tshark with our dissector: code, addresses, status byte.
    if (system("command -v tshark > /dev/null") != 0)
        return;
    // A program of the build machine: run as it is, not behind the emulator.
    auto fields = kxtest::runChild([] {
        kxtest::execCommand(
            {"tshark", "-X", "lua_script:" KX_SOURCE_DIR "/tools/wireshark/kxmsg.lua", "-r",
             "/tmp/mon.pcapng", "-T", "fields", "-E", "separator=,", "-e", "frame.interface_name",
             "-e", "kxmsg.code", "-e", "kxmsg.src", "-e", "kxmsg.dst", "-e", "kxmsg.status"},
            {}, -1, -1, open("/dev/null", O_WRONLY));
    });
    Args lines = kxtest::splitLines(fields.out);
    lines.resize(3);
    EXPECT_EQ(lines, Args({">RT,cv,/to_camera,/to_kxnet,", "<RT,cv,/to_kxnet,/to_camera,0x00",
                           "<RT,LC,/to_wif,/to_kxnet,"}));
}

} // namespace
