// The camera's real-time side of the daemon's three endpoints, so that
// relaying can be tried without a camera: it prints what arrives and
// answers each command as a scenario, a replay or the daemon's simulated
// camera says (with the daemon's own command table, handlers, mode byte
// and canvas), or echoes it, or stays silent.
//
// The camera's own commands: inside the daemon, the simulated camera mails
// "LC" (its redrawn canvas, after a response) and "SU" (before the
// response to "PW" 0) straight to "/to_kxnet". A camera on the far side of
// the endpoints cannot; it sends them to the daemon, which relays them to
// "/to_kxnet" like any answer. So does this one: the simulated camera's
// outbox (g_caOutbox) collects them, and they go out over the endpoint of
// the command being answered, in the order the simulator gives.
#include "side.h"

#include "control.h"
#include "steer.h"
#include "daemon/signals.h"
#include "failure.h"
#include "message.h"

#include "camCommand.h"
#include "kxLog.h"
#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kxctl {

namespace {

Session *g_session = nullptr;

constexpr size_t kMostJournalEntries = 100'000;

// The simulated camera's outbox for its own commands; see the top.
int collectOwnCommand(const uint8_t *msg, int len)
{
    if (g_session != nullptr && g_session->collected != nullptr)
        g_session->collected->emplace_back(msg, msg + len);
    return 0;
}

void capture(Session &s, const Endpoint &e, const Bytes &message, Way way)
{
    if (s.pcap.file != nullptr)
        pcapWrite(s.pcap, e.name, std::string("kxctl camera: the camera's side of ") + e.name,
                  WallClock::now(), message, way);
}

void deliver(Session &s, Endpoint &e, const Bytes &message)
{
    if (!e.open)
        return note(e.name, "down: a message not sent");
    int rc = kxIpcSend(&e.hdl, message.data(), static_cast<int>(message.size()));
    if (rc < 0)
        return note(e.name, std::string("cannot send: ") + strerror(-rc) + " (is kxRedIro running?)");
    printMessage(s.out, message, {e.name, true});
    capture(s, e, message, Way::outbound);
}

void bindEndpoints(Session &s)
{
    for (Endpoint &e : s.endpoints) {
        int rc = kxIpcRtInit(e.name, &e.hdl);
        if (rc < 0)
            throw Failure(kExitFailure, std::string(e.name) +
                                            ": cannot bind the camera's side: " + strerror(-rc));
        e.open = true;
    }
}

void unbindEndpoints(Session &s)
{
    for (Endpoint &e : s.endpoints)
        if (std::exchange(e.open, false))
            kxIpcClose(&e.hdl);
}

void plan(Session &s, Timer t)
{
    t.order = s.planned++;
    s.timers.push_back(std::move(t));
}

} // namespace

Session::Session(const OutputOptions &o, const CameraSetup &c) : out(o), setup(c)
{
    for (size_t i = 0; i < endpoints.size(); ++i)
        endpoints[i].name = kxIpcEndpointNames[i];
}

Session::~Session()
{
    unbindEndpoints(*this);
    controlClose(control);
    if (journalFile != nullptr)
        fclose(journalFile);
}

long nowMs(const Session &s)
{
    using std::chrono::duration_cast, std::chrono::milliseconds;
    return static_cast<long>(duration_cast<milliseconds>(SteadyClock::now() - s.started).count());
}

void note(const char *where, const std::string &text)
{
    fprintf(stderr, "kxctl camera: %s: %s\n", where, text.c_str());
}

void planMessage(Session &s, long dueMs, size_t endpoint, Bytes message)
{
    plan(s, {Timer::Kind::message, dueMs, 0, endpoint, std::move(message), {}, 0});
}

void planCommand(Session &s, long dueMs, size_t endpoint, const kxcam::CameraCommand &command)
{
    plan(s, {Timer::Kind::command, dueMs, 0, endpoint, {}, command, 0});
}

void goDown(Session &s, long ms)
{
    unbindEndpoints(s);
    note("endpoints", "down for " + std::to_string(ms) + " ms");
    s.upAtMs = std::max(s.upAtMs, nowMs(s) + ms);
    plan(s, {Timer::Kind::up, s.upAtMs, 0, 0, {}, {}, 0});
}

