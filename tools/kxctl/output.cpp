#include "output.h"

#include "json.h"
#include "failure.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kxctl {

OutputOptions makeOutputOptions(bool json, bool verbose)
{
    const char *noColour = getenv("NO_COLOR");
    bool colour = !json && isatty(STDOUT_FILENO) && (noColour == nullptr || *noColour == '\0');
    return {json, verbose, colour};
}

void printMessage(const OutputOptions &options, const Bytes &raw, const Origin &origin,
                  bool pictureOnly, Flush flush)
{
    auto when = WallClock::now();
    Message message = parseMessage(raw);
    Meaning meaning = interpret(message);
    if (options.json)
        printLine(messageJsonLine(message, meaning, origin, options.verbose, when));
    else if (pictureOnly && meaning.canvas && !options.verbose)
        fputs(renderPicture(meaning).c_str(), stdout);
    else
        fputs(renderText(message, meaning, origin, options, when).c_str(), stdout);
    if (flush == Flush::each)
        flushOutput();
}

void printTraced(const OutputOptions &options, const Traced &t, Flush flush)
{
    if (options.json)
        printLine(tracedJsonLine(t));
    else
        fputs(tracedText(t, options).c_str(), stdout);
    if (flush == Flush::each)
        flushOutput();
}

void printAssertion(const OutputOptions &options, const Assertion &a)
{
    if (options.json)
        printLine(jsonLine({{"kind", "assertion"},
                            {"time", a.when ? Json(epochSeconds(*a.when)) : Json(nullptr)},
                            {"line", a.line},
                            {"report", a.report}}));
    else
        printLine(paint(options.colour, "31", "ASSERT  " + escapeControls(a.line)));
    flushOutput();
}

void printLine(const std::string &line)
{
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
}

void flushOutput()
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return;
    if (errno == EPIPE)
        throw OutputClosed{};
    throw Failure(kExitFailure, std::string("standard output: ") + strerror(errno));
}

} // namespace kxctl
