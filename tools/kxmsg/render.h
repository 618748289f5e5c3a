// The decoded text form of a message, for people: a heading, the elements,
// what the payload means, the canvas as a picture, and a dump of the bytes
// when asked for or when the message is malformed.
#pragma once

#include "clock.h"
#include "meaning.h"
#include "message.h"

#include <string>

namespace kxmsg {

struct RenderOptions {
    bool json = false;
    bool verbose = false; // add a hex dump (text) or the raw bytes (JSON)
    bool colour = false;
};

// What a message read by call is to the call: its answer, or something
// else that arrived meanwhile (the camera's own commands, leftovers).
enum class Role { none, answer, meanwhile };

// Where a message was seen: a mailbox, an endpoint, a trace label or
// "stdin"; outgoing for what the reader itself sent.
struct Origin {
    std::string channel;
    bool outgoing = false;
    bool stamped = true; // show the time (not for decoded input)
    Role role = Role::none;
};

std::string renderText(const Message &message, const Meaning &meaning, const Origin &origin,
                       const RenderOptions &options, WallClock::time_point when);

// Only the picture, when the message carries one.
std::string renderPicture(const Meaning &meaning);

// The rows below a heading: the elements, their meaning, the picture, the
// dump. For a heading of another kind (a trace's, with the log's time).
std::string renderBody(const Message &message, const Meaning &meaning,
                       const RenderOptions &options);

// A text wrapped in an SGR colour code when colour is on.
std::string paint(bool colour, const char *code, const std::string &text);

} // namespace kxmsg
