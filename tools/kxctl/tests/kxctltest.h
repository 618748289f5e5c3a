// What the kxctl tests share: running kxctl (behind the emulator of a cross
// build), the real daemon in the test's sandbox, kxctl running in the
// background, and reading its JSON lines back.
#pragma once

#include "kxRedIro.h"
#include "kxdaemon.h"
#include "kxprogram.h"
#include "kxtest.h"
#include "kxwire.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kxctltest {

using kxtest::Bytes;
using kxtest::hex;
using nlohmann::json;
using Args = std::vector<std::string>;

inline kxtest::ProgramResult kxctl(const Args &args, const std::string &input = {})
{
    return kxtest::runProgram(kxtest::programPath("kxctl"), args, input, {}, 30000);
}

// One JSON value per line, as kxctl --json writes them.
inline std::vector<json> jsonLines(const std::string &out)
{
    std::vector<json> values;
    for (const auto &line : kxtest::splitLines(out))
        if (!line.empty())
            values.push_back(json::parse(line));
    return values;
}

using kxtest::lowerHex;

// The values of keys in each JSON line, joined by blanks: one short text a
// message that a test compares as a whole.
inline Args summary(const std::vector<json> &lines, const std::vector<const char *> &keys)
{
    Args seen;
    for (const json &m : lines) {
        std::string text;
        for (const char *key : keys) {
            json v = m.value(key, json()); // null when it is not there
            text += (text.empty() ? "" : " ") + (v.is_string() ? v.get<std::string>() : v.dump());
        }
        seen.push_back(text);
    }
    return seen;
}

// The worked examples of the message format: the simulated camera's answer
// to "cm" in mode 0, and the camera's "SU" command.
inline Bytes modeResponse()
{
    return hex("00 33 00 0B 00 00 02 41") + "cm" + hex("00 00 00 42 00 00 0A 43") + "/to_camera" +
           hex("00 00 09 44") + "/to_kxnet" + hex("00 00 02 45 00 00 00 00 00 EE");
}

inline Bytes suspendCommand()
{
    return Bytes(kxtest::suCommand().begin(), kxtest::suCommand().end());
}

// The next message on "/to_kxnet" that is the response to code.
inline std::optional<Bytes> takeResponse(const std::string &code, int timeoutMs = 5000)
{
    while (auto msg = kxtest::take("/to_kxnet", timeoutMs))
        if (kxtest::valueOf(*msg, 'A') == code && static_cast<uint8_t>((*msg)[3]) == 11)
            return msg;
    return std::nullopt;
}

// kxctl running in the background, output into files (or the given
// standard output), ended with SIGTERM.
struct Background {
    pid_t pid = -1;
    int out = memfd_create("kxctl-out", MFD_CLOEXEC);
    int err = memfd_create("kxctl-err", MFD_CLOEXEC);

    explicit Background(const Args &args, int stdoutFd = -1)
    {
        auto line = kxtest::commandLine(kxtest::programPath("kxctl"), args);
        fflush(nullptr);
        pid = fork();
        if (pid == 0)
            kxtest::execCommand(line, {}, -1, stdoutFd < 0 ? out : stdoutFd, err);
    }
    ~Background()
    {
        stop();
        close(out);
        close(err);
    }

    // The exit status after SIGTERM, or -1 when it did not exit by itself.
    int stop()
    {
        if (pid > 0)
            kill(pid, SIGTERM);
        return wait();
    }

    // The exit status once it ends by itself.
    int wait()
    {
        if (pid <= 0)
            return -1;
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// The daemon's log file, once "trace on --log-file" has it written.
inline constexpr const char *kLogFile = "/tmp/fuse_d/wifi_log.txt";

// kxctl monitor following the log file of a daemon in mode ("--simulator"
// or "--relay"), once it has said so: a call made after this is seen.
inline std::unique_ptr<Background> followLog(const std::string &mode, Args monitorArgs)
{
    EXPECT_EQ(kxctl({"trace", "on", mode, "--log-file"}).exitCode, 0);
    EXPECT_TRUE(kxtest::waitUntil(5000, [] { return access(kLogFile, F_OK) == 0; }));
    monitorArgs.insert(monitorArgs.begin(), {"--json", "monitor", kLogFile});
    auto monitor = std::make_unique<Background>(monitorArgs);
    EXPECT_TRUE(kxtest::waitUntil(5000, [&] {
        return kxtest::readFd(monitor->err).find("following") != std::string::npos;
    }));
    return monitor;
}

// A fresh endpoint directory in KXIPC_DIR (kxctl and the test's own camera
// use it) and room for the daemon's mailboxes: every queue of the user, in
// every namespace, counts against the creator's RLIMIT_MSGQUEUE, and other
// tests may run at the same time.
class KxctlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ipcDir = kxtest::freshIpcDir();
        setenv("KXIPC_DIR", ipcDir.c_str(), 1);
        struct rlimit room = {16u << 20, 16u << 20};
        setrlimit(RLIMIT_MSGQUEUE, &room);
    }

    // The tests of one program share a namespace: what one test left in a
    // mailbox must not reach the next.
    void TearDown() override
    {
        daemon.stop();
        for (const kxMailbox_t &box : kxMailboxes)
            mq_unlink(box.name);
    }

    void startDaemon(const Args &args)
    {
        ASSERT_EQ(daemon.start(args, {"KXIPC_DIR=" + ipcDir}), 0);
        ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    }

    // kxctl camera, once its three endpoints are bound.
    std::unique_ptr<Background> startCamera(Args args)
    {
        args.insert(args.begin(), "camera");
        auto camera = std::make_unique<Background>(args);
        for (const char *name : {"wifibt", "wifi_ctrl", "helper_task"}) {
            struct stat st {};
            std::string path = ipcDir + "/" + name + ".rtos";
            auto bound = [&] { return stat(path.c_str(), &st) == 0; };
            EXPECT_TRUE(kxtest::waitUntil(5000, bound)) << name;
        }
        return camera;
    }

    std::string ipcDir;
    kxtest::Daemon daemon;
};

} // namespace kxctltest