Bytes cameraCommand(const kxcam::CameraCommand &command)
{
    CommandSpec wanted;
    wanted.code = command.code;
    if (command.args)
        wanted.args = *command.args;
    else if (command.code == "LC")
        wanted.args.assign(g_canvas, g_canvas + KX_CANVAS_SIZE);
    // As the simulated camera addresses its own: the canvas as an answer
    // to the relay's mailbox, the rest to the network daemon's.
    wanted.source = command.code == "LC" ? KXMBOXtoRTOS : KXMBOXtoCAMERA;
    wanted.destination = KXMBOXtoKXNET;
    wanted.type = TLV_MSG_TYPE_CMD;
    return buildCommand(wanted);
}

void useScenario(Session &s, kxcam::Scenario scenario)
{
    s.scenario = std::move(scenario);
    s.counts = {};
}

void journal(Session &s, kxcam::JournalEntry entry)
{
    // A camera left running under a flood keeps its memory bounded: the
    // oldest tenth goes (the journal file keeps everything).
    if (s.journal.size() >= kMostJournalEntries)
        s.journal.erase(s.journal.begin(), s.journal.begin() + kMostJournalEntries / 10);
    if (s.journalFile != nullptr) {
        fprintf(s.journalFile, "%s\n", jsonLine(kxcam::journalJson(entry)).c_str());
        fflush(s.journalFile);
    }
    s.journal.push_back(std::move(entry));
}

