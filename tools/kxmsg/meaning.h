// What the payloads of the camera's commands and responses mean, for the
// codes whose layout is known: the status byte, the mode byte, the version
// strings, the canvas.
#pragma once

#include "message.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kxmsg {

enum class Verdict { none, accepted, refused };

struct Meaning {
    Verdict verdict = Verdict::none;
    std::vector<std::pair<std::string, std::string>> lines; // label, text
    std::optional<Bytes> canvas;                            // a picture to draw
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
};

// The status byte leads every response: 0x00 accepted, anything else
// refused; a response without payload has none.
Verdict verdictOf(const Message &message);

Meaning interpret(const Message &message);

std::string verdictText(Verdict verdict);

} // namespace kxmsg
