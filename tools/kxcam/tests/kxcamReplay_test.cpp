// Replays: how a recording becomes exchanges (what goes before an answer,
// what after, at which gaps) and which exchange answers a command.
#include "replay.h"

#include "message.h"

#include "kxRedIro.h"

#include <gtest/gtest.h>

namespace {

using kxcam::Recorded;
using kxmsg::Bytes;

Bytes commandBytes(const std::string &code, const Bytes &args = {})
{
    return kxmsg::buildCommand({code, args, KXMBOXtoCAMERA, KXMBOXtoKXNET, 10});
}

Recorded toCamera(const std::string &code, double at, const Bytes &args = {})
{
    return {commandBytes(code, args), true, at};
}

Recorded answer(const std::string &code, double at, const Bytes &payload, const Bytes &args = {})
{
    return {kxmsg::makeResponse(commandBytes(code, args), payload), false, at};
}

Recorded fromCamera(const std::string &code, double at)
{
    return {commandBytes(code), false, at};
}

// "CODE | before | response | after", each message sent as CODE@ms after
// the command.
std::string shape(const kxcam::Exchange &e)
{
    auto codes = [](const std::vector<kxcam::RecordedSend> &sends) {
        std::string text;
        for (const auto &s : sends) {
            kxmsg::Message m = kxmsg::parseMessage(s.message);
            text += (text.empty() ? "" : ",") + kxcam::commandCode(m.find(0x41)->value) + "@" +
                    std::to_string(s.afterMs);
        }
        return text;
    };
    std::string response = e.response ? "@" + std::to_string(e.response->afterMs) : "none";
    return e.code + " | " + codes(e.before) + " | " + response + " | " + codes(e.after);
}

TEST(KxcamReplay, RecordingBecomesExchangesWithTheirGaps)
{
    Bytes malformed = commandBytes("cm");
    malformed[1] += 4; // the total claims more than there is
    const std::vector<Recorded> recording = {
        fromCamera("SU", 0.5),          // before any command: nothing to go with
        toCamera("CM", 1.000, {0x07}),  // its LC comes after the answer
        answer("CM", 1.010, {0x00, 0x07}, {0x07}),
        fromCamera("LC", 1.015),
        toCamera("PW", 2.000, {0x00}),  // its SU comes first
        fromCamera("SU", 2.002),
        answer("cv", 2.003, {0x00}),    // another command's answer is no answer to PW
        answer("PW", 2.004, {0x00}, {0x00}),
        {malformed, false, 2.005},      // passed over
        toCamera("DB", 3.000),          // never answered
    };
    kxcam::Replay replay;
    kxcam::addRecording(replay, recording);
    std::vector<std::string> shapes;
    for (const auto &e : replay.exchanges)
        shapes.push_back(shape(e));
    EXPECT_EQ(shapes, std::vector<std::string>({"CM |  | @10 | LC@15",
                                                "PW | SU@2,cv@3 | @4 | ", "DB |  | none | "}));
    EXPECT_EQ(replay.exchanges[1].args, Bytes({0x00}));
}

TEST(KxcamReplay, LogStampsGiveTheLeastGapTheyAllow)
{
    auto logged = [](Recorded r) {
        r.wholeSeconds = true;
        return r;
    };
    kxcam::Replay replay;
    kxcam::addRecording(replay, {logged(toCamera("CM", 100, {0x07})),
                                 logged(answer("CM", 101, {0x00}, {0x07})), // across a tick
                                 logged(fromCamera("LC", 103)),
                                 logged(toCamera("cv", 104)), logged(answer("cv", 104, {0x00}))});
    ASSERT_EQ(replay.exchanges.size(), 2u);
    EXPECT_EQ(shape(replay.exchanges[0]), "CM |  | @0 | LC@2000");
    EXPECT_EQ(shape(replay.exchanges[1]), "cv |  | @0 | ");
}

TEST(KxcamReplay, SameCommandAnswersInRecordedOrderThenTheLastAgain)
{
    kxcam::Replay replay;
    kxcam::addRecording(replay, {toCamera("cv", 0), answer("cv", 0, {0x00, 0x01}),
                                 toCamera("cv", 1), answer("cv", 1, {0x00, 0x02}),
                                 toCamera("CM", 2, {0x07}), answer("CM", 2, {0x00}, {0x07})});
    auto payloadOf = [&](kxcam::Exchange *e) {
        return e == nullptr ? -1 : kxmsg::parseMessage(e->response->message).find(0x45)->value[1];
    };
    EXPECT_EQ(payloadOf(kxcam::replayFor(replay, "cv", {})), 0x01);
    EXPECT_EQ(payloadOf(kxcam::replayFor(replay, "cv", {})), 0x02);
    EXPECT_EQ(payloadOf(kxcam::replayFor(replay, "cv", {})), 0x02) << "the last one repeats";
    EXPECT_EQ(kxcam::replayFor(replay, "CM", {0x03}), nullptr) << "other arguments";
    EXPECT_EQ(kxcam::replayFor(replay, "cm", {0x07}), nullptr) << "codes are exact";
    EXPECT_NE(kxcam::replayFor(replay, "CM", {0x07}), nullptr);
    EXPECT_EQ(replay.matched, 4);
    EXPECT_EQ(replay.unmatched, 2);
}

TEST(KxcamReplay, WithoutTimesEverythingGoesAtOnce)
{
    kxcam::Replay replay;
    kxcam::addRecording(replay, {{commandBytes("PW", {0x00}), true, std::nullopt},
                                 {commandBytes("SU"), false, std::nullopt},
                                 {kxmsg::makeResponse(commandBytes("PW", {0x00}), {0x00}), false,
                                  std::nullopt}});
    ASSERT_EQ(replay.exchanges.size(), 1u);
    EXPECT_EQ(shape(replay.exchanges[0]), "PW | SU@0 | @0 | ");
}

} // namespace
