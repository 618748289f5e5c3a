// Options that several verbs share: how a command is addressed, and
// durations in seconds.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace kxctl {

// Where a command goes and how it is addressed.
struct SendOptions {
    std::string mailbox = "/to_camera";
    std::string source; // the mailbox itself when empty
    std::string destination = "/to_kxnet";
    int type = 10;
    bool force = false; // send what the daemon would refuse or not read
};

// -m, --force, --source, --destination and --type.
void addAddressing(CLI::App *verb, SendOptions &send);

// Seconds to wait, from least (exclusive when 0 is not allowed) to a day.
CLI::Validator seconds(bool zeroAllowed);

} // namespace kxctl
