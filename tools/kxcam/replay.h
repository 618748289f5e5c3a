// A recording of a real camera, played back: each command that arrives is
// answered with the response recorded for the same code and arguments,
// and the camera's own commands recorded around that response go out
// around the answer, with the recorded gaps.
//
// A recording is a capture (kxctl camera --pcap, kxctl monitor --pcap) or
// the daemon's log with the full-length trace: the messages to the camera
// side are commands, those from it are responses (the type and the code of
// the command before them) or the camera's own commands. Messages from it
// between a command and its response go before the answer, those after it
// and before the next command after the answer. A log stamps to the second,
// so two of its stamps a second apart may be a millisecond apart or two
// seconds: such a gap plays as the least the stamps allow, a second less,
// for a camera replayed late would reorder what it sends.
#pragma once

#include "bytes.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kxcam {

using kxmsg::Bytes;

// A message of the recording, and where it went.
struct Recorded {
    Bytes raw;
    bool toCamera = false;
    std::optional<double> seconds; // its time, when the recording has one
    bool wholeSeconds = false;     // a log's stamp: the time to the second only
};

// A message to send, so long after the command arrived.
struct RecordedSend {
    long afterMs = 0;
    Bytes message;
};

struct Exchange {
    std::string code; // the command's
    Bytes args;
    std::optional<RecordedSend> response;
    std::vector<RecordedSend> before; // the camera's own commands before the response
    std::vector<RecordedSend> after;  // and after it
    long used = 0;                    // how often it has answered
};

struct Replay {
    std::vector<Exchange> exchanges; // in recorded order
    long matched = 0;
    long unmatched = 0;
};

// Adds the recording's messages in order. Messages with no command before
// them, malformed ones and cut ones are passed over.
void addRecording(Replay &replay, const std::vector<Recorded> &recording);

// The exchange that answers the command: of those recorded for its code
// and arguments, the first not yet used, else the last one again. Counts
// the command as matched or unmatched.
Exchange *replayFor(Replay &replay, std::string_view code, const Bytes &args);

// The command's code as the table looks it up: its first two bytes.
std::string commandCode(const Bytes &codeValue);

} // namespace kxcam
