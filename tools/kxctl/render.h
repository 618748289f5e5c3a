// The decoded text form of a message, and its JSON form.
#pragma once

#include "meaning.h"
#include "output.h"
#include "tlvmsg.h"

#include <nlohmann/json.hpp>
#include <string>

namespace kxctl {

std::string renderText(const Message &message, const Meaning &meaning, const Origin &origin,
                       const OutputOptions &options, WallClock::time_point when);

// Only the picture, when the message carries one.
std::string renderPicture(const Meaning &meaning);

nlohmann::ordered_json renderJson(const Message &message, const Meaning &meaning,
                                  const Origin &origin, bool verbose, WallClock::time_point when);

} // namespace kxctl
