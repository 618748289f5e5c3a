// kxctl monitor, trace and decode on the daemon's traffic trace: dump lines
// in every form a log gives them, a real log of the daemon, and watching a
// sandboxed exchange in both modes without taking a message, with a
// capture that tshark decodes through our dissector.
#include "kxctltest.h"

#include <algorithm>
#include <ctime>

namespace {

using namespace kxctltest;
using kxtest::command;
using kxtest::hex;

// A dump line: label "%-11s", address "%08x", two blanks, sixteen slots of
// two hex digits in groups of four (blanks after the last byte), two
// blanks, the bytes as characters (others as '.', blanks after the last).
std::string dumpLine(const std::string &label, const Bytes &msg, size_t at)
{
    char head[64];
    snprintf(head, sizeof head, "%-11s%08zx  ", label.c_str(), at);
    std::string line = head, column;
    for (size_t slot = 0; slot < 16; ++slot) {
        bool there = at + slot < msg.size();
        char c = there ? msg[at + slot] : ' ';
        line += there ? lowerHex(msg.substr(at + slot, 1)) : "  ";
        line += slot % 4 == 3 && slot != 15 ? " " : "";
        column += !there ? ' ' : c >= 0x20 && c <= 0x7E ? c : '.';
    }
    return line + "  " + column;
}

// The daemon's dump of a message under a prefix: a header line, then every
// line, or with headTail only those after which at most 31 bytes remain or
// that end at byte 79 or before.
std::string dump(const std::string &prefix, const std::string &label, const Bytes &msg,
                 bool headTail = false)
{
    std::string text = prefix + "\n";
    for (size_t at = 0; at < msg.size(); at += 16) {
        size_t p = at + 16;
        if (!headTail || p <= 79 || msg.size() <= p + 31)
            text += prefix + dumpLine(label, msg, at) + "\n";
    }
    return text;
}

std::vector<json> decodeJson(const std::string &input, int status = 0)
{
    auto r = kxctl({"--json", "decode"}, input);
    EXPECT_EQ(r.exitCode, status) << r.err;
    return jsonLines(r.out);
}

struct LogForm {
    const char *name;
    std::string prefix; // before the dump's own text
    std::string stamp;  // the time text that decode keeps
    int year;           // when the form carries one
};

TEST(KxctlTrace, DumpLinesInEveryFormOfLog)
{
    Bytes cmd = command("cv");
    Bytes resp = kxtest::response("cv", {}, hex("00 02 10"));
    const LogForm forms[] = {
        {"log file", "Dec05 21:29:37 ", "Dec05 21:29:37", 0},
        {"syslog file", "Dec  5 21:29:37 kxRedIro: ", "Dec  5 21:29:37", 0},
        {"journalctl", "Dec 05 21:29:37 cam kxRedIro[42]: ", "Dec 05 21:29:37", 0},
        {"logread", "Sat Dec  5 21:29:37 2026 user.debug kxRedIro[42]: ", "Dec  5 21:29:37 2026",
         2026},
        {"no stamp", "", "", 0},
    };
    for (const auto &f : forms) {
        // Other lines of the log stand between the dumps.
        std::string input = f.prefix + "[         CAsetDB: 263] CAsetDB: g_debug_level = 0x1\n" +
                            dump(f.prefix, "        >RT ", cmd) + f.prefix + "Starting kxRedIro\n" +
                            dump(f.prefix, "        <RT ", resp);
        auto m = decodeJson(input);
        ASSERT_EQ(m.size(), 2u) << f.name << "\n" << input;
        EXPECT_EQ(m[0]["trace"], ">RT") << f.name;
        EXPECT_EQ(m[0]["direction"], "to_camera");
        EXPECT_EQ(m[0]["hex"], lowerHex(cmd)) << f.name;
        EXPECT_EQ(m[1]["trace"], "<RT");
        EXPECT_EQ(m[1]["direction"], "to_mailbox");
        EXPECT_EQ(m[1]["hex"], lowerHex(resp)) << f.name;
        EXPECT_EQ(m[1]["status"], "accepted");
        EXPECT_EQ(m[1]["stamp"], f.stamp) << f.name;
        if (f.stamp.empty()) {
            EXPECT_TRUE(m[1]["time"].is_null());
            continue;
        }
        time_t t = static_cast<time_t>(m[1]["time"].get<double>());
        struct tm local {};
        localtime_r(&t, &local);
        EXPECT_EQ(std::vector<int>(
                      {local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec}),
                  std::vector<int>({11, 5, 21, 29, 37}))
            << f.name;
        if (f.year != 0) {
            EXPECT_EQ(local.tm_year + 1900, f.year);
        }
    }
}

TEST(KxctlTrace, TheWorkedExampleOfADumpIsOneMessage)
{
    // 20 bytes at index 17: a full line, then one with four bytes. The
    // header does not describe a message: it is shown, as malformed.
    std::string input =
        "        >RT 00000000  30313233 34353637 38394142 43444546  0123456789ABCDEF\n"
        "        >RT 00000010  4748494a                             GHIJ            \n";
    auto m = decodeJson(input, 1);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0]["hex"], lowerHex("0123456789ABCDEFGHIJ"));
    EXPECT_EQ(m[0]["valid"], false);

    // The same under the error dump's label, which takes eleven columns.
    auto e = decodeJson("Dec05 21:29:37 text:\n" +
                            dump("Dec05 21:29:37 ", "ERROR", hex("30 31") + "23456789ABCDEFGHIJ"),
                        1);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0]["trace"], "ERROR");
    EXPECT_EQ(e[0]["direction"], "malformed");
    EXPECT_EQ(e[0]["hex"], m[0]["hex"]);

    // The dissector flags it.
    ASSERT_EQ(kxctl({"monitor", "-", "--pcap", "/tmp/bad.pcapng"}, input).exitCode, 0);
    auto r = kxtest::runProgram("/bin/sh", {"-c", "tshark -X lua_script:" KX_SOURCE_DIR
                                                  "/tools/wireshark/kxmsg.lua -r /tmp/bad.pcapng "
                                                  "-T fields -e _ws.expert.message 2>/dev/null"});
    EXPECT_NE(r.out.find("declares 12337 bytes, has 20"), std::string::npos) << r.out << r.err;
}

