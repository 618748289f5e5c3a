// The command line of every verb: its options, their checks and defaults,
// and the function of verbs.h that runs it. Kept together, apart from what
// the verbs do: CLI11 is a header-only library whose header alone makes
// seconds of code in each file that includes it.
#include "commandline.h"

#include "camera/side.h"
#include "verbs.h"

#include "scenario.h"

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdlib>
#include <memory>

namespace kxctl {

namespace {

// A verb without options of its own.
void runs(CLI::App *verb, Runner &chosen, int (*run)(const OutputOptions &))
{
    verb->callback([&chosen, run] { chosen = run; });
}

// A verb whose options the command line fills in and run reads; shared,
// since both outlive the definer.
template <typename Options>
void runs(CLI::App *verb, Runner &chosen, std::shared_ptr<Options> options,
          int (*run)(const OutputOptions &, const Options &))
{
    verb->callback([&chosen, options, run] {
        chosen = [options, run](const OutputOptions &out) { return run(out, *options); };
    });
}

// Seconds to wait, from least (exclusive when 0 is not allowed) to a day.
CLI::Validator seconds(bool zeroAllowed)
{
    std::string range = zeroAllowed ? "from 0 (for ever) to 86400" : "above 0, at most 86400";
    return CLI::Validator(
        [zeroAllowed, range](std::string &text) -> std::string {
            size_t used = 0;
            double value = -1;
            try {
                value = std::stod(text, &used);
            } catch (const std::exception &) {
            }
            bool fits = used == text.size() && value <= 86400 &&
                        (value > 0 || (zeroAllowed && value == 0));
            return fits ? "" : "seconds " + range + ", not " + text;
        },
        "SECONDS");
}

// CODE, ARG..., --hex and --string.
void addCommandArguments(CLI::App *verb, CommandWords &words)
{
    verb->add_option("CODE", words.code, "two-letter command code, e.g. cv, CM")->required();
    verb->add_option("ARG", words.args, "argument bytes, one hex byte a word (07, 0x07)");
    verb->add_option("--hex", words.hex, "argument bytes as hex, e.g. 2014280000000030");
    verb->add_option("--string", words.text, "argument bytes as text");
}

// -m, --force, --source, --destination and --type.
void addAddressing(CLI::App *verb, SendOptions &send)
{
    verb->add_option("-m,--mailbox", send.mailbox,
                     "mailbox to put the command into (/to_camera, /to_wif, /to_csi)")
        ->capture_default_str();
    verb->add_flag("--force", send.force,
                   "send also what the daemon would refuse or not read: an unknown code, a "
                   "wrong argument length, another mailbox, a nearly full /to_kxnet");
    verb->add_option("--source", send.source, "source element (default: the mailbox)");
    verb->add_option("--destination", send.destination, "destination element")
        ->capture_default_str();
    verb->add_option("--type", send.type, "message type")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
}

void addTimeout(CLI::App *verb, double &timeout)
{
    verb->add_option("-t,--timeout", timeout, "seconds to wait for the response (0: forever)")
        ->check(seconds(true))
        ->capture_default_str();
}

void defineCall(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<CallOptions>();
    auto *verb = app.add_subcommand("call", "send a command and show its response");
    addCommandArguments(verb, o->command);
    addAddressing(verb, o->send);
    addTimeout(verb, o->timeout);
    verb->add_flag("-a,--answer-only", o->answerOnly,
                   "print the response alone, not what arrives meanwhile");
    runs(verb, chosen, o, runCall);
}

void defineSend(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<CallOptions>();
    auto *verb = app.add_subcommand("send", "send a command without waiting for its response");
    addCommandArguments(verb, o->command);
    addAddressing(verb, o->send);
    runs(verb, chosen, o, runSend);
}

void defineDb(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<DbOptions>();
    auto *verb =
        app.add_subcommand("db", "set the daemon's debug words (the DB command, never answered)");
    verb->add_option("LEVEL", o->level, "new g_debug_level, e.g. 0x80281420 (bit 31: simulator)")
        ->required();
    verb->add_option("DEBUG", o->debug, "new g_debug, e.g. 0x30000000")->required();
    addAddressing(verb, o->send);
    runs(verb, chosen, o, runDb);
}

void defineCanvas(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<CanvasOptions>();
    auto *verb = app.add_subcommand("canvas", "ask the camera for its canvas (lc) and show it");
    verb->add_option("-o,--output", o->file, "also write it to FILE (.png or .pbm)");
    verb->add_option("--scale", o->scale, "pixels per canvas pixel in FILE")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    addAddressing(verb, o->send);
    addTimeout(verb, o->timeout);
    runs(verb, chosen, o, runCanvas);
}

void defineListen(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<ListenOptions>();
    auto *verb = app.add_subcommand("listen", "show every message of a mailbox as it arrives");
    verb->add_option("MAILBOX", o->mailbox, "mailbox to read")->capture_default_str();
    verb->add_option("-C,--count", o->count, "stop after N messages")->check(CLI::PositiveNumber);
    verb->add_option("-t,--timeout", o->quiet, "stop after SECONDS without a message (status 4)")
        ->check(seconds(false));
    runs(verb, chosen, o, runListen);
}

void defineSteering(CLI::App *camera, Runner &chosen)
{
    auto words = std::make_shared<CommandWords>();
    auto *send = camera->add_subcommand("send", "the running camera sends this command now");
    addCommandArguments(send, *words);
    runs(send, chosen, words, runCameraSend);
    auto ms = std::make_shared<long>(0);
    auto *down = camera->add_subcommand("down", "unbind the running camera's endpoints for MS ms");
    down->add_option("MS", *ms, "milliseconds")
        ->required()
        ->check(CLI::Range(0L, kxcam::kLongestMs));
    runs(down, chosen, ms, runCameraDown);
    auto file = std::make_shared<std::string>();
    auto *load = camera->add_subcommand("load", "replace the running camera's scenario");
    load->add_option("FILE", *file, "scenario file (TOML)")->required();
    runs(load, chosen, file, runCameraLoad);
    runs(camera->add_subcommand("journal", "every command the running camera received"),
         chosen, runCameraJournal);
}

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

void defineDecode(CLI::App &app, Runner &chosen)
{
    auto file = std::make_shared<std::string>();
    auto *verb = app.add_subcommand(
        "decode", "decode messages from logs, hex, kxctl's JSON or a pcapng capture");
    verb->add_option("FILE", *file, "input (default: standard input)");
    runs(verb, chosen, file, runDecode);
}

void defineMonitor(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<MonitorOptions>();
    auto *verb = app.add_subcommand(
        "monitor", "show every message that passes through the daemon, from its trace");
    verb->add_option("FILE", o->source,
                     "the daemon's log or a syslog file, followed as it grows; - for standard "
                     "input (default: $KX_SYSLOG_FILE, set by kxctl sandbox)");
    verb->add_option("-C,--count", o->count, "stop after N messages")->check(CLI::PositiveNumber);
    verb->add_option("-t,--timeout", o->quiet, "stop after SECONDS without a message (status 4)")
        ->check(CLI::PositiveNumber);
    verb->add_option("--code", o->codes, "only messages with this command code (repeatable)");
    verb->add_option("--pcap", o->pcap, "also write the messages to FILE (pcapng)");
    runs(verb, chosen, o, runMonitor);
}

void defineTrace(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<TraceOptions>();
    auto *verb = app.add_subcommand(
        "trace", "switch the daemon's traffic trace on or off (DB; needs the daemon's mode)");
    verb->add_option("STATE", o->state, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));
    auto *sim = verb->add_flag("--simulator", o->simulator,
                               "the daemon runs as simulated camera (DB keeps bit 31 set)");
    auto *relay =
        verb->add_flag("--relay")->description("the daemon relays (DB keeps bit 31 clear)");
    sim->excludes(relay);
    verb->add_flag("--head-tail", o->headTail, "dump head and tail of long messages only");
    verb->add_flag("--log-file", o->logFile, "also write the log file /tmp/fuse_d/wifi_log.txt");
    verb->add_option("-m,--mailbox", o->send.mailbox, "mailbox to put DB into")
        ->capture_default_str();
    verb->callback([&chosen, o, sim, relay] {
        if (sim->count() + relay->count() == 0)
            throw CLI::ValidationError("--simulator or --relay",
                                       "DB rewrites the simulator flag too: say the daemon's mode, "
                                       "--simulator or --relay");
        chosen = [o](const OutputOptions &out) { return runTrace(out, *o); };
    });
}

void defineMailboxes(CLI::App &app, Runner &chosen)
{
    runs(app.add_subcommand("mailboxes", "list the daemon's eight mailboxes"), chosen,
         runMailboxes);
}

void defineCodes(CLI::App &app, Runner &chosen)
{
    runs(app.add_subcommand("codes", "list the camera's command codes and argument lengths"),
         chosen, runCodes);
}

void defineStatus(CLI::App &app, Runner &chosen)
{
    auto options = std::make_shared<StatusOptions>();
    auto *verb =
        app.add_subcommand("status", "is a daemon running; mailbox fill levels; endpoints");
    verb->add_option("--wait", options->waitSeconds,
                     "first wait up to SECONDS for a daemon that serves all eight mailboxes")
        ->check(CLI::Range(0.0, 3600.0));
    runs(verb, chosen, options, runStatus);
}

void defineSandbox(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<SandboxOptions>();
    auto *verb =
        app.add_subcommand("sandbox", "run COMMAND (default: a shell) with private mailboxes");
    verb->add_option("--msg-max", o->msgMax, "fs.mqueue.msg_max inside")
        ->check(CLI::Range(1, 65536))
        ->capture_default_str();
    // A test harness keeps its own folder (pytest's lie under /tmp) beside
    // the project the command runs from.
    verb->add_option("--keep", o->keep, "keep this folder under /tmp visible inside (repeatable)")
        ->allow_extra_args(false) // one folder each: "--" still starts the command
        ->check(CLI::ExistingDirectory)
        ->transform([](std::string path) {
            char real[PATH_MAX];
            return realpath(path.c_str(), real) != nullptr ? std::string(real) : path;
        });
    verb->add_option("COMMAND", o->command, "the command and its arguments, after --");
    verb->callback(
        [&chosen, o] { chosen = [o](const OutputOptions &) { return runSandbox(*o); }; });
}

using VerbDefiner = void (*)(CLI::App &app, Runner &chosen);

// In the order of kxctl --help.
constexpr VerbDefiner kVerbs[] = {
    defineCall,   defineSend,    defineDb,        defineListen, defineCamera,
    defineCanvas, defineDecode,  defineMonitor,   defineTrace,  defineMailboxes,
    defineCodes,  defineStatus,  defineSandbox,
};

} // namespace

void defineVerbs(CLI::App &app, Runner &chosen)
{
    for (VerbDefiner defineVerb : kVerbs)
        defineVerb(app, chosen);
}

} // namespace kxctl
