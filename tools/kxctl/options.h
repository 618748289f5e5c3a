// Options that several verbs share: how a command is addressed, and
// durations in seconds.
#pragma once

#include "bytes.h"

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace kxctl {

// Where a command goes and how it is addressed.
struct SendOptions {
    std::string mailbox = "/to_camera";
    std::string source; // the mailbox itself when empty
    std::string destination = "/to_kxnet";
    int type = 10;
    bool force = false; // send what the daemon would refuse or not read
};

// A command's code and its arguments, as the command line gives them.
struct CommandWords {
    std::string code;
    std::vector<std::string> args; // hex bytes or words
    std::string hex;               // --hex
    std::string text;              // --string
    bool given() const { return !args.empty() || !hex.empty() || !text.empty(); }
};

// CODE, ARG..., --hex and --string.
void addCommandArguments(CLI::App *verb, CommandWords &words);

// The argument bytes; throws Failure (usage) when they are given two ways
// or are not what they claim.
kxmsg::Bytes commandArguments(const CommandWords &words);

// -m, --force, --source, --destination and --type.
void addAddressing(CLI::App *verb, SendOptions &send);

// Seconds to wait, from least (exclusive when 0 is not allowed) to a day.
CLI::Validator seconds(bool zeroAllowed);

} // namespace kxctl
