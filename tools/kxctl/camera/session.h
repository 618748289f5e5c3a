// The running camera side of kxctl camera: its endpoints, what it will
// send and when, and what it has done (the latest 100,000 entries). One
// poll loop serves the endpoints, the control socket and the timers, so
// that a delayed answer holds up nothing else.
#pragma once

#include "journal.h"
#include "output.h"
#include "pcapng.h"
#include "replay.h"
#include "rules.h"
#include "scenario.h"

#include "kxipc.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace kxctl {

enum class CameraAnswer { simulate, echo, silent };

struct CameraSetup {
    CameraAnswer answer = CameraAnswer::simulate;
    bool log = false;         // the simulated camera's own log lines on standard output
    std::string pcap;         // also write what passes to this capture file
    std::string journal;      // also write the journal here, a JSON line an entry
    std::string scenarioFile; // --scenario
    std::string replayFile;   // --replay
    double speed = 1;         // recorded gaps divided by this; 0: none
};

struct Endpoint {
    const char *name = nullptr;
    kxIpcHdl hdl{};
    bool open = false;
};

// Something to do at a time: a message to send, a camera command to make
// then (LC carries the canvas of that moment), or the endpoints to bind
// again after a reboot.
struct Timer {
    enum class Kind { message, command, down, up } kind = Kind::message;
    long dueMs = 0;
    uint64_t order = 0; // equal times keep the order they were planned in
    size_t endpoint = 0;
    Bytes message;
    kxcam::CameraCommand command;
    long ms = 0;           // how long down lasts
    bool timeline = false; // planned from a scenario's timeline
};

using SteadyClock = std::chrono::steady_clock;

struct Session {
    OutputOptions out;
    CameraSetup setup;
    std::array<Endpoint, KXIPC_ENDPOINTS> endpoints;
    SteadyClock::time_point started = SteadyClock::now();
    std::vector<Timer> timers;
    uint64_t planned = 0;
    kxcam::Scenario scenario;
    kxcam::RuleCounts counts;
    kxcam::Replay replay;
    bool replaying = false;
    std::vector<kxcam::JournalEntry> journal;
    FILE *journalFile = nullptr;
    PcapWriter pcap;
    int control = -1; // the listening control socket
    long upAtMs = 0;  // when the endpoints are bound again after going down
    // The simulated camera's own commands while it answers one: they go out
    // with the answer, not at once.
    std::vector<Bytes> *collected = nullptr;
    // An exception of ours must not unwind through the daemon's handlers,
    // which are built without exceptions: it waits here until they return.
    std::exception_ptr deferred;

    Session(const OutputOptions &o, const CameraSetup &c);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();
};

// Milliseconds since the camera started.
long nowMs(const Session &s);

void note(const char *where, const std::string &text);

// Plans a message or a command at a time (ms since the start).
void planMessage(Session &s, long dueMs, size_t endpoint, Bytes message);
void planCommand(Session &s, long dueMs, size_t endpoint, const kxcam::CameraCommand &command);

// Every endpoint unbound now, bound again ms later.
void goDown(Session &s, long ms);

// The bytes of a camera command made now.
Bytes cameraCommand(const kxcam::CameraCommand &command);

// Answers (or not) a command that arrived on the endpoint, by the rules,
// the replay, the simulated camera or the default, and journals it.
void answerCommand(Session &s, size_t endpoint, const Bytes &raw);

// Plans the scenario's timeline from fromMs on, in place of what is left
// of an earlier one.
void planTimeline(Session &s, long fromMs);

// A journal entry for the command, received now on the endpoint.
kxcam::JournalEntry entryFor(const Session &s, size_t endpoint, const Bytes &raw);

// Keeps the entry, and writes it to the journal file as it happens.
void journal(Session &s, kxcam::JournalEntry entry);

// Replaces the scenario; its rules count from 0 again.
void useScenario(Session &s, kxcam::Scenario scenario);

} // namespace kxctl
