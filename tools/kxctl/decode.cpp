// decode: TLV messages written as hex, from logs and bug reports. Accepted
// on standard input: plain hex (blanks, ':', ',' or '-' between bytes,
// "0x" prefixes allowed) and the daemon's own trace and error dump lines
// ("<tag> <address>  <4 groups of 8 hex digits>  <text>", with or without
// the log's time stamp). A blank line ends a message; within a block,
// messages are cut by the total length in their headers. Lines starting
// with '#' are comments.
#include "status.h"
#include "tlvmsg.h"
#include "verbs.h"

#include <iostream>
#include <regex>

namespace kxctl {

namespace {

// The hex columns of a daemon dump line: an 8-digit address, two blanks,
// four groups of eight (blank-padded at the end of the data), two blanks.
const std::regex kDumpLine(R"(([0-9a-fA-F]{8})  ((?:[0-9a-fA-F ]{8} ){3}[0-9a-fA-F ]{8})  )");

Bytes lineBytes(const std::string &line, int number)
{
    std::smatch m;
    std::string hex = std::regex_search(line, m, kDumpLine) ? m[2].str() : line;
    try {
        return parseHexText(hex);
    } catch (const std::invalid_argument &e) {
        throw Failure(kExitFailure, "line " + std::to_string(number) + ": " + e.what());
    }
}

// The line's first visible character, or 0 for a blank line.
char firstVisible(const std::string &line)
{
    size_t at = line.find_first_not_of(" \t\r");
    return at == std::string::npos ? '\0' : line[at];
}

// The blocks of bytes between blank lines.
std::vector<Bytes> readBlocks(std::istream &in)
{
    std::vector<Bytes> blocks(1);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        char first = firstVisible(line);
        if (first == '\0' && !blocks.back().empty())
            blocks.emplace_back();
        if (first == '\0' || first == '#')
            continue;
        Bytes bytes = lineBytes(line, number);
        blocks.back().insert(blocks.back().end(), bytes.begin(), bytes.end());
    }
    if (blocks.back().empty())
        blocks.pop_back();
    return blocks;
}

// Cuts a block at the declared totals; what does not add up stays one
// (malformed) message.
std::vector<Bytes> cutMessages(const Bytes &block)
{
    std::vector<Bytes> messages;
    size_t at = 0;
    while (at < block.size()) {
        size_t rest = block.size() - at;
        size_t total = rest >= 2 ? (static_cast<size_t>(block[at]) << 8 | block[at + 1]) : rest;
        if (total < 4 || total > rest)
            total = rest;
        auto from = block.begin() + static_cast<long>(at);
        messages.emplace_back(from, from + static_cast<long>(total));
        at += total;
    }
    return messages;
}

} // namespace

int runDecode(const OutputOptions &out)
{
    std::vector<Bytes> blocks = readBlocks(std::cin);
    if (blocks.empty())
        throw Failure(kExitFailure, "no hex on standard input");
    int status = kExitOk;
    for (const Bytes &block : blocks) {
        for (const Bytes &message : cutMessages(block)) {
            printMessage(out, message, {"stdin", false, false});
            if (parseMessage(message).check != 0)
                status = kExitFailure;
        }
    }
    return status;
}

} // namespace kxctl
