// Scenario files: the documented example read into its rules and timeline,
// files that must be refused (each with where and why), and which rule
// decides a command as nth, times and args say.
#include "rules.h"
#include "scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

using kxcam::Bytes;

kxcam::Scenario parsed(const std::string &text)
{
    kxcam::Scenario s;
    kxcam::ScenarioError e;
    EXPECT_TRUE(kxcam::parseScenario(text, "s.toml", s, e)) << e.message;
    return s;
}

const char kExample[] = R"(default = "refuse"

[[rule]]
code = "PW"
args = "00"
nth = 2
status = 1
delay_ms = 1500
before = [{ code = "SU", args = "01" }]
after = [{ code = "LC" }]

[[rule]]
code = "cv"
times = 3
payload = "00 07"
malformed = true

[[rule]]
code = "cm"
drop = true

[[at]]
time_ms = 8000
down_ms = 3000
[[at]]
time_ms = 5000
send = { code = "SU", args = "0x02" }
)";

TEST(KxcamScenario, ExampleReadsAsWritten)
{
    kxcam::Scenario s = parsed(kExample);
    EXPECT_EQ(s.fallback, kxcam::Fallback::refuse);
    ASSERT_EQ(s.rules.size(), 3u);
    const kxcam::Rule &pw = s.rules[0];
    EXPECT_EQ(pw.code, "PW");
    EXPECT_EQ(pw.args, Bytes{0x00});
    EXPECT_EQ(pw.nth, 2);
    EXPECT_EQ(pw.times, std::nullopt);
    EXPECT_EQ(pw.status, 1);
    EXPECT_EQ(pw.delayMs, 1500);
    ASSERT_EQ(pw.before.size(), 1u);
    EXPECT_EQ(pw.before[0].code, "SU");
    EXPECT_EQ(pw.before[0].args, Bytes{0x01});
    ASSERT_EQ(pw.after.size(), 1u);
    EXPECT_EQ(pw.after[0].args, std::nullopt) << "LC without args: the canvas";
    EXPECT_EQ(s.rules[1].payload, (Bytes{0x00, 0x07}));
    EXPECT_EQ(s.rules[1].args, std::nullopt) << "absent matches any";
    EXPECT_TRUE(s.rules[1].malformed);
    EXPECT_TRUE(s.rules[2].drop);
    ASSERT_EQ(s.timeline.size(), 2u);
    EXPECT_EQ(s.timeline[0].timeMs, 5000) << "in time order";
    EXPECT_EQ(s.timeline[0].send->args, Bytes{0x02});
    EXPECT_EQ(s.timeline[1].downMs, 3000);

    kxcam::Scenario start = parsed("[[at]]\ntime_ms = 0\nsend = { code = \"SU\", args = \"\" }\n");
    EXPECT_EQ(start.timeline.at(0).timeMs, 0) << "at the very start";
    EXPECT_EQ(start.timeline.at(0).send->args, Bytes{}) << "no argument bytes, not the canvas";

    kxcam::Scenario empty = parsed("");
    EXPECT_EQ(empty.fallback, kxcam::Fallback::simulate);
    EXPECT_TRUE(empty.rules.empty() && empty.timeline.empty());
}

struct Refused {
    const char *text;
    const char *message; // what the refusal must say, after "s.toml:"
};

const Refused kRefused[] = {
    {"[[rule]\ncode = \"PW\"\n", "1:8: "},
    {"default = \"simulate\"\ndefault = \"drop\"\n", "2:11: "},
    {"colour = 1\n", "1:1: colour: unknown key"},
    {"# caf\xc3\xa9\n[\xef\xbb\xbe]\n", "1:6: not ASCII"},
    {"default = \"answer\"\n", "1:11: default: expected \"simulate\", \"refuse\" or \"drop\""},
    {"[[rule]]\nargs = \"00\"\n", "rule 1: code: missing"},
    {"[[rule]]\ncode = \"PWR\"\n", "2:8: rule 1: code: expected two characters"},
    {"[[rule]]\ncode = \"P\"\n", "rule 1: code: expected two characters"},
    {"[[rule]]\ncode = 7\n", "rule 1: code: expected a string"},
    {"[[rule]]\ncode = \"PW\"\n[[rule]]\ncode = \"cv\"\nargs = \"0g\"\n",
     "5:8: rule 2: args: expected hex bytes"},
    {"[[rule]]\ncode = \"cv\"\nargs = \"123\"\n", "rule 1: args: expected hex bytes"},
    {"[[rule]]\ncode = \"cv\"\nnth = 2\ntimes = 3\n", "4:9: rule 1: times: does not go with nth"},
    {"[[rule]]\ncode = \"cv\"\ndrop = true\npayload = \"00\"\n", "payload: does not go with drop"},
    {"[[rule]]\ncode = \"cv\"\ndrop = true\nstatus = 1\n", "status: does not go with drop"},
    {"[[rule]]\ncode = \"cv\"\ndrop = true\nmalformed = true\n", "malformed: does not go with drop"},
    {"[[rule]]\ncode = \"cv\"\nstatus = 1\npayload = \"00\"\n", "payload: does not go with status"},
    {"[[rule]]\ncode = \"cv\"\nstatus = 256\n", "rule 1: status: expected a whole number from 0 to 255"},
    {"[[rule]]\ncode = \"cv\"\nnth = 0\n", "nth: expected a whole number from 1"},
    {"[[rule]]\ncode = \"cv\"\ndelay_ms = -1\n", "delay_ms: expected a whole number from 0 to 86400000"},
    {"[[rule]]\ncode = \"cv\"\ndelay_ms = 1.5\n", "delay_ms: expected a whole number"},
    {"[[rule]]\ncode = \"cv\"\ndrop = \"yes\"\n", "drop: expected true or false"},
    {"[[rule]]\ncode = \"cv\"\npayload = \"\"\n", "payload: expected 1 to 4096 bytes, not 0"},
    {"[[rule]]\ncode = \"cv\"\nbefore = { code = \"SU\" }\n", "before: expected a list of commands"},
    {"[[rule]]\ncode = \"cv\"\nafter = [{ code = \"SU\", arg = \"01\" }]\n",
     "rule 1: after 1: arg: unknown key"},
    {"[[rule]]\ncode = \"cv\"\nbefore = [{ args = \"01\" }]\n", "rule 1: before 1: code: missing"},
    {"rule = 3\n", "rule: expected [[rule]] tables"},
    {"rule = [3]\n", "rule 1: rule: expected a table"},
    {"[[at]]\nsend = { code = \"SU\" }\n", "at 1: time_ms: missing"},
    {"[[at]]\ntime_ms = 5\n", "at 1: send: missing"},
    {"[[at]]\ntime_ms = 5\ndown_ms = 10\nsend = { code = \"SU\" }\n",
     "at 1: down_ms: does not go with send"},
    {"[[at]]\ntime_ms = 86400001\ndown_ms = 1\n", "at 1: time_ms: expected a whole number"},
    {"[[at]]\ntime_ms = 5\ndown_ms = 0\n", "at 1: down_ms: expected a whole number from 1"},
};

