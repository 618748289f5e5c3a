// camera: the camera's real-time side of the daemon's three endpoints, so
// that relaying can be tried without a camera. It prints what arrives and
// answers each command as the daemon's simulated camera would, with the
// daemon's own command table and handlers (and its own mode byte and
// canvas), or echoes it, or stays silent.
//
// The camera's own commands: inside the daemon, the simulated camera mails
// "LC" (its redrawn canvas, after a response) and "SU" (before the response
// to "PW" 0) straight to "/to_kxnet". A camera on the far side of the
// endpoints cannot do that; it sends them to the daemon, which relays them
// to "/to_kxnet" like any answer. So does this one: it points the
// simulated camera's outbox (g_caOutbox) at the endpoint of the command
// being answered, which keeps the order that the simulator gives ("SU"
// before the response, "LC" after it).
#include "daemon/mailbox.h"
#include "daemon/signals.h"
#include "failure.h"
#include "message.h"
#include "pcapng.h"
#include "verbs.h"

#include "camCommand.h"
#include "kxLog.h"
#include "kxRedIro.h"
#include "kxTlv.h"
#include "kxipc.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kxctl {

namespace {

enum class CameraAnswer { simulate, echo, silent };

struct CameraOptions {
    CameraAnswer answer = CameraAnswer::simulate;
    bool log = false; // the simulated camera's own log lines on standard output
    std::string pcap; // also write what passes to this capture file
};

struct Endpoint {
    const char *name;
    kxIpcHdl hdl{};
    bool open = false;
};

struct Session {
    OutputOptions out;
    CameraOptions options;
    std::array<Endpoint, KXIPC_ENDPOINTS> endpoints;
    Endpoint *current = nullptr; // the endpoint of the command being answered
    // An exception of ours must not unwind through the daemon's handlers,
    // which are built without exceptions: it waits here until they return.
    std::exception_ptr deferred;
    PcapWriter pcap; // --pcap

