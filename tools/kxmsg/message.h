// TLV messages as kxctl sees them: built and edited with the library's own
// operations, taken apart element by element for display.
#pragma once

#include "bytes.h"

#include <string>
#include <vector>

namespace kxmsg {

// One element as found on the walk. value holds the bytes that are really
// there, which in a malformed message can be fewer than length says.
struct Element {
    uint8_t type = 0;
    size_t offset = 0;
    size_t length = 0;
    Bytes value;
};

struct Message {
    Bytes raw;
    int check = -1;   // tlv_validate's verdict, 0 for well-formed
    int length = 0;   // the total length the header declares
    uint8_t type = 0; // message type
    std::vector<Element> elements;

    const Element *find(uint8_t elementType) const;
    bool isResponse() const;
};

Message parseMessage(const Bytes &raw);

// tlv_validate's verdict on the bytes, without taking them apart.
int messageCheck(const Bytes &raw);

// What a command is made of.
struct CommandSpec {
    std::string code;
    Bytes args;
    std::string source;
    std::string destination;
    uint8_t type = 0;
};

// The command in the layout of every command: code, arguments, source,
// destination, end. Error when it does not fit a message.
Bytes buildCommand(const CommandSpec &command);

// The response to a well-formed command, as the camera makes it: message
// type + 1, source and destination exchanged, the payload appended as the
// response element. Empty when it does not fit a message.
Bytes makeResponse(const Bytes &command, const Bytes &payload);

// The value of an element as text when it is printable, else as hex.
std::string valueText(const Element *element);

// A readable name of an element type ("code", "arguments", ...).
std::string elementTypeName(uint8_t type);

// What tlv_validate's verdict means.
std::string checkText(int check);

} // namespace kxmsg