TEST(KxcamScenario, BadFilesAreRefusedWithWhereAndWhy)
{
    for (const Refused &r : kRefused) {
        SCOPED_TRACE(r.text);
        kxcam::Scenario s;
        kxcam::ScenarioError e;
        EXPECT_FALSE(kxcam::parseScenario(r.text, "s.toml", s, e));
        EXPECT_EQ(e.message.rfind("s.toml:", 0), 0u) << e.message;
        EXPECT_NE(e.message.find(r.message), std::string::npos) << e.message;
    }
}

TEST(KxcamScenario, FilesThatCannotBeScenarios)
{
    kxcam::Scenario s;
    kxcam::ScenarioError e;
    EXPECT_FALSE(kxcam::loadScenario("/nonexistent/s.toml", s, e));
    EXPECT_EQ(e.message, "/nonexistent/s.toml: No such file or directory");

    const std::string big = testing::TempDir() + "big.toml";
    std::ofstream(big) << std::string((1 << 20) + 1, '#');
    EXPECT_FALSE(kxcam::loadScenario(big, s, e));
    EXPECT_NE(e.message.find("larger than 1 MiB"), std::string::npos) << e.message;
    std::remove(big.c_str());

    const std::string good = testing::TempDir() + "good.toml";
    std::ofstream(good) << "[[rule]]\ncode = \"cv\"\nstatus = 1\n";
    ASSERT_TRUE(kxcam::loadScenario(good, s, e)) << e.message;
    EXPECT_EQ(s.rules.at(0).status, 1);
    std::remove(good.c_str());
}

// Which rule (1-based, 0 for none) decides each of a run of commands.
struct Deciding {
    const char *name;
    const char *scenario;
    std::vector<std::pair<std::string, Bytes>> commands;
    std::vector<size_t> rules;
};

const Deciding kDeciding[] = {
    {"nth decides one and leaves the rest", "[[rule]]\ncode = \"cv\"\nnth = 2\n",
     {{"cv", {}}, {"cv", {}}, {"cv", {}}},
     {0, 1, 0}},
    {"times decides the first ones", "[[rule]]\ncode = \"cv\"\ntimes = 2\n",
     {{"cv", {}}, {"cv", {}}, {"cv", {}}},
     {1, 1, 0}},
    {"the code exactly", "[[rule]]\ncode = \"PW\"\n", {{"pw", {}}, {"PW", {0x01}}}, {0, 1}},
    {"args exactly; absent, any", "[[rule]]\ncode = \"PW\"\nargs = \"00\"\n[[rule]]\ncode = \"PW\"\n",
     {{"PW", {0x01}}, {"PW", {0x00}}, {"PW", {}}, {"PW", {0x00, 0x00}}},
     {2, 1, 2, 2}},
    {"file order; a later rule sees only what the earlier ones left",
     "[[rule]]\ncode = \"cv\"\ntimes = 1\n[[rule]]\ncode = \"cv\"\nnth = 2\n",
     {{"cv", {}}, {"cv", {}}, {"cv", {}}},
     {1, 0, 2}},
    {"a rule counts only what it matches", "[[rule]]\ncode = \"cv\"\nargs = \"01\"\nnth = 2\n",
     {{"cv", {0x01}}, {"cv", {0x02}}, {"cv", {0x01}}},
     {0, 0, 1}},
};

TEST(KxcamScenario, DecidingRuleCountsAsNthAndTimesSay)
{
    for (const Deciding &d : kDeciding) {
        SCOPED_TRACE(d.name);
        kxcam::Scenario s = parsed(d.scenario);
        kxcam::RuleCounts counts;
        std::vector<size_t> seen;
        for (const auto &[code, args] : d.commands) {
            auto rule = kxcam::decidingRule(s, counts, code, args);
            seen.push_back(rule ? *rule + 1 : 0);
        }
        EXPECT_EQ(seen, d.rules);
    }
}

} // namespace
