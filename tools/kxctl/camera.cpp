// camera: the camera's side of the daemon's endpoints (camera/side.cpp),
// and the verbs that steer a running one from another process: send, down,
// load and journal, over its control socket (camera/control.h).
#include "camera/control.h"
#include "camera/side.h"
#include "failure.h"
#include "options.h"
#include "verbs.h"

#include "journal.h"
#include "scenario.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

namespace kxctl {

namespace {

int runSendNow(const OutputOptions &, const CommandWords &words)
{
    if (words.code.size() != 2 || words.code.find_first_of(" \t\r\n") != std::string::npos)
        throw Failure(kExitUsage, "a command code has two characters, not \"" + words.code + "\"");
    std::string request = "send " + words.code;
    if (words.given())
        request += " " + toHex(commandArguments(words));
    controlAsk(request);
    return kExitOk;
}

int runDown(const OutputOptions &, const long &ms)
{
    controlAsk("down " + std::to_string(ms));
    return kExitOk;
}

int runLoad(const OutputOptions &, const std::string &file)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(file, error);
    if (error || path.native().find('\n') != std::string::npos)
        throw Failure(kExitUsage, file + ": not a path the camera can open");
    controlAsk("load " + path.native());
    return kExitOk;
}

int runJournal(const OutputOptions &out)
{
    std::istringstream lines(controlAsk("journal"));
    for (std::string line; std::getline(lines, line);)
        printLine(out.json ? line : kxcam::journalText(Json::parse(line)));
    flushOutput();
    return kExitOk;
}

void defineSteering(CLI::App *camera, Runner &chosen)
{
    auto words = std::make_shared<CommandWords>();
    auto *send = camera->add_subcommand("send", "the running camera sends this command now");
    addCommandArguments(send, *words);
    runs(send, chosen, words, runSendNow);
    auto ms = std::make_shared<long>(0);
    auto *down = camera->add_subcommand("down", "unbind the running camera's endpoints for MS ms");
    down->add_option("MS", *ms, "milliseconds")->required()->check(CLI::Range(0L, kxcam::kLongestMs));
    runs(down, chosen, ms, runDown);
    auto file = std::make_shared<std::string>();
    auto *load = camera->add_subcommand("load", "replace the running camera's scenario");
    load->add_option("FILE", *file, "scenario file (TOML)")->required();
    runs(load, chosen, file, runLoad);
    runs(camera->add_subcommand("journal", "every command the running camera received"),
         chosen, runJournal);
}

} // namespace

void defineCamera(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<CameraSetup>();
    auto *verb =
        app.add_subcommand("camera", "play the camera's side of the daemon's IPC endpoints");
    verb->fallthrough();
    auto *echo = verb->add_flag_callback(
        "--echo", [o] { o->answer = CameraAnswer::echo; }, "send every message back unchanged");
    auto *silent = verb->add_flag_callback(
        "--silent", [o] { o->answer = CameraAnswer::silent; }, "answer nothing");
    echo->excludes(silent);
    verb->add_flag("--log", o->log, "show the simulated camera's log lines");
    verb->add_option("--pcap", o->pcap, "also write every message to FILE (pcapng)");
    auto *scenario = verb->add_option("--scenario", o->scenarioFile,
                                      "answer as the scenario FILE (TOML) says");
    auto *replay = verb->add_option("--replay", o->replayFile,
                                    "answer as the camera recorded in FILE did (pcapng or log)");
    verb->add_option("--speed", o->speed, "the replay's gaps divided by F; 0: none")
        ->check(CLI::Range(0.0, 1e6))
        ->capture_default_str();
    verb->add_option("--journal", o->journal, "also write the journal to FILE, a JSON line each");
    for (CLI::Option *answering : {scenario, replay})
        answering->excludes(echo)->excludes(silent);
    defineSteering(verb, chosen);
    verb->require_subcommand(0, 1);
    verb->callback([&chosen, o, verb] {
        if (verb->get_subcommands().empty())
            chosen = [o](const OutputOptions &out) { return runCameraSide(out, *o); };
    });
}

} // namespace kxctl
