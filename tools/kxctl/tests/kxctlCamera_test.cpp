// kxctl camera as a camera that misbehaves on demand, seen from the
// network daemon's side of a relaying daemon: scenario rules and timeline,
// replays of a recorded camera, and the verbs that steer a running camera.
#include "kxctltest.h"

#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <functional>

namespace {

using namespace kxctltest;
using kxtest::command;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    using std::chrono::duration_cast, std::chrono::milliseconds;
    return static_cast<long>(duration_cast<milliseconds>(Clock::now() - start).count());
}

std::string code(const Bytes &message)
{
    return kxtest::valueOf(message, 'A').value_or("?");
}

int typeOf(const Bytes &message)
{
    return message.size() > 3 ? static_cast<uint8_t>(message[3]) : -1;
}

// Every message "/to_kxnet" holds until it stays quiet for quietMs.
std::vector<Bytes> drain(int quietMs = 300)
{
    std::vector<Bytes> seen;
    while (auto m = kxtest::take("/to_kxnet", quietMs))
        seen.push_back(*m);
    return seen;
}

// Each message's code and type, to show where two runs part.
Args codes(const std::vector<Bytes> &messages)
{
    Args seen;
    for (const Bytes &m : messages)
        seen.push_back(code(m) + " " + std::to_string(typeOf(m)));
    return seen;
}

class KxctlCamera : public KxctlTest {
public: // the cases' checks call these

    // A relaying daemon and a camera that answers as the scenario says.
    std::unique_ptr<Background> serve(const std::string &scenario, Args more = {})
    {
        std::ofstream("/tmp/scenario.toml") << scenario;
        startDaemon({});
        more.insert(more.begin(), {"--scenario", "/tmp/scenario.toml"});
        return startCamera(more);
    }

    int call(const Args &args)
    {
        Args line = {"call"};
        line.insert(line.end(), args.begin(), args.end());
        auto r = kxctl(line);
        return r.exitCode;
    }

    std::vector<json> journal() { return jsonLines(kxctl({"--json", "camera", "journal"}).out); }
};

struct ScenarioCase {
    const char *name;
    const char *scenario;
    std::function<void(KxctlCamera &)> check;
};

// What each case is checked by, from the network daemon's side.
const ScenarioCase kScenarioCases[] = {
    {"a refusal", "[[rule]]\ncode = \"cv\"\nstatus = 1\n",
     [](KxctlCamera &t) { EXPECT_EQ(t.call({"cv"}), 5); }},
    {"a late answer", "[[rule]]\ncode = \"cv\"\ndelay_ms = 1500\n",
     [](KxctlCamera &t) {
         EXPECT_EQ(t.call({"cv", "-t", "1"}), 4);
         auto late = kxtest::take("/to_kxnet", 2000);
         ASSERT_TRUE(late) << "the answer comes after the call gave up";
         EXPECT_EQ(code(*late), "cv");
         auto start = Clock::now();
         EXPECT_EQ(t.call({"cv", "-t", "3"}), 0);
         EXPECT_GE(msSince(start), 1500);
     }},
    {"a lost answer", "[[rule]]\ncode = \"cv\"\ndrop = true\n",
     [](KxctlCamera &t) { EXPECT_EQ(t.call({"cv", "-t", "1"}), 4); }},
    {"only the second", "[[rule]]\ncode = \"cv\"\nnth = 2\nstatus = 1\n",
     [](KxctlCamera &t) {
         EXPECT_EQ(t.call({"cv"}), 0);
         EXPECT_EQ(t.call({"cv"}), 5);
         EXPECT_EQ(t.call({"cv"}), 0);
     }},
    {"camera commands around the answer",
     "[[rule]]\ncode = \"cv\"\npayload = \"00\"\nbefore = [{ code = \"SU\", args = \"01\" }]\n"
     "after = [{ code = \"LC\" }]\n",
     [](KxctlCamera &) {
         ASSERT_TRUE(kxtest::post("/to_camera", command("cv")));
         EXPECT_EQ(codes(drain()), Args({"SU 10", "cv 11", "LC 10"}));
     }},
    {"a malformed answer", "[[rule]]\ncode = \"cv\"\nmalformed = true\n",
     [](KxctlCamera &t) {
         EXPECT_EQ(t.call({"cv", "-t", "1"}), 4);
         auto entries = t.journal();
         ASSERT_EQ(entries.size(), 2u) << "the command, and the answer the daemon sent back";
         EXPECT_EQ(entries[0]["action"], "malformed");
         EXPECT_EQ(entries[1]["action"], "ignored") << "nobody answers it";
         EXPECT_TRUE(drain().empty());
     }},
};

