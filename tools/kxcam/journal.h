// The camera's journal: every command it received, in order, what decided
// its answer and what was done. Kept by the running camera, handed to
// kxctl camera journal and written to --journal as one JSON line an entry,
// as it happens.
#pragma once

#include "bytes.h"
#include "json.h"

#include <optional>
#include <string>

namespace kxcam {

using kxmsg::Bytes;

enum class Action { answered, refused, delayed, dropped, malformed, ignored };

struct JournalEntry {
    std::string stamp; // the wall-clock time, as the daemon's log writes it
    long ms = 0;       // since the camera started
    std::string endpoint;
    std::string code;
    Bytes args;
    // "rule N" (1-based, file order), "default", "replay", "echo" or "silent".
    std::string decidedBy;
    Action action = Action::answered;
    long delayMs = 0;
    std::optional<Bytes> answer;
    std::string why; // for ignored: what is wrong with the command
};

const char *actionName(Action action);

// {"time":…,"ms":…,"endpoint":…,"code":…,"args":"hex","rule":2 or "default"…,
//  "action":…,"delay_ms":…,"answer":"hex" or null[,"why":…]}
kxmsg::Json journalJson(const JournalEntry &entry);

// One line for people, from an entry's JSON form (which is what a client
// of the control socket gets).
std::string journalText(const kxmsg::Json &entry);

} // namespace kxcam
