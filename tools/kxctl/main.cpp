// kxctl: the developer's client for kxRedIro. It puts commands into the
// daemon's mailboxes and shows what comes back, listens on a mailbox, plays
// the camera's side of the IPC endpoints, decodes hex from logs, and makes
// a private sandbox to try it all in. See kxctl(1).
#include "daemon/signals.h"
#include "failure.h"
#include "commandline.h"

#include "kxLog.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>

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
    Runner run; // the chosen verb's
};

void define(CLI::App &app, Cli &cli)
{
    app.footer(kFooter);
    app.require_subcommand(1);
    // The common options may come before or after the verb.
    app.fallthrough();
    app.set_version_flag("--version", "kxctl " KX_VERSION);
    app.add_flag("--json", cli.json, "one JSON object per message per line");
    app.add_flag("-v,--verbose", cli.verbose, "add a hex dump of every message");
    defineVerbs(app, cli.run);
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