TEST_F(KxctlCamera, EachScenarioCaseThroughTheDaemon)
{
    for (const ScenarioCase &c : kScenarioCases) {
        SCOPED_TRACE(c.name);
        auto camera = serve(c.scenario);
        c.check(*this);
        camera.reset();
        daemon.stop();
    }
}

// Files the camera refuses before it binds anything: status 2, and the
// file, where in it and what was wrong.
const std::pair<const char *, const char *> kBadScenarios[] = {
    {"[[rule]\ncode = \"cv\"\n", "/tmp/bad.toml:1:8: "},
    {"[[rule]]\ncode = \"cv\"\ncolour = 1\n", "/tmp/bad.toml:3:1: rule 1: colour: unknown key"},
    {"[[rule]]\ncode = \"cvx\"\n", "/tmp/bad.toml:2:8: rule 1: code: expected two characters"},
    {"[[rule]]\ncode = \"cv\"\nargs = \"zz\"\n", "/tmp/bad.toml:3:8: rule 1: args: expected hex"},
    {"[[rule]]\ncode = \"cv\"\nnth = 2\ntimes = 3\n", "4:9: rule 1: times: does not go with nth"},
    {"[[rule]]\ncode = \"cv\"\ndrop = true\npayload = \"00\"\n", "payload: does not go with drop"},
};

TEST_F(KxctlCamera, BadScenarioFilesAreRefusedBeforeAnythingBinds)
{
    for (const auto &[text, message] : kBadScenarios) {
        SCOPED_TRACE(text);
        std::ofstream("/tmp/bad.toml") << text;
        auto r = kxctl({"camera", "--scenario", "/tmp/bad.toml"});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("the camera's side of"), std::string::npos) << "nothing bound";
        EXPECT_NE(access((ipcDir + "/wifibt.rtos").c_str(), F_OK), 0);
    }
    auto missing = kxctl({"camera", "--scenario", "/tmp/none.toml"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_NE(missing.err.find("/tmp/none.toml: No such file or directory"), std::string::npos)
        << missing.err;
}

TEST_F(KxctlCamera, TimelineSendsOnTimeAndRebootEndsTheDaemon)
{
    auto camera = serve("[[at]]\ntime_ms = 300\nsend = { code = \"SU\", args = \"02\" }\n"
                        "[[at]]\ntime_ms = 600\ndown_ms = 1200\n");
    auto start = Clock::now();
    auto su = kxtest::take("/to_kxnet", 2000);
    long at = msSince(start);
    ASSERT_TRUE(su);
    EXPECT_EQ(code(*su), "SU");
    EXPECT_EQ(kxtest::valueOf(*su, 'B'), hex("02"));
    EXPECT_LE(at, 400) << "within 100 ms of its time";

    // While it is down, the daemon's next send to it fails its assertion.
    std::this_thread::sleep_for(std::chrono::milliseconds(900 - msSince(start)));
    ASSERT_TRUE(kxtest::post("/to_camera", command("cv")));
    EXPECT_EQ(daemon.waitExit(5000), 255);
    // Back after its time, it serves a daemon started again.
    std::string rtos = ipcDir + "/wifibt.rtos";
    ASSERT_TRUE(kxtest::waitUntil(3000, [&] { return access(rtos.c_str(), F_OK) == 0; }));
    kxtest::Daemon again;
    ASSERT_EQ(again.start({}, {"KXIPC_DIR=" + ipcDir}), 0);
    EXPECT_EQ(call({"cv"}), 0);
}

// The commands of a recording: ten codes and more, with "CM 07" (its LC
// after the answer) and "PW 00" (its SU before).
const std::vector<std::pair<std::string, Bytes>> kRecorded = {
    {"cv", ""},    {"CM", hex("07")}, {"cm", ""}, {"PW", hex("00")}, {"st", ""},
    {"se", ""},    {"pv", ""},        {"um", ""}, {"vs", ""},        {"sh", ""},
    {"CM", hex("03")}, {"lc", hex("00")}, {"cc", ""},
};

// The commands, one at a time, and all that reaches "/to_kxnet".
std::vector<Bytes> playCommands()
{
    std::vector<Bytes> seen;
    for (const auto &[code, args] : kRecorded) {
        EXPECT_TRUE(kxtest::post("/to_camera", command(code, args)));
        for (const Bytes &m : drain(200))
            seen.push_back(m);
    }
    return seen;
}

TEST_F(KxctlCamera, ReplaysGiveWhatTheRecordedCameraGave)
{
    ASSERT_EQ(system("mkdir -p /tmp/fuse_d && rm -f /tmp/fuse_d/wifi_log.txt"), 0);
    startDaemon({});
    auto camera = startCamera({"--pcap", "/tmp/camera.pcapng"});
    ASSERT_EQ(kxctl({"trace", "on", "--relay", "--log-file"}).exitCode, 0);
    drain(200);
    const std::vector<Bytes> recorded = playCommands();
    ASSERT_GE(recorded.size(), kRecorded.size() + 2) << "answers, an SU and LCs";
    ASSERT_EQ(kxctl({"trace", "off", "--relay"}).exitCode, 0);
    camera.reset();

    for (const char *recording : {"/tmp/camera.pcapng", kLogFile}) {
        SCOPED_TRACE(recording);
        Background replay({"camera", "--replay", recording});
        std::string rtos = ipcDir + "/wifibt.rtos";
        ASSERT_TRUE(kxtest::waitUntil(5000, [&] { return access(rtos.c_str(), F_OK) == 0; }));
        drain(200); // the last round's simulated answer ends with the first canvas
        std::vector<Bytes> replayed = playCommands();
        ASSERT_EQ(codes(replayed), codes(recorded));
        for (size_t i = 0; i < recorded.size(); ++i)
            EXPECT_EQ(kxtest::toHex(replayed[i]), kxtest::toHex(recorded[i])) << i;
        // A command the recording does not hold is answered by the default.
        EXPECT_EQ(call({"tm"}), 5);
        auto entries = journal();
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.back()["rule"], "default");
        EXPECT_EQ(entries.front()["rule"], "replay");
        EXPECT_EQ(replay.stop(), 0);
        EXPECT_NE(kxtest::readFd(replay.err).find(std::to_string(kRecorded.size()) +
                                                  " command(s) matched, 1 not matched"),
                  std::string::npos);
    }
}

