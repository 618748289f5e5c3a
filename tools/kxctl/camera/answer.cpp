// What the camera answers a command, and what it sends around the answer:
// a scenario's rule decides first, then a replay, then the simulated
// camera (or the scenario's default). All of it is planned on the timers,
// so that a delayed answer holds up nothing.
#include "session.h"

#include "failure.h"
#include "meaning.h"
#include "message.h"

#include "camCommand.h"
#include "kxRedIro.h"
#include "kxTlv.h"

#include <algorithm>
#include <cmath>

namespace kxctl {

namespace {

using kxcam::Action;

// A message to send so long after the answer's own time.
struct Step {
    long ms = 0;
    Bytes message;
};

struct Plan {
    std::vector<Step> before;
    std::optional<Bytes> response;
    long responseMs = 0;
    std::vector<Step> after;
};

struct Command {
    Message message;
    std::string code;
    Bytes args;
};

// Why a message gets no answer from the camera, or "".
std::string unanswerable(const Message &m)
{
    if (m.check != 0)
        return "malformed (" + checkText(m.check) + "), not answered";
    for (uint8_t type : {TLV_TYPE_CMD, TLV_TYPE_ARG, TLV_TYPE_SRC, TLV_TYPE_DST})
        if (m.find(type) == nullptr)
            return "no " + elementTypeName(type) + " element, not answered";
    return {};
}

int commandIndex(const std::string &code)
{
    uint8_t key[2] = {};
    std::copy_n(code.begin(), std::min<size_t>(code.size(), 2), key);
    return CAcommandIndex(key);
}

void rethrowDeferred(Session &s)
{
    if (std::exception_ptr e = std::exchange(s.deferred, nullptr))
        std::rethrow_exception(e);
}

// The daemon's handler answers, with the daemon's table; its own commands
// (SU before, LC after) are collected, not sent.
Plan simulated(Session &s, const Command &c)
{
    Plan plan;
    static const uint8_t none = 0;
    std::array<uint8_t, KXMSG_MAX> resp{};
    std::vector<Bytes> collected;
    s.collected = &collected;
    int n = CAdispatch(resp.data(), resp.size(), c.args.empty() ? &none : c.args.data(),
                       static_cast<unsigned>(c.args.size()), commandIndex(c.code));
    for (Bytes &m : collected)
        plan.before.push_back({0, std::move(m)});
    collected.clear();
    if (n >= 0) {
        plan.response = makeResponse(c.message.raw, Bytes(resp.begin(), resp.begin() + n));
        CAsendPendingLC();
    }
    for (Bytes &m : collected)
        plan.after.push_back({0, std::move(m)});
    s.collected = nullptr;
    rethrowDeferred(s);
    return plan;
}

// The recorded response goes to this command's sender: as recorded when
// the recording's was the same, else its payload in a response of ours.
Bytes addressed(const Bytes &recorded, const Message &command)
{
    Message r = parseMessage(recorded);
    const Element *to = r.find(TLV_TYPE_DST), *from = command.find(TLV_TYPE_SRC);
    if (to != nullptr && from != nullptr && to->value == from->value)
        return recorded;
    const Element *payload = r.find(TLV_TYPE_RESP);
    return makeResponse(command.raw, payload != nullptr ? payload->value : Bytes{});
}

long scaled(const Session &s, long ms)
{
    if (s.setup.speed <= 0)
        return 0;
    return static_cast<long>(std::llround(static_cast<double>(ms) / s.setup.speed));
}

std::vector<Step> scaledSteps(const Session &s, const std::vector<kxcam::RecordedSend> &sends)
{
    std::vector<Step> steps;
    for (const auto &send : sends)
        steps.push_back({scaled(s, send.afterMs), send.message});
    return steps;
}

Plan replayed(const Session &s, const kxcam::Exchange &e, const Command &c)
{
    Plan plan{scaledSteps(s, e.before), std::nullopt, 0, scaledSteps(s, e.after)};
    if (e.response) {
        plan.response = addressed(e.response->message, c.message);
        plan.responseMs = scaled(s, e.response->afterMs);
    }
    return plan;
}

Plan answering(const Command &c, const Bytes &payload)
{
    Plan plan;
    plan.response = makeResponse(c.message.raw, payload);
    return plan;
}

// A camera with a firmware bug: the header claims four bytes more than
// the message carries.
Bytes malformedCopy(Bytes message)
{
    int total = std::min<int>(static_cast<int>(message.size()) + 4, 0xFFFF);
    message[0] = static_cast<uint8_t>(total >> 8);
    message[1] = static_cast<uint8_t>(total);
    return message;
}

} // namespace

namespace {

struct Decision {
    std::string decidedBy;
    const kxcam::Rule *rule = nullptr; // the deciding rule, if one did
    Plan plan;
};

// Without a status or payload of its own, a rule changes how the answer
// goes out, not what it says: the recording's, else the simulated camera's.
Plan recordedOrSimulated(Session &s, const Command &c)
{
    if (s.replaying)
        if (kxcam::Exchange *e = kxcam::replayFor(s.replay, c.code, c.args))
            return replayed(s, *e, c);
    return simulated(s, c);
}

Plan byRule(Session &s, const kxcam::Rule &r, const Command &c)
{
    if (r.drop)
        return {};
    if (r.status)
        return answering(c, {*r.status});
    if (r.payload)
        return answering(c, *r.payload);
    return recordedOrSimulated(s, c);
}

Plan byDefault(Session &s, const Command &c)
{
    switch (s.scenario.fallback) {
    case kxcam::Fallback::refuse: return answering(c, {KX_CA_REFUSED});
    case kxcam::Fallback::drop: return {};
    case kxcam::Fallback::simulate: break;
    }
    return simulated(s, c);
}

Decision decide(Session &s, const Command &c)
{
    if (auto index = kxcam::decidingRule(s.scenario, s.counts, c.code, c.args)) {
        const kxcam::Rule &rule = s.scenario.rules[*index];
        return {"rule " + std::to_string(*index + 1), &rule, byRule(s, rule, c)};
    }
    if (s.replaying)
        if (kxcam::Exchange *e = kxcam::replayFor(s.replay, c.code, c.args))
            return {"replay", nullptr, replayed(s, *e, c)};
    return {"default", nullptr, byDefault(s, c)};
}

long lastMs(const Plan &plan)
{
    long last = plan.responseMs;
    for (const Step &step : plan.after)
        last = std::max(last, step.ms);
    return last;
}

void schedule(Session &s, size_t endpoint, const Decision &d, const std::optional<Bytes> &answer)
{
    long at = nowMs(s) + (d.rule != nullptr ? d.rule->delayMs : 0);
    if (d.rule != nullptr)
        for (const kxcam::CameraCommand &command : d.rule->before)
            planCommand(s, at, endpoint, command);
    for (const Step &step : d.plan.before)
        planMessage(s, at + step.ms, endpoint, step.message);
    if (answer)
        planMessage(s, at + d.plan.responseMs, endpoint, *answer);
    for (const Step &step : d.plan.after)
        planMessage(s, at + step.ms, endpoint, step.message);
    if (d.rule != nullptr)
        for (const kxcam::CameraCommand &command : d.rule->after)
            planCommand(s, at + lastMs(d.plan), endpoint, command);
}

Action actionOf(const Decision &d, const std::optional<Bytes> &answer)
{
    if (!answer)
        return Action::dropped;
    if (d.rule != nullptr && d.rule->malformed)
        return Action::malformed;
    if (d.rule != nullptr && d.rule->delayMs > 0)
        return Action::delayed;
    return verdictOf(parseMessage(*answer)) == Verdict::refused ? Action::refused
                                                                : Action::answered;
}

kxcam::JournalEntry entryOf(const Session &s, size_t endpoint, const Command &c)
{
    kxcam::JournalEntry e;
    e.stamp = logStamp(WallClock::now());
    e.ms = nowMs(s);
    e.endpoint = s.endpoints[endpoint].name;
    e.code = c.code;
    e.args = c.args;
    return e;
}

Command commandOf(const Bytes &raw)
{
    Command c{parseMessage(raw), {}, {}};
    if (const Element *code = c.message.find(TLV_TYPE_CMD))
        c.code = kxcam::commandCode(code->value);
    if (const Element *args = c.message.find(TLV_TYPE_ARG))
        c.args = args->value;
    return c;
}

void ignore(Session &s, kxcam::JournalEntry &e, const std::string &why)
{
    note(e.endpoint.c_str(), why);
    e.action = Action::ignored;
    e.why = why;
    journal(s, std::move(e));
}

} // namespace

kxcam::JournalEntry entryFor(const Session &s, size_t endpoint, const Bytes &raw)
{
    return entryOf(s, endpoint, commandOf(raw));
}

void answerCommand(Session &s, size_t endpoint, const Bytes &raw)
{
    Command c = commandOf(raw);
    kxcam::JournalEntry e = entryOf(s, endpoint, c);
    if (std::string why = unanswerable(c.message); !why.empty())
        return ignore(s, e, why);
    // "DB" rewrites the debug words of whoever runs it; it is the daemon's.
    if (commandIndex(c.code) == KX_CA_DB)
        return ignore(s, e, "DB belongs to the daemon, not answered");
    Decision d = decide(s, c);
    std::optional<Bytes> answer = d.plan.response;
    if (answer && answer->empty())
        return ignore(s, e, "the response does not fit a message, not answered");
    if (answer && d.rule != nullptr && d.rule->malformed)
        answer = malformedCopy(*answer);
    schedule(s, endpoint, d, answer);
    e.decidedBy = d.decidedBy;
    e.action = actionOf(d, answer);
    e.delayMs = d.rule != nullptr ? d.rule->delayMs : 0;
    e.answer = answer;
    journal(s, std::move(e));
}

} // namespace kxctl
