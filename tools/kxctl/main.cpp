// kxctl: the developer's client for kxRedIro. It puts commands into the
// daemon's mailboxes and shows what comes back, listens on a mailbox, plays
// the camera's side of the IPC endpoints, decodes hex from logs, and makes
// a private sandbox to try it all in. See kxctl(1).
#include "monitor.h"
#include "signals.h"
#include "status.h"
#include "verbs.h"

#include "kxLog.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <functional>

namespace kxctl {

namespace {

constexpr char kFooter[] = R"(
Exit status (whether or not output is a terminal):
  0  success
  1  failure not listed below (bad input, a system call failed)
  2  usage error
  3  a mailbox is missing, or nobody reads it (is kxRedIro running?)
  4  timeout: no response in time, or listen's quiet period ran out
  5  the camera refused the command (status byte not 0x00)

--json and -v may also follow the verb.

call, canvas and listen read "/to_kxnet" by default: they take the messages
out of it, playing the network daemon, whose mailbox it is.)";

struct Cli {
    bool json = false;
    bool verbose = false;
    CallOptions call;
    DbOptions db;
    CanvasOptions canvas;
    ListenOptions listen;
    CameraOptions camera;
    SandboxOptions sandbox;
    std::function<int(const OutputOptions &)> run; // the verb's
};

using Runner = std::function<int(const OutputOptions &)>;

// What runs when the verb is on the command line.
void runs(CLI::App *verb, Cli &cli, Runner runner)
{
    verb->callback([&cli, runner] { cli.run = runner; });
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
            bool fits = used == text.size() && value <= 86400 && (value > 0 || (zeroAllowed && value == 0));
            return fits ? "" : "seconds " + range + ", not " + text;
        },
        "SECONDS");
}

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

void addCommandArguments(CLI::App *verb, CallOptions &call)
{
    verb->add_option("CODE", call.code, "two-letter command code, e.g. cv, CM")->required();
    verb->add_option("ARG", call.args, "argument bytes, one hex byte a word (07, 0x07)");
    verb->add_option("--hex", call.hex, "argument bytes as hex, e.g. 2014280000000030");
    verb->add_option("--string", call.text, "argument bytes as text");
}

void addCall(CLI::App &app, Cli &cli)
{
    auto *verb = app.add_subcommand("call", "send a command and show its response");
    addCommandArguments(verb, cli.call);
    addAddressing(verb, cli.call.send);
    verb->add_option("-t,--timeout", cli.call.timeout,
                     "seconds to wait for the response (0: forever)")
        ->check(seconds(true))
        ->capture_default_str();
    verb->add_flag("-a,--answer-only", cli.call.answerOnly,
                   "print the response alone, not what arrives meanwhile");
    runs(verb, cli, [&cli](const OutputOptions &o) { return runCall(o, cli.call); });
}

void addSend(CLI::App &app, Cli &cli)
{
    auto *verb = app.add_subcommand("send", "send a command without waiting for its response");
    addCommandArguments(verb, cli.call);
    addAddressing(verb, cli.call.send);
    runs(verb, cli, [&cli](const OutputOptions &o) { return runSend(o, cli.call); });
}

void addDb(CLI::App &app, Cli &cli)
{
    auto *verb =
        app.add_subcommand("db", "set the daemon's debug words (the DB command, never answered)");
    verb->add_option("LEVEL", cli.db.level,
                     "new g_debug_level, e.g. 0x80281420 (bit 31: simulator)")
        ->required();
    verb->add_option("DEBUG", cli.db.debug, "new g_debug, e.g. 0x30000000")->required();
    addAddressing(verb, cli.db.send);
    runs(verb, cli, [&cli](const OutputOptions &o) { return runDb(o, cli.db); });
}

void addListen(CLI::App &app, Cli &cli)
{
    auto *verb = app.add_subcommand("listen", "show every message of a mailbox as it arrives");
    verb->add_option("MAILBOX", cli.listen.mailbox, "mailbox to read")->capture_default_str();
    verb->add_option("-C,--count", cli.listen.count, "stop after N messages")
        ->check(CLI::PositiveNumber);
    verb->add_option("-t,--timeout", cli.listen.quiet,
                     "stop after SECONDS without a message (status 4)")
        ->check(seconds(false));
    runs(verb, cli, [&cli](const OutputOptions &o) { return runListen(o, cli.listen); });
}

void addCamera(CLI::App &app, Cli &cli)
{
    auto *verb =
        app.add_subcommand("camera", "play the camera's side of the daemon's IPC endpoints");
    auto *echo = verb->add_flag_callback(
        "--echo", [&cli] { cli.camera.answer = CameraAnswer::echo; },
        "send every message back unchanged");
    auto *silent = verb->add_flag_callback(
        "--silent", [&cli] { cli.camera.answer = CameraAnswer::silent; }, "answer nothing");
    echo->excludes(silent);
    verb->add_flag("--log", cli.camera.log, "show the simulated camera's log lines");
    verb->add_option("--pcap", cli.camera.pcap, "also write every message to FILE (pcapng)");
    runs(verb, cli, [&cli](const OutputOptions &o) { return runCamera(o, cli.camera); });
}