// Whether a process of another user may connect to the socket at path:
// 1 yes, 0 no, -1 when this test cannot become another user (a user
// namespace maps only its owner).
int otherUserConnects(const std::string &path)
{
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        snprintf(to.sun_path, sizeof to.sun_path, "%s", path.c_str());
        _exit(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0 ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    return code == 3 ? -1 : code;
}

TEST_F(KxctlCamera, OnlyItsOwnerSteersIt)
{
    auto none = kxctl({"camera", "journal"});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.err.find("no kxctl camera runs"), std::string::npos) << none.err;

    auto camera = serve("");
    struct stat st {};
    ASSERT_EQ(stat((ipcDir + "/camera.control").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The directory open to all, so that only the socket's own mode refuses.
    ASSERT_EQ(chmod(ipcDir.c_str(), 0755), 0);
    if (int other = otherUserConnects(ipcDir + "/camera.control"); other >= 0) {
        EXPECT_EQ(other, 0) << "only its owner connects";
    }
}

TEST_F(KxctlCamera, SteeredFromAnotherProcess)
{
    auto camera = serve("", {"--journal", "/tmp/journal.json"});
    ASSERT_EQ(kxctl({"camera", "send", "SU", "01"}).exitCode, 0);
    auto su = kxtest::take("/to_kxnet", 2000);
    ASSERT_TRUE(su);
    EXPECT_EQ(code(*su) + " " + kxtest::toHex(kxtest::valueOf(*su, 'B').value_or("")), "SU 01");

    std::ofstream("/tmp/refuse.toml") << "[[rule]]\ncode = \"cv\"\nstatus = 1\n";
    EXPECT_EQ(call({"cv"}), 0);
    ASSERT_EQ(kxctl({"camera", "load", "/tmp/refuse.toml"}).exitCode, 0);
    EXPECT_EQ(call({"cv"}), 5);
    std::ofstream("/tmp/bad.toml") << "[[rule]]\ncode = \"cvx\"\n";
    auto bad = kxctl({"camera", "load", "/tmp/bad.toml"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("/tmp/bad.toml"), std::string::npos) << bad.err;

    auto entries = journal();
    EXPECT_EQ(summary(entries, {"code", "rule", "action", "endpoint"}),
              Args({"cv default answered wifibt", "cv 1 refused wifibt"}));
    EXPECT_EQ(kxtest::splitLines(kxtest::readFile("/tmp/journal.json")).size(), entries.size());
    auto text = kxtest::splitLines(kxctl({"camera", "journal"}).out);
    ASSERT_EQ(text.size(), 2u);
    EXPECT_NE(text[1].find("rule 1  refused"), std::string::npos) << text[1];

    ASSERT_EQ(kxctl({"camera", "down", "300"}).exitCode, 0);
    std::string rtos = ipcDir + "/wifibt.rtos";
    EXPECT_NE(access(rtos.c_str(), F_OK), 0) << "unbound";
    EXPECT_TRUE(kxtest::waitUntil(2000, [&] { return access(rtos.c_str(), F_OK) == 0; }));
}

} // namespace
