#include "steer.h"

#include "failure.h"
#include "reader.h"

#include <cerrno>
#include <cstring>
#include <sstream>

namespace kxctl {

namespace {

// The recording's messages and their way: the daemon's trace labels in a
// log or a monitor capture, the packet's direction in a camera capture.
std::optional<kxcam::Recorded> recordedOf(const Traced &t)
{
    if (t.cut())
        return std::nullopt;
    bool toCamera = t.tag == ">RT" || t.way == Way::inbound;
    if (!toCamera && t.tag != "<RT" && t.way != Way::outbound)
        return std::nullopt;
    kxcam::Recorded r{t.raw, toCamera, std::nullopt, t.from == kxmsg::From::log};
    if (t.when)
        r.seconds = epochSeconds(*t.when);
    return r;
}

std::vector<kxcam::Recorded> readRecordingFile(const std::string &path)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (in == nullptr)
        throw Failure(kExitUsage, path + ": " + strerror(errno));
    std::vector<kxcam::Recorded> recording;
    ReadEvents events{[&](const Traced &t) {
                          if (auto r = recordedOf(t))
                              recording.push_back(std::move(*r));
                      },
                      [](const std::string &) {}};
    try {
        readRecording(in, events);
    } catch (const Error &e) {
        fclose(in);
        throw Failure(kExitUsage, path + ": " + e.what());
    }
    fclose(in);
    return recording;
}

void loadReplay(Session &s, const std::string &path)
{
    kxcam::addRecording(s.replay, readRecordingFile(path));
    if (s.replay.exchanges.empty())
        throw Failure(kExitUsage, path + ": no command to the camera side in it (a capture of "
                                         "kxctl camera or monitor, or a log with the trace)");
    s.replaying = true;
}

kxcam::Scenario scenarioFrom(const std::string &path, int status)
{
    kxcam::Scenario scenario;
    kxcam::ScenarioError error;
    if (!kxcam::loadScenario(path, scenario, error))
        throw Failure(status, error.message);
    return scenario;
}

ControlReply sendNow(Session &s, std::istringstream &words)
{
    kxcam::CameraCommand command;
    std::string hex;
    words >> command.code >> hex;
    if (command.code.size() != 2)
        return {kExitUsage, "a command code has two characters"};
    if (!hex.empty()) {
        try {
            command.args = parseHexText(hex);
        } catch (const Error &e) {
            return {kExitUsage, e.what()};
        }
    }
    planCommand(s, nowMs(s), 0, command);
    return {};
}

ControlReply journalLines(const Session &s)
{
    std::string lines;
    for (const kxcam::JournalEntry &e : s.journal)
        lines += jsonLine(kxcam::journalJson(e)) + "\n";
    return {0, lines};
}

} // namespace

void loadSetup(Session &s)
{
    if (!s.setup.scenarioFile.empty())
        useScenario(s, scenarioFrom(s.setup.scenarioFile, kExitUsage));
    if (!s.setup.replayFile.empty())
        loadReplay(s, s.setup.replayFile);
    if (!s.setup.journal.empty() && (s.journalFile = fopen(s.setup.journal.c_str(), "w")) == nullptr)
        throw Failure(kExitUsage, s.setup.journal + ": " + strerror(errno));
}

ControlReply control(Session &s, const std::string &request)
{
    std::istringstream words(request);
    std::string verb;
    words >> verb;
    if (verb == "send")
        return sendNow(s, words);
    if (verb == "down") {
        long ms = -1;
        if (!(words >> ms) || ms < 0 || ms > kxcam::kLongestMs)
            return {kExitUsage, "down takes milliseconds, 0 to " + std::to_string(kxcam::kLongestMs)};
        goDown(s, ms);
        return {};
    }
    if (verb == "load") {
        std::string path = request.substr(std::min(request.size(), verb.size() + 1));
        try {
            useScenario(s, scenarioFrom(path, kExitUsage));
        } catch (const Failure &f) {
            return {f.status, f.what()};
        }
        planTimeline(s, nowMs(s));
        return {};
    }
    if (verb == "journal")
        return journalLines(s);
    return {kExitUsage, "unknown request \"" + escapeControls(verb) + "\""};
}

} // namespace kxctl
