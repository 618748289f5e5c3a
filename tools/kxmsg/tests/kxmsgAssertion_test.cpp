// The daemon's assertion reports found in the lines of its logs: the log
// file, the sandbox's syslog file, logread and journalctl, with or without
// their colour codes; and the lines that only look like one.
#include "assertion.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The report as the daemon formats it: "ASSERT:%s/%s:%d:%s" with the
// source path, function, line and condition.
const std::string kReport = "ASSERT:kxRedIro/src/kxRedIro/main:310:0 == tlv_validate(ibuf)";
const std::string kRed = "\033[31m", kReset = "\033[0m";

struct Row {
    std::string logged;
    std::string line;  // expected without colour codes; empty: no report
    std::string stamp; // expected stamp text
};

const std::vector<Row> kRows = {
    // The syslog file of kxctl sandbox: the reset went to the next line,
    // or stayed at the end.
    {"Dec  8 03:45:24 kxRedIro: " + kRed + kReport,
     "Dec  8 03:45:24 kxRedIro: " + kReport, "Dec  8 03:45:24"},
    {"Dec  8 03:45:24 kxRedIro: " + kRed + kReport + kReset + "\r",
     "Dec  8 03:45:24 kxRedIro: " + kReport, "Dec  8 03:45:24"},
    // The log file, also behind the reset of an earlier report.
    {"Dec08 03:45:24 " + kRed + kReport, "Dec08 03:45:24 " + kReport, "Dec08 03:45:24"},
    {kReset + "Dec08 03:45:24 \033[1;31m" + kReport, "Dec08 03:45:24 " + kReport,
     "Dec08 03:45:24"},
    // Colour codes gone already: the prefixes of journalctl and logread.
    {"Dec 08 03:45:24 camhost kxRedIro[812]: " + kReport,
     "Dec 08 03:45:24 camhost kxRedIro[812]: " + kReport, "Dec 08 03:45:24"},
    {"Mon Dec  8 03:45:24 2026 user.debug kxRedIro[812]: " + kReport,
     "Mon Dec  8 03:45:24 2026 user.debug kxRedIro[812]: " + kReport, "Dec  8 03:45:24 2026"},
    {kReport, kReport, ""},
    // Not a report: the reset alone, a dump line, a mention among other
    // text, and "ASSERT:" behind more than a syslog tag.
    {kReset, "", ""},
    {"Dec08 03:45:24         >RT 00000000  00 2d 00 0a 00 00 02 41  63 76 00 00 00 42 00 00  "
     ".-.....Acv...B..",
     "", ""},
    {"Dec08 03:45:24 [            main:  80] saw ASSERT: in a test", "", ""},
    {"Dec08 03:45:24 [ main: 80] note: " + kReport, "", ""},
    {"Dec  8 03:45:24 kxRedIro: the last run said " + kReport, "", ""},
};

TEST(KxmsgAssertion, ReportsAreFoundBehindAColourCodeOrALogPrefixOnly)
{
    for (const Row &row : kRows) {
        auto found = kxmsg::parseAssertion(row.logged);
        SCOPED_TRACE(kxmsg::withoutColour(row.logged));
        ASSERT_EQ(found.has_value(), !row.line.empty());
        if (!found)
            continue;
        EXPECT_EQ(found->line, row.line);
        EXPECT_EQ(found->report, kReport);
        EXPECT_EQ(found->stamp, row.stamp);
        EXPECT_EQ(found->when.has_value(), !row.stamp.empty());
    }
}

TEST(KxmsgAssertion, TheLastReportOfALogIsTheOneThatCounts)
{
    const std::string earlier = "ASSERT:kxRedIro/src/kxRedIro/main:249:kxMbox_rxopen() == 0";
    std::string log = "Dec08 03:40:00 " + kRed + earlier + "\n" + kReset +
                      "Dec08 03:45:20 [            main:  80] started\n" + "Dec08 03:45:24 " +
                      kRed + kReport + "\n" + kReset;
    auto last = kxmsg::lastAssertion(log);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->line, "Dec08 03:45:24 " + kReport);
    EXPECT_FALSE(kxmsg::lastAssertion("Dec08 03:45:20 [            main:  80] started\n"));
}

} // namespace