namespace {

// Sets the session that the simulated camera's outbox reaches, for as long
// as the camera runs.
struct Current {
    explicit Current(Session &s)
    {
        g_session = &s;
        g_caOutbox = collectOwnCommand;
    }
    Current(const Current &) = delete;
    Current &operator=(const Current &) = delete;
    ~Current()
    {
        g_session = nullptr;
        g_caOutbox = nullptr;
    }
};

// A malformed message is not echoed: the daemon returns it as it came, and
// the two would pass it to and fro for ever.
void echo(Session &s, size_t endpoint, const Bytes &raw)
{
    kxcam::JournalEntry e = entryFor(s, endpoint, raw);
    e.decidedBy = "echo";
    e.answer = raw;
    if (int check = parseMessage(raw).check; check != 0) {
        e.action = kxcam::Action::ignored;
        e.answer.reset();
        e.why = "malformed (" + checkText(check) + "), not echoed";
        note(e.endpoint.c_str(), e.why);
    } else {
        planMessage(s, nowMs(s), endpoint, raw);
    }
    journal(s, std::move(e));
}

void silent(Session &s, size_t endpoint, const Bytes &raw)
{
    kxcam::JournalEntry e = entryFor(s, endpoint, raw);
    e.decidedBy = "silent";
    e.action = kxcam::Action::dropped;
    journal(s, std::move(e));
}

void serve(Session &s, size_t endpoint)
{
    Endpoint &e = s.endpoints[endpoint];
    Bytes message(KXIPC_MSG_MAX);
    int len = kxIpcReceive(&e.hdl, message.data());
    if (len <= 0)
        return note(e.name, std::string("receive failed: ") + strerror(errno));
    message.resize(static_cast<size_t>(len));
    printMessage(s.out, message, {e.name});
    capture(s, e, message, Way::inbound);
    if (s.setup.answer == CameraAnswer::echo)
        echo(s, endpoint, message);
    else if (s.setup.answer == CameraAnswer::simulate)
        answerCommand(s, endpoint, message);
    else
        silent(s, endpoint, message);
}

void fire(Session &s, const Timer &t)
{
    switch (t.kind) {
    case Timer::Kind::message: return deliver(s, s.endpoints[t.endpoint], t.message);
    case Timer::Kind::command:
        return deliver(s, s.endpoints[t.endpoint], cameraCommand(t.command));
    case Timer::Kind::down: return goDown(s, t.ms);
    case Timer::Kind::up:
        if (nowMs(s) < s.upAtMs || s.endpoints[0].open)
            return;
        bindEndpoints(s);
        return note("endpoints", "bound again");
    }
}

bool earlier(const Timer &a, const Timer &b)
{
    return a.dueMs != b.dueMs ? a.dueMs < b.dueMs : a.order < b.order;
}

void runDue(Session &s)
{
    for (;;) {
        auto next = std::min_element(s.timers.begin(), s.timers.end(), earlier);
        if (next == s.timers.end() || next->dueMs > nowMs(s))
            return;
        Timer t = std::move(*next);
        s.timers.erase(next);
        fire(s, t);
    }
}

// poll()'s wait: until the next timer, or for ever without one.
int waitMs(const Session &s)
{
    auto next = std::min_element(s.timers.begin(), s.timers.end(), earlier);
    if (next == s.timers.end())
        return -1;
    return static_cast<int>(std::clamp<long>(next->dueMs - nowMs(s), 0, 60'000));
}

// Waits for the endpoints, the control socket, the next timer and our
// output's reader going away; false when it is time to stop.
bool waitAndServe(Session &s)
{
    std::array<pollfd, KXIPC_ENDPOINTS + 2> fds{};
    for (size_t i = 0; i < s.endpoints.size(); ++i)
        fds[i] = {s.endpoints[i].open ? kxIpcGetFd(&s.endpoints[i].hdl) : -1, POLLIN, 0};
    pollfd &controlFd = fds[KXIPC_ENDPOINTS];
    controlFd = {s.control, POLLIN, 0};
    pollfd &output = fds.back();
    output = {fcntl(STDOUT_FILENO, F_GETFD) == -1 ? -1 : STDOUT_FILENO, 0, 0};
    if (poll(fds.data(), fds.size(), waitMs(s)) < 0)
        return errno == EINTR && !stopRequested();
    if (output.revents & (POLLERR | POLLHUP))
        throw OutputClosed{};
    for (size_t i = 0; i < s.endpoints.size(); ++i)
        if ((fds[i].revents & POLLIN) && s.endpoints[i].open)
            serve(s, i);
    if (controlFd.revents & POLLIN)
        controlServe(s.control, [&s](const std::string &r) { return control(s, r); });
    runDue(s);
    return !stopRequested();
}

} // namespace

void planTimeline(Session &s, long fromMs)
{
    std::erase_if(s.timers, [](const Timer &t) { return t.timeline; });
    for (const kxcam::TimedEvent &event : s.scenario.timeline) {
        Timer t{Timer::Kind::down, fromMs + event.timeMs, 0, 0, {}, {}, event.downMs.value_or(0), true};
        if (event.send) {
            t.kind = Timer::Kind::command;
            t.command = *event.send;
        }
        plan(s, std::move(t));
    }
}

int runCameraSide(const OutputOptions &out, const CameraSetup &setup)
{
    if (setup.log && out.json)
        throw Failure(kExitUsage, "--log writes plain lines into the output; not with --json");
    Session session(out, setup);
    loadSetup(session);
    if (!setup.pcap.empty())
        pcapOpen(session.pcap, setup.pcap);
    // The control socket first: whoever sees the endpoints bound may steer
    // the camera at once.
    session.control = controlListen();
    bindEndpoints(session);
    fprintf(stderr, "kxctl camera: the camera's side of %s, %s and %s in %s\n",
            kxIpcEndpointNames[0], kxIpcEndpointNames[1], kxIpcEndpointNames[2], kxIpcDir());
    Current current(session);
    // The simulated camera's log lines (handlers, canvas) only when asked
    // for, and then on standard output.
    g_debug_level = setup.log ? KX_DBG_STDOUT | (KX_LOG_TRACE + 1) : 0;
    // Like the daemon at its start: the mode-0 target, not yet sent.
    DrawTarget(0);
    catchStopSignals();
    planTimeline(session, 0);
    while (waitAndServe(session)) {
    }
    if (session.replaying)
        fprintf(stderr, "kxctl camera: replay: %ld command(s) matched, %ld not matched\n",
                session.replay.matched, session.replay.unmatched);
    return kExitOk;
}

} // namespace kxctl
