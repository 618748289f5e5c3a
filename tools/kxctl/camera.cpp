// camera: the camera's side of the daemon's endpoints (camera/side.cpp),
// and the verbs that steer a running one from another process: send, down,
// load and journal, over its control socket (camera/control.h).
#include "camera/control.h"
#include "failure.h"
#include "verbs.h"

#include "journal.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace kxctl {

int runCameraSend(const OutputOptions &, const CommandWords &words)
{
    if (words.code.size() != 2 || words.code.find_first_of(" \t\r\n") != std::string::npos)
        throw Failure(kExitUsage, "a command code has two characters, not \"" + words.code + "\"");
    std::string request = "send " + words.code;
    if (words.given())
        request += " " + toHex(commandArguments(words));
    controlAsk(request);
    return kExitOk;
}

int runCameraDown(const OutputOptions &, const long &ms)
{
    controlAsk("down " + std::to_string(ms));
    return kExitOk;
}

int runCameraLoad(const OutputOptions &, const std::string &file)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(file, error);
    if (error || path.native().find('\n') != std::string::npos)
        throw Failure(kExitUsage, file + ": not a path the camera can open");
    controlAsk("load " + path.native());
    return kExitOk;
}

int runCameraJournal(const OutputOptions &out)
{
    std::istringstream lines(controlAsk("journal"));
    for (std::string line; std::getline(lines, line);)
        printLine(out.json ? line : kxcam::journalText(Json::parse(line)));
    flushOutput();
    return kExitOk;
}

} // namespace kxctl