    Session(const OutputOptions &o, const CameraOptions &c) : out(o), options(c)
    {
        for (size_t i = 0; i < endpoints.size(); ++i)
            endpoints[i].name = kxIpcEndpointNames[i];
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session()
    {
        for (auto &e : endpoints)
            if (e.open)
                kxIpcClose(&e.hdl);
    }
};

Session *g_session = nullptr;

void note(const Endpoint &e, const std::string &text)
{
    fprintf(stderr, "kxctl camera: %s: %s\n", e.name, text.c_str());
}

// The camera side's own view: its time, the endpoint, in or out.
void capture(Session &s, const Endpoint &e, const Bytes &message, Way way)
{
    if (s.pcap.file != nullptr)
        pcapWrite(s.pcap, e.name, std::string("kxctl camera: the camera's side of ") + e.name,
                  WallClock::now(), message, way);
}

void deliver(Session &s, Endpoint &e, const Bytes &message)
{
    int rc = kxIpcSend(&e.hdl, message.data(), static_cast<int>(message.size()));
    if (rc < 0) {
        note(e, std::string("cannot send: ") + strerror(-rc) + " (is kxRedIro running?)");
        return;
    }
    printMessage(s.out, message, {e.name, true});
    capture(s, e, message, Way::outbound);
}

void rethrowDeferred(Session &s)
{
    if (std::exception_ptr e = std::exchange(s.deferred, nullptr))
        std::rethrow_exception(e);
}

// The simulated camera's outbox for its own commands; see the top of this
// file.
int sendOverCurrentEndpoint(const uint8_t *msg, int len)
{
    if (g_session == nullptr || g_session->current == nullptr)
        return 0;
    try {
        deliver(*g_session, *g_session->current, Bytes(msg, msg + len));
    } catch (...) {
        g_session->deferred = std::current_exception();
    }
    return 0;
}

// Why a message gets no answer from the simulated camera, or "".
std::string unanswerable(const Message &m)
{
    if (m.check != 0)
        return "malformed (" + checkText(m.check) + "), not answered";
    for (uint8_t type : {TLV_TYPE_CMD, TLV_TYPE_ARG, TLV_TYPE_SRC, TLV_TYPE_DST})
        if (m.find(type) == nullptr)
            return "no " + elementTypeName(type) + " element, not answered";
    return {};
}

// The code's first two bytes, as the command table looks them up.
int commandIndex(const Element &code)
{
    uint8_t key[2] = {};
    for (size_t i = 0; i < 2 && i < code.value.size(); ++i)
        key[i] = code.value[i];
    return CAcommandIndex(key);
}

void simulate(Session &s, Endpoint &e, const Bytes &raw)
{
    Message m = parseMessage(raw);
    if (std::string why = unanswerable(m); !why.empty())
        return note(e, why);
    int index = commandIndex(*m.find(TLV_TYPE_CMD));
    // "DB" rewrites the debug words of whoever runs it; it is the daemon's.
    if (index == KX_CA_DB)
        return note(e, "DB belongs to the daemon, not answered");
    const Bytes &arg = m.find(TLV_TYPE_ARG)->value;
    static const uint8_t none = 0;
    std::array<uint8_t, KXMSG_MAX> resp{};
    int n = CAdispatch(resp.data(), resp.size(), arg.empty() ? &none : arg.data(),
                       static_cast<unsigned>(arg.size()), index);
    rethrowDeferred(s);
    if (n < 0)
        return;
    Bytes response = makeResponse(raw, Bytes(resp.begin(), resp.begin() + n));
    if (response.empty())
        return note(e, "the response does not fit a message, not answered");
    deliver(s, e, response);
    CAsendPendingLC();
    rethrowDeferred(s);
}

// A malformed message is not echoed: the daemon returns it as it came, and
// the two would pass it to and fro for ever.
void echo(Session &s, Endpoint &e, const Bytes &raw)
{
    if (int check = parseMessage(raw).check; check != 0)
        return note(e, "malformed (" + checkText(check) + "), not echoed");
    deliver(s, e, raw);
}

void serve(Session &s, Endpoint &e)
{
    Bytes message(KXIPC_MSG_MAX);
    int len = kxIpcReceive(&e.hdl, message.data());
    if (len <= 0)
        return note(e, std::string("receive failed: ") + strerror(errno));
    message.resize(static_cast<size_t>(len));
    printMessage(s.out, message, {e.name});
    capture(s, e, message, Way::inbound);
    s.current = &e;
    if (s.options.answer == CameraAnswer::echo)
        echo(s, e, message);
    else if (s.options.answer == CameraAnswer::simulate)
        simulate(s, e, message);
    s.current = nullptr;
}

void openEndpoints(Session &s)
{
    for (auto &e : s.endpoints) {
        int rc = kxIpcRtInit(e.name, &e.hdl);
        if (rc < 0)
            throw Failure(kExitFailure, std::string(e.name) +
                                            ": cannot bind the camera's side: " + strerror(-rc));
        e.open = true;
    }
    fprintf(stderr, "kxctl camera: the camera's side of %s, %s and %s in %s\n",
            kxIpcEndpointNames[0], kxIpcEndpointNames[1], kxIpcEndpointNames[2], kxIpcDir());
}

// Waits for the endpoints (and for our output's reader going away); false
// when it is time to stop.
bool waitAndServe(Session &s)
{
    // One slot an endpoint, and our output last.
    std::array<pollfd, KXIPC_ENDPOINTS + 1> fds{};
    for (size_t i = 0; i < s.endpoints.size(); ++i)
        fds[i] = {kxIpcGetFd(&s.endpoints[i].hdl), POLLIN, 0};
    pollfd &output = fds.back();
    output = {fcntl(STDOUT_FILENO, F_GETFD) == -1 ? -1 : STDOUT_FILENO, 0, 0};
    if (poll(fds.data(), fds.size(), -1) < 0)
        return errno == EINTR && !stopRequested();
    if (output.revents & (POLLERR | POLLHUP))
        throw OutputClosed{};
    for (size_t i = 0; i < s.endpoints.size(); ++i)
        if (fds[i].revents & POLLIN)
            serve(s, s.endpoints[i]);
    return !stopRequested();
}

int runCamera(const OutputOptions &out, const CameraOptions &options)
{
    if (options.log && out.json)
        throw Failure(kExitUsage, "--log writes plain lines into the output; not with --json");
    Session session(out, options);
    if (!options.pcap.empty())
        pcapOpen(session.pcap, options.pcap);
    openEndpoints(session);
    g_session = &session;
    // The simulated camera's log lines (handlers, canvas) only when asked
    // for, and then on standard output.
    g_debug_level = options.log ? KX_DBG_STDOUT | (KX_LOG_TRACE + 1) : 0;
    g_caOutbox = sendOverCurrentEndpoint;
    // Like the daemon at its start: the mode-0 target, not yet sent.
    DrawTarget(0);
    catchStopSignals();
    while (waitAndServe(session)) {
    }
    g_session = nullptr;
    return kExitOk;
}

} // namespace

void defineCamera(CLI::App &app, Runner &chosen)
{
    auto o = std::make_shared<CameraOptions>();
    auto *verb =
        app.add_subcommand("camera", "play the camera's side of the daemon's IPC endpoints");
    auto *echo = verb->add_flag_callback(
        "--echo", [o] { o->answer = CameraAnswer::echo; }, "send every message back unchanged");
    auto *silent = verb->add_flag_callback(
        "--silent", [o] { o->answer = CameraAnswer::silent; }, "answer nothing");
    echo->excludes(silent);
    verb->add_flag("--log", o->log, "show the simulated camera's log lines");
    verb->add_option("--pcap", o->pcap, "also write every message to FILE (pcapng)");
    runs(verb, chosen, o, runCamera);
}

} // namespace kxctl
