// kxctl decode: messages written as hex, as they appear in logs and bug
// reports, with the worked examples of the message format.
#include "kxctltest.h"

namespace {

using namespace kxctltest;
using kxtest::hex;

// The camera's "SU" command, 45 bytes.
Bytes suspendCommand()
{
    return hex("00 2D 00 0A 00 00 02 41") + "SU" + hex("00 00 00 42 00 00 0A 44") + "/to_camera" +
           hex("00 00 09 43") + "/to_kxnet" + hex("00 00 00 EE");
}

// The simulated camera's answer to "cm" in mode 0, 51 bytes.
Bytes modeResponse()
{
    return hex("00 33 00 0B 00 00 02 41") + "cm" + hex("00 00 00 42 00 00 0A 43") + "/to_camera" +
           hex("00 00 09 44") + "/to_kxnet" + hex("00 00 02 45 00 00 00 00 00 EE");
}

// The daemon's dump of a message: a tag, the address, four groups of four
// bytes, the printable characters.
std::string dumpLines(const std::string &tag, const Bytes &msg)
{
    std::string text;
    for (size_t at = 0; at < msg.size(); at += 16) {
        char head[64];
        snprintf(head, sizeof head, "%-11s%08zx  ", tag.c_str(), at);
        std::string line = head, column;
        for (size_t slot = 0; slot < 16; ++slot) {
            std::string two = "  ";
            if (at + slot < msg.size()) {
                two = lowerHex(msg.substr(at + slot, 1));
                char c = msg[at + slot];
                column += c >= 0x20 && c <= 0x7E ? c : '.';
            }
            line += two + (slot % 4 == 3 && slot != 15 ? " " : "");
        }
        text += line + "  " + column + "\n";
    }
    return text;
}

json decodeOne(const std::string &input, int expectedStatus = 0)
{
    auto r = kxctl({"--json", "decode"}, input);
    EXPECT_EQ(r.exitCode, expectedStatus) << r.err;
    auto lines = jsonLines(r.out);
    EXPECT_EQ(lines.size(), 1u) << r.out;
    return lines.empty() ? json() : lines[0];
}

TEST(KxctlDecode, SuspendCommandOfTheCamera)
{
    json su = decodeOne(kxtest::toHex(suspendCommand()) + "\n");
    EXPECT_EQ(su["length"], 45);
    EXPECT_EQ(su["size"], 45);
    EXPECT_EQ(su["type"], 10);
    EXPECT_EQ(su["kind"], "command");
    EXPECT_EQ(su["valid"], true);
    EXPECT_EQ(su["code"], "SU");
    EXPECT_EQ(su["args"], "");
    EXPECT_EQ(su["source"], "/to_camera");
    EXPECT_EQ(su["destination"], "/to_kxnet");
    EXPECT_FALSE(su.contains("status"));

    auto text = kxctl({"decode"}, lowerHex(suspendCommand()));
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.out.find("stdin: command SU\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  type         10 (command)\n"), std::string::npos);
    EXPECT_NE(text.out.find("  length       45 bytes\n"), std::string::npos);
    EXPECT_NE(text.out.find("  route        /to_camera -> /to_kxnet\n"), std::string::npos);
    EXPECT_NE(text.out.find("the camera is ready to suspend"), std::string::npos);
}

TEST(KxctlDecode, ModeResponseOfTheSimulatedCamera)
{
    json cm = decodeOne(kxtest::toHex(modeResponse()));
    EXPECT_EQ(cm["length"], 51);
    EXPECT_EQ(cm["type"], 11);
    EXPECT_EQ(cm["kind"], "response");
    EXPECT_EQ(cm["code"], "cm");
    // The response's address elements are the command's, types exchanged.
    EXPECT_EQ(cm["source"], "/to_kxnet");
    EXPECT_EQ(cm["destination"], "/to_camera");
    EXPECT_EQ(cm["response"], "0000");
    EXPECT_EQ(cm["status"], "accepted");
    EXPECT_EQ(cm["decoded"]["mode"], 0);

    auto text = kxctl({"decode"}, kxtest::toHex(modeResponse()));
    EXPECT_NE(text.out.find("stdin: response cm  accepted\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  mode         0 (0x00)\n"), std::string::npos);
}

TEST(KxctlDecode, DumpLinesAndSeveralMessages)
{
    // A trace dump, a blank line, then two messages back to back in
    // another spelling of hex.
    std::string both;
    for (unsigned char b : modeResponse() + suspendCommand())
        both += "0x" + lowerHex(Bytes(1, static_cast<char>(b))) + ", ";
    std::string input =
        "# from the log\n" + dumpLines("        <RT ", suspendCommand()) + "\n" + both;
    auto r = kxctl({"--json", "decode"}, input);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto lines = jsonLines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0]["code"], "SU");
    EXPECT_EQ(lines[0]["valid"], true);
    EXPECT_EQ(lines[1]["code"], "cm");
    EXPECT_EQ(lines[2]["code"], "SU");
    EXPECT_EQ(lines[2]["length"], 45);
}

TEST(KxctlDecode, MalformedMessagesAreReportedWithFailure)
{
    // The code element claims 3 bytes: the walk misses the end element.
    Bytes bad = hex("00 12 00 0A 00 00 03 41") + "SU" + hex("00 00 00 42 00 00 00 EE");
    json m = decodeOne(kxtest::toHex(bad), 1);
    EXPECT_EQ(m["valid"], false);
    EXPECT_EQ(m["check"], -1);
    auto text = kxctl({"decode"}, kxtest::toHex(bad));
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_NE(text.out.find("malformed    the end element is not where it belongs (-1)"),
              std::string::npos)
        << text.out;

    // Lines that are neither hex nor dump lines are passed over.
    auto notHex = kxctl({"decode"}, "00 2D zz\n");
    EXPECT_EQ(notHex.exitCode, 1);
    EXPECT_NE(notHex.err.find("no message in the input"), std::string::npos) << notHex.err;
}

} // namespace
