// What the kxctl tests share: running kxctl (behind the emulator of a cross
// build), the real daemon in the test's sandbox, kxctl running in the
// background, and reading its JSON lines back.
#pragma once

#include "kxdaemon.h"
#include "kxprogram.h"
#include "kxtest.h"
#include "kxwire.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
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
using nlohmann::json;

inline kxtest::ProgramResult kxctl(const std::vector<std::string> &args,
                                   const std::string &input = {},
                                   const std::vector<std::string> &env = {})
{
    return kxtest::runProgram(kxtest::programPath("kxctl"), args, input, env, 30000);
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

// Bytes as kxctl's JSON writes them: lower-case hex, nothing between.
inline std::string lowerHex(const Bytes &bytes)
{
    std::string text;
    for (unsigned char b : bytes) {
        char two[3];
        snprintf(two, sizeof two, "%02x", b);
        text += two;
    }
    return text;
}

inline bool waitForPath(const std::string &path, int timeoutMs = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    struct stat st {};
    while (stat(path.c_str(), &st) != 0) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The next message on "/to_kxnet" that is the response to code.
inline std::optional<Bytes> takeResponse(const std::string &code, int timeoutMs = 5000)
{
    while (auto msg = kxtest::take("/to_kxnet", timeoutMs))
        if (kxtest::valueOf(*msg, 'A') == code && static_cast<uint8_t>((*msg)[3]) == 11)
            return msg;
    return std::nullopt;
}

// The daemon's canvas, asked for with "lc" through the mailboxes.
inline Bytes fetchCanvas()
{
    EXPECT_TRUE(kxtest::post("/to_camera", kxtest::command("lc", Bytes(1, '\0'))));
    auto msg = takeResponse("lc");
    Bytes payload = msg ? kxtest::valueOf(*msg, 'E').value_or("") : "";
    return payload.size() == 602 ? payload.substr(2) : Bytes();
}

// kxctl running in the background, output into files, ended with SIGTERM.
struct Background {
    pid_t pid = -1;
    int out = memfd_create("kxctl-out", MFD_CLOEXEC);
    int err = memfd_create("kxctl-err", MFD_CLOEXEC);

    explicit Background(const std::vector<std::string> &args)
    {
        auto line = kxtest::commandLine(kxtest::programPath("kxctl"), args);
        fflush(nullptr);
        pid = fork();
        if (pid == 0)
            kxtest::execCommand(line, {}, -1, out, err);
    }
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;
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

    static std::string read(int fd)
    {
        std::string text;
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
};

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

    void startDaemon(const std::vector<std::string> &args)
    {
        ASSERT_EQ(daemon.start(args, {"KXIPC_DIR=" + ipcDir}), 0);
        ASSERT_TRUE(kxtest::waitForMailbox("/to_ble"));
    }

    // kxctl camera, once its three endpoints are bound.
    std::unique_ptr<Background> startCamera(std::vector<std::string> args)
    {
        args.insert(args.begin(), "camera");
        auto camera = std::make_unique<Background>(args);
        for (const char *name : {"wifibt", "wifi_ctrl", "helper_task"})
            EXPECT_TRUE(waitForPath(ipcDir + "/" + name + ".rtos")) << name;
        return camera;
    }

    std::string ipcDir;
    kxtest::Daemon daemon;
};

} // namespace kxctltest
