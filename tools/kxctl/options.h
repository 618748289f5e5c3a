// Options that several verbs share: how a command is addressed, and its
// code and arguments.
#pragma once

#include "bytes.h"

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

// The argument bytes; throws Failure (usage) when they are given two ways
// or are not what they claim.
kxmsg::Bytes commandArguments(const CommandWords &words);

} // namespace kxctl
