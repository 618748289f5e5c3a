// A message as a recording shows it: the daemon's trace in a log, a line
// of kxctl's JSON output, a packet of a capture, plain hex. A dump that
// shows only the head and the tail of a long message (full-length dumps
// off) leaves a gap: raw then has the message's full length, zeros where
// the recording showed nothing, and shown says which byte ranges
// [from, to) are real.
#pragma once

#include "clock.h"
#include "json.h"
#include "message.h"
#include "render.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kxmsg {

// Which way a message went, as a capture of one endpoint records it:
// inbound to the side that captured, outbound from it.
enum class Way { unknown = 0, inbound = 1, outbound = 2 };

// What the message was read from: plain hex has neither time nor label
// and is shown as a message of its own.
enum class From { log, json, capture, hex };

struct Traced {
    std::string stamp; // the recording's own time text, empty when it has none
    std::optional<WallClock::time_point> when;
    std::string tag; // the dump's label or the channel: ">RT", "<RT", "ERROR", "wifibt"...
    Bytes raw;
    std::vector<std::pair<size_t, size_t>> shown;
    From from = From::log;
    Way way = Way::unknown; // a capture's packet direction

    bool cut() const
    {
        return shown.size() != 1 || shown[0].first != 0 || shown[0].second != raw.size();
    }
};

// The longest message a header can declare: its total is 16 bits.
inline constexpr size_t kLongestMessage = 0xFFFF;

// The message as far as the recording shows it. In a cut one the walk
// stops at the first element whose header lies in the gap, a value
// reaching into it keeps the bytes shown, and check is 0: what is not
// there is not judged.
Message tracedMessage(const Traced &t);

// With the recording's time and label in place of the reader's own; the
// JSON form carries the bytes ("hex", or "parts" of a cut message) so that
// it can be read back.
std::string tracedJsonLine(const Traced &t);
std::string tracedText(const Traced &t, const RenderOptions &options);

// The two trace labels that the daemon uses, and the error dump: the way
// the message went, for JSON ("to_camera") and for people.
struct Direction {
    const char *json;
    const char *text;
};
Direction directionOf(const std::string &tag);

} // namespace kxmsg