TEST(KxctlTrace, HeadAndTailOfALongMessageAndItsWayBack)
{
    // 256 bytes: the log shows bytes 0-63 and 224-255 only.
    Bytes msg = command("lc", Bytes(211, '\x5a'));
    ASSERT_EQ(msg.size(), 256u);
    auto m = decodeJson(dump("Dec05 21:29:37 ", "        <RT ", msg, true));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0]["cut"], true);
    EXPECT_TRUE(m[0]["valid"].is_null());
    EXPECT_EQ(m[0]["length"], 256);
    EXPECT_EQ(m[0]["code"], "lc");
    // The walk goes on in the tail, past the arguments that the gap hides.
    EXPECT_EQ(m[0]["source"], "/to_camera");
    EXPECT_EQ(m[0]["destination"], "/to_kxnet");
    json parts = json::array({{{"offset", 0}, {"hex", lowerHex(msg.substr(0, 64))}},
                              {{"offset", 224}, {"hex", lowerHex(msg.substr(224))}}});
    EXPECT_EQ(m[0]["parts"], parts);

    // Its JSON and a capture of it decode to the same.
    auto again = decodeJson(m[0].dump() + "\n");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0]["parts"], parts);
    std::string capture = "/tmp/cut.pcapng";
    auto mon = kxctl({"monitor", "-", "--pcap", capture},
                     dump("Dec05 21:29:37 ", "        <RT ", msg, true));
    EXPECT_EQ(mon.exitCode, 0) << mon.err;
    auto fromCapture = kxctl({"--json", "decode", capture});
    ASSERT_EQ(fromCapture.exitCode, 0) << fromCapture.err;
    auto c = jsonLines(fromCapture.out);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0]["parts"], parts);
    EXPECT_EQ(c[0]["trace"], "<RT");
}

TEST(KxctlTrace, DecodeShowsAMessageWhileItsInputStaysOpen)
{
    // As behind tail -f: the message is out before the input ends.
    std::string log = dump("Dec05 21:29:37 ", "        >RT ", command("cv"));
    std::string decode;
    for (const auto &word : kxtest::commandLine(kxtest::programPath("kxctl"), {"--json", "decode"}))
        decode += "'" + word + "' ";
    auto r = kxtest::runProgram(
        "/bin/sh", {"-ec",
                    "cd /tmp; rm -f in; mkfifo in; " + decode +
                        "< in > out & exec 3> in; printf '%s' \"$1\" >&3; "
                        "for i in $(seq 500); do [ -s out ] && break; sleep 0.01; done; "
                        "cat out; exec 3>&-; wait",
                    "sh", log});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto m = jsonLines(r.out);
    ASSERT_EQ(m.size(), 1u) << r.out;
    EXPECT_EQ(m[0]["hex"], lowerHex(command("cv")));
}

std::vector<std::string> summary(const std::vector<std::string> &lines,
                                 const std::vector<const char *> &keys)
{
    std::vector<std::string> seen;
    for (const auto &line : lines) {
        json m = json::parse(line);
        std::string text;
        for (const char *key : keys)
            text += (text.empty() ? "" : " ") +
                    (m[key].is_string() ? m[key].get<std::string>() : m[key].dump());
        seen.push_back(text);
    }
    return seen;
}

class KxctlTraceDaemon : public KxctlTest {};