void addCanvas(CLI::App &app, Cli &cli)
{
    auto *verb = app.add_subcommand("canvas", "ask the camera for its canvas (lc) and show it");
    verb->add_option("-o,--output", cli.canvas.file, "also write it to FILE (.png or .pbm)");
    verb->add_option("--scale", cli.canvas.scale, "pixels per canvas pixel in FILE")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    addAddressing(verb, cli.canvas.send);
    verb->add_option("-t,--timeout", cli.canvas.timeout,
                     "seconds to wait for the response (0: forever)")
        ->check(seconds(true))
        ->capture_default_str();
    runs(verb, cli, [&cli](const OutputOptions &o) { return runCanvas(o, cli.canvas); });
}

void addOthers(CLI::App &app, Cli &cli)
{
    addTraceVerbs(app, [&cli](VerbRunner runner) { cli.run = runner; });
    runs(app.add_subcommand("mailboxes", "list the daemon's eight mailboxes"), cli, runMailboxes);
    runs(app.add_subcommand("codes", "list the camera's command codes and argument lengths"),
         cli, runCodes);
    runs(app.add_subcommand("status", "is a daemon running; mailbox fill levels; endpoints"), cli,
         runStatus);
    auto *verb =
        app.add_subcommand("sandbox", "run COMMAND (default: a shell) with private mailboxes");
    verb->add_option("--msg-max", cli.sandbox.msgMax, "fs.mqueue.msg_max inside")
        ->check(CLI::Range(1, 65536))
        ->capture_default_str();
    verb->add_option("COMMAND", cli.sandbox.command, "the command and its arguments, after --");
    runs(verb, cli, [&cli](const OutputOptions &) { return runSandbox(cli.sandbox); });
}

void define(CLI::App &app, Cli &cli)
{
    app.footer(kFooter);
    app.require_subcommand(1);
    // The common options may come before or after the verb.
    app.fallthrough();
    app.set_version_flag("--version", "kxctl " KX_VERSION);
    app.add_flag("--json", cli.json, "one JSON object per message per line");
    app.add_flag("-v,--verbose", cli.verbose, "add a hex dump of every message");
    addCall(app, cli);
    addSend(app, cli);
    addDb(app, cli);
    addListen(app, cli);
    addCamera(app, cli);
    addCanvas(app, cli);
    addOthers(app, cli);
}

// Edit distance, for the nearest verb to a misspelt one.
size_t distance(const std::string &a, const std::string &b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j)
            diagonal = std::exchange(
                row[j], std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])}));
    }
    return row[b.size()];
}

// The verb is the first word that is no option (the common options take no
// value). CLI11 alone would say only that a verb is required.
bool unknownVerb(CLI::App &app, int argc, char **argv)
{
    auto word = std::find_if(argv + 1, argv + argc, [](const char *a) { return a[0] != '-'; });
    if (word == argv + argc)
        return false;
    std::string nearest;
    size_t best = 3; // farther is no suggestion
    for (const CLI::App *verb : app.get_subcommands([](const CLI::App *) { return true; })) {
        if (verb->get_name() == *word)
            return false;
        if (size_t d = distance(*word, verb->get_name()); d < best)
            best = d, nearest = verb->get_name();
    }
    fprintf(stderr, "kxctl: unknown verb \"%s\"%s (kxctl --help lists them)\n", *word,
            nearest.empty() ? "" : ("; did you mean \"" + nearest + "\"?").c_str());
    return true;
}

int run(const Cli &cli)
{
    try {
        return cli.run(makeOutputOptions(cli.json, cli.verbose));
    } catch (const Failure &f) {
        fprintf(stderr, "kxctl: %s\n", f.what());
        return f.status;
    } catch (const OutputClosed &) {
        return kExitOk;
    } catch (const std::exception &e) {
        fprintf(stderr, "kxctl: %s\n", e.what());
        return kExitFailure;
    }
}

} // namespace

} // namespace kxctl

int main(int argc, char **argv)
{
    using namespace kxctl;
    // The library logs for the daemon; kxctl reports its own errors.
    g_debug_level = 0;
    ignoreBrokenPipe();
    CLI::App app{"kxctl: talk to the kxRedIro daemon through its mailboxes and endpoints", "kxctl"};
    Cli cli;
    define(app, cli);
    if (unknownVerb(app, argc, argv))
        return kExitUsage;
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    return run(cli);
}
