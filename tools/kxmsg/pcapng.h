// Captures in pcapng, which Wireshark and tshark open: one packet per
// message, one interface per channel (a trace label such as ">RT", or an
// endpoint such as "wifibt"), the direction in each packet's flags, link
// type USER0, which tools/wireshark/kxmsg.lua dissects.
#pragma once

#include "stream.h"
#include "traced.h"

#include <cstdio>
#include <string>
#include <vector>

namespace kxmsg {

struct PcapWriter {
    FILE *file = nullptr;
    std::vector<std::string> channels; // interface ids in order

    PcapWriter() = default;
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;
    ~PcapWriter();
};

// Creates the file and writes its section header; Error when it cannot.
void pcapOpen(PcapWriter &w, const std::string &path);

// One packet; flushed, so that a capture being written can be read.
void pcapWrite(PcapWriter &w, const std::string &channel, const std::string &description,
               WallClock::time_point when, const Bytes &data, Way way);

// A message of the trace: ">RT" inbound, "<RT" outbound (as the daemon
// sees them). A cut message is stored as its head with the message's
// full length, and its further parts in packet comments.
void pcapWriteTraced(PcapWriter &w, const Traced &t);

// Whether the first bytes of an input are a capture's.
bool isPcapng(const uint8_t *start, size_t size);

// A capture read block by block: what it holds is one block, whatever the
// capture's size.
struct PcapReader {
    Stream &in;
    Bytes block; // the body of the block at hand
    bool swap = false;
    std::vector<std::string> names; // the section's interfaces
    long blocks = 0, packets = 0;
};

// The longest block read: a packet of the longest message with every byte
// of it again in a note, and room to spare.
inline constexpr size_t kLargestBlock = 1 << 20;
// No capture of ours has more than a few channels.
inline constexpr size_t kMostInterfaces = 4096;

// The next packet as a message; false at the end of the capture. A block
// or packet that breaks the format ends the read with Error, which names
// its number.
bool pcapNext(PcapReader &r, Traced &t);

} // namespace kxmsg
