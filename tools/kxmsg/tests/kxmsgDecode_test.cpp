// kxmsg's decoding of recordings as a reader of a log or a bug report
// meets them: messages written as hex in every spelling, the daemon's dump
// lines in every form a log gives them, a dump whose header is no message,
// and a long message of which the log shows head and tail only, with its
// way back through a JSON line and a capture.
#include "jsonline.h"
#include "pcapng.h"
#include "reader.h"
#include "traced.h"

#include "kxwire.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

using kxmsg::Json;
using kxtest::command;
using kxtest::hex;
using kxtest::lowerHex;
using Args = std::vector<std::string>;

std::vector<Json> decode(const std::string &input)
{
    std::vector<Json> out;
    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size(), "rb");
    kxmsg::ReadEvents events{
        [&](const kxmsg::Traced &t) { out.push_back(Json::parse(kxmsg::tracedJsonLine(t))); },
        [](const std::string &) {}};
    kxmsg::readRecording(in, events);
    fclose(in);
    return out;
}

// The values of keys in each message, joined by blanks.
Args fields(const std::vector<Json> &messages, const std::vector<const char *> &keys)
{
    Args seen;
    for (const Json &m : messages) {
        std::string text;
        for (const char *key : keys) {
            Json v = m.value(key, Json());
            text += (text.empty() ? "" : " ") + (v.is_string() ? v.get<std::string>() : v.dump());
        }
        seen.push_back(text);
    }
    return seen;
}

// The daemon's dump of a message under a prefix: a header line, then lines
// of label "%-11s", address "%08x", two blanks, sixteen slots of two hex
// digits in groups of four (blanks after the last byte), two blanks, the
// bytes as characters (others as '.', blanks after the last); with headTail
// only the lines after which at most 31 bytes remain or that end at byte 79
// or before.
std::string dump(const std::string &prefix, const std::string &label, const std::string &msg,
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

// The worked examples of the format: the simulated camera's answer to "cm"
// in mode 0, and the camera's "SU" command.
const std::string kModeResponse = hex("00 33 00 0B 00 00 02 41") + "cm" +
                                  hex("00 00 00 42 00 00 0A 43") + "/to_camera" +
                                  hex("00 00 09 44") + "/to_kxnet" +
                                  hex("00 00 02 45 00 00 00 00 00 EE");
const std::string kSuspend(kxtest::suCommand().begin(), kxtest::suCommand().end());

TEST(KxmsgDecode, WorkedExamplesInEverySpellingOfHex)
{
    // A blank line ends a message; two in one run of hex are cut by the
    // lengths in their headers; lines that are no hex are passed over.
    std::string both;
    for (unsigned char b : kModeResponse + kSuspend)
        both += "0x" + lowerHex(std::string(1, static_cast<char>(b))) + ", ";
    auto m = decode("# from a bug report\n" + kxtest::toHex(kSuspend) + "\n\n" + both +
                    "\n00 2D zz\n");
    EXPECT_EQ(fields(m, {"length", "type", "kind", "valid", "code", "args", "source",
                         "destination", "response", "status"}),
              Args({"45 10 command true SU  /to_camera /to_kxnet null null",
                    "51 11 response true cm  /to_kxnet /to_camera 0000 accepted",
                    "45 10 command true SU  /to_camera /to_kxnet null null"}));
}

struct LogForm {
    const char *name;
    std::string prefix; // before the dump's own text
    std::string stamp;  // the time text that is kept
    std::string year;   // when the form carries one
};

TEST(KxmsgDecode, DumpLinesInEveryFormOfLog)
{
    std::string cmd = command("cv");
    std::string resp = kxtest::response("cv", {}, hex("00 02 10"));
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
        EXPECT_EQ(fields(m, {"trace", "direction", "hex", "stamp"}),
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

TEST(KxmsgDecode, TheWorkedExampleOfADumpIsOneMessage)
{
    // 20 bytes at index 17: a full line, then one with four bytes. The
    // header does not describe a message: it is shown, as malformed.
    std::string input =
        "        >RT 00000000  30313233 34353637 38394142 43444546  0123456789ABCDEF\n"
        "        >RT 00000010  4748494a                             GHIJ            \n";
    std::string text = lowerHex("0123456789ABCDEFGHIJ");
    EXPECT_EQ(fields(decode(input), {"hex", "valid"}), Args({text + " false"}));
    // The same under the error dump's label, which takes eleven columns.
    auto e = decode("Dec05 21:29:37 text:\n" +
                    dump("Dec05 21:29:37 ", "ERROR", "0123456789ABCDEFGHIJ"));
    EXPECT_EQ(fields(e, {"trace", "direction", "hex"}), Args({"ERROR malformed " + text}));
}

TEST(KxmsgDecode, ATimeBeforeTheEpochIsStampedByTheSecondItFallsIn)
{
    setenv("TZ", "UTC", 1);
    tzset();
    std::string msg = lowerHex(command("cv", ""));
    auto m = decode(R"({"time":-1.5,"trace":">RT","hex":")" + msg + "\"}\n");
    EXPECT_EQ(fields(m, {"time", "stamp"}), Args({"-1.5 Dec31 23:59:58"}));
    unsetenv("TZ");
    tzset();
}

TEST(KxmsgDecode, HeadAndTailOfALongMessageAndItsWayBack)
{
    // 256 bytes: the log shows bytes 0-63 and 224-255 only.
    std::string msg = command("lc", std::string(211, '\x5a'));
    auto m = decode(dump("Dec05 21:29:37 ", "        <RT ", msg, true));
    // The walk goes on in the tail, past the arguments that the gap hides.
    EXPECT_EQ(fields(m, {"cut", "valid", "length", "code", "source", "destination"}),
              Args({"true null 256 lc /to_camera /to_kxnet"}));
    Json parts = Json::array({{{"offset", 0u}, {"hex", lowerHex(msg.substr(0, 64))}},
                              {{"offset", 224}, {"hex", lowerHex(msg.substr(224))}}});
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0]["parts"], parts);
    // Its JSON line and a capture of it decode to the same.
    EXPECT_EQ(decode(m[0].dump() + "\n").at(0)["parts"], parts);
    const char *capture = "/tmp/cut.pcapng";
    { // written whole when w closes
        kxmsg::PcapWriter w;
        kxmsg::pcapOpen(w, capture);
        kxmsg::pcapWriteTraced(w, kxmsg::tracedFromJson(m[0].dump()));
    }
    FILE *in = fopen(capture, "rb");
    ASSERT_NE(in, nullptr);
    std::vector<Json> c;
    kxmsg::ReadEvents events{
        [&](const kxmsg::Traced &t) { c.push_back(Json::parse(kxmsg::tracedJsonLine(t))); },
        [](const std::string &) {}};
    kxmsg::readRecording(in, events);
    fclose(in);
    EXPECT_EQ(fields(c, {"trace", "parts"}), Args({"<RT " + parts.dump()}));
}

} // namespace
