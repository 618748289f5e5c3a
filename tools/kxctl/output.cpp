#include "output.h"

#include "render.h"
#include "status.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace kxctl {

double epochSeconds(WallClock::time_point when)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch());
    return static_cast<double>(us.count()) / 1e6;
}

bool onClock(double seconds)
{
    return std::abs(seconds) < 9e9;
}

OutputOptions makeOutputOptions(bool json, bool verbose)
{
    const char *noColour = getenv("NO_COLOR");
    bool colour = !json && isatty(STDOUT_FILENO) && (noColour == nullptr || *noColour == '\0');
    return {json, verbose, colour};
}

void printMessage(const OutputOptions &options, const Bytes &raw, const Origin &origin,
                  bool pictureOnly)
{
    auto when = WallClock::now();
    Message message = parseMessage(raw);
    Meaning meaning = interpret(message);
    if (options.json) {
        printLine(renderJson(message, meaning, origin, options.verbose, when)
                      .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    } else if (pictureOnly && meaning.canvas && !options.verbose) {
        fputs(renderPicture(meaning).c_str(), stdout);
    } else {
        fputs(renderText(message, meaning, origin, options, when).c_str(), stdout);
    }
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
