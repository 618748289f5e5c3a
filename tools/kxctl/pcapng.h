// Captures in pcapng, which Wireshark and tshark open: one packet per
// message, one interface per channel (a trace label such as ">RT", or an
// endpoint such as "wifibt"), the direction in each packet's flags, link
// type USER0, which tools/wireshark/kxmsg.lua dissects.
#pragma once

#include "logread.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kxctl {

enum class Way { unknown = 0, inbound = 1, outbound = 2 };

struct PcapWriter {
    FILE *file = nullptr;
    std::vector<std::string> channels; // interface ids in order

    PcapWriter() = default;
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;
    ~PcapWriter();
};

// Creates the file and writes its section header; throws Failure.
void pcapOpen(PcapWriter &w, const std::string &path);

// One packet; flushed, so that a capture being written can be read.
void pcapWrite(PcapWriter &w, const std::string &channel, const std::string &description,
               std::chrono::system_clock::time_point when, const Bytes &data, Way way);

// A message of the trace: ">RT" inbound, "<RT" outbound (as the daemon
// sees them). A cut message is stored as its head with the message's
// full length, and its further parts in packet comments.
void pcapWriteTraced(PcapWriter &w, const Traced &t);

bool isPcapng(const Bytes &start);

// The packets of a capture as messages; throws Failure when it is not one.
std::vector<Traced> readPcapng(const Bytes &file);

} // namespace kxctl
