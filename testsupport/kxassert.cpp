// Apart from kxtest.cpp: it needs the library's debug word, which not every
// test program links.
#include "kxtest.h"

#include "kxLog.h"

#include <gtest/gtest.h>
#include <regex>

namespace kxtest {

void expectAssertion(const std::function<void()> &body, const std::string &file,
                     const std::string &function, const std::string &condition)
{
    ChildResult r = runChild([&] {
        g_debug_level |= KX_DBG_STDOUT;
        body();
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exitCode, 255);
    std::regex report("\x1b\\[31mASSERT:" + file + "/" + function + ":[0-9]+:" + condition +
                      "\n\x1b\\[0m");
    EXPECT_TRUE(std::regex_search(r.out, report)) << r.out;
}

} // namespace kxtest