TEST_F(KxctlTraceDaemon, DecodeGivesEveryMessageOfARealLog)
{
    ASSERT_EQ(system("mkdir -p /tmp/fuse_d && rm -f /tmp/fuse_d/wifi_log.txt"), 0);
    startDaemon({"-s"});
    ASSERT_EQ(kxctl({"trace", "on", "--simulator", "--log-file"}).exitCode, 0);
    for (auto args : std::vector<std::vector<std::string>>{{"cv"}, {"CM", "02"}, {"lc", "00"}}) {
        args.insert(args.begin(), "call");
        EXPECT_EQ(kxctl(args).exitCode, 0);
    }
    auto r = kxctl({"--json", "decode", "/tmp/fuse_d/wifi_log.txt"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> seen;
    for (const json &m : jsonLines(r.out)) {
        seen.push_back(m["trace"].get<std::string>() + " " + m["code"].get<std::string>());
        EXPECT_EQ(m["valid"], true);
        EXPECT_EQ(m["stamp"].get<std::string>().size(), 14u) << m;
        EXPECT_TRUE(m["time"].is_number());
    }
    // The start-up canvas follows the first response, the redrawn one "CM".
    EXPECT_EQ(seen, std::vector<std::string>({">RT cv", "<RT cv", "<RT LC", ">RT CM", "<RT CM",
                                              "<RT LC", ">RT lc", "<RT lc"}));

    // The filter by code; and trace must be told the daemon's mode.
    auto lc = kxctl({"--json", "monitor", "-", "--code", "LC"},
                    kxtest::readFile("/tmp/fuse_d/wifi_log.txt"));
    EXPECT_EQ(summary(kxtest::splitLines(lc.out), {"trace", "code"}),
              std::vector<std::string>({"<RT LC", "<RT LC"}));
    EXPECT_EQ(kxctl({"trace", "on"}).exitCode, 2);
}

// Programs of a cross build started by name, by the kernel, need
// binfmt_misc, a setting of the whole host that the emulated runs lack.
bool emulated()
{
    return kxtest::commandLine("kxctl", {}).size() > 1;
}

// Runs a script in a sandbox; its output in sections, each ended by "--".
std::vector<std::vector<std::string>> inSandbox(const std::string &script)
{
    auto r = kxctl({"sandbox", "--", "sh", "-ec", script});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::vector<std::string>> sections(1);
    for (const auto &line : kxtest::splitLines(r.out)) {
        if (line == "--")
            sections.emplace_back();
        else
            sections.back().push_back(line);
    }
    return sections;
}

// The daemon, then kxctl monitor in the background once it follows the
// sandbox's syslog, and a call beside it.
const std::string kStart =
    "cd /tmp; for i in $(seq 500); do kxctl mailboxes > /dev/null && break; sleep 0.01; done\n";
const std::string kWatchCall =
    "kxctl monitor --json -C 3 --pcap monitor.pcapng > mon.json 2> mon.err & mon=$!\n"
    "until grep -q following mon.err; do sleep 0.01; done\n"
    "kxctl --json call cv > call.json; echo \"call $?\"; wait $mon; echo --\n"
    "tshark -X lua_script:" KX_SOURCE_DIR "/tools/wireshark/kxmsg.lua -r monitor.pcapng "
    "-T fields -E separator=, -e frame.interface_name -e kxmsg.code -e kxmsg.src -e kxmsg.dst "
    "-e kxmsg.status 2>/dev/null; echo --\n"
    "cat mon.json; echo --; cat call.json; echo --\n";

void expectWatched(const std::vector<std::vector<std::string>> &s)
{
    ASSERT_GE(s.size(), 5u);
    EXPECT_EQ(s[0], std::vector<std::string>({"call 0"})) << "monitoring takes nothing";
    // tshark with the dissector: code, addresses, status byte.
    EXPECT_EQ(s[1], std::vector<std::string>({">RT,cv,/to_camera,/to_kxnet,",
                                              "<RT,cv,/to_kxnet,/to_camera,0x00",
                                              "<RT,LC,/to_wif,/to_kxnet,"}));
    EXPECT_EQ(summary(s[2], {"trace", "kind", "code", "status"}),
              std::vector<std::string>(
                  {">RT command cv null", "<RT response cv accepted", "<RT command LC null"}));
    auto call = summary(s[3], {"kind", "code", "status"});
    EXPECT_NE(std::find(call.begin(), call.end(), "response cv accepted"), call.end());
}

TEST(KxctlMonitor, SimulatorExchangeIsSeenAndCapturedWithoutTakingIt)
{
    if (emulated())
        GTEST_SKIP() << "the sandbox's script starts kxRedIro and kxctl by name";
    expectWatched(
        inSandbox("kxRedIro -s\n" + kStart + "kxctl trace on --simulator\n" + kWatchCall));
}

TEST(KxctlMonitor, RelayedExchangeIsSeenAsTheCameraSeesIt)
{
    if (emulated())
        GTEST_SKIP() << "the sandbox's script starts kxRedIro and kxctl by name";
    auto s = inSandbox("kxRedIro\n" + kStart +
                       "kxctl camera --pcap camera.pcapng > /dev/null 2> cam.err & cam=$!\n"
                       "until grep -q 'side of' cam.err; do sleep 0.01; done\n"
                       "kxctl trace on --relay\n" +
                       kWatchCall + "kill $cam; wait; kxctl --json decode camera.pcapng\n");
    expectWatched(s);
    ASSERT_EQ(s.size(), 5u);
    // The camera's own capture: the command in on wifibt, answer and canvas out.
    EXPECT_EQ(summary(s[4], {"trace", "code"}),
              std::vector<std::string>({"wifibt cv", "wifibt cv", "wifibt LC"}));
}

} // namespace
