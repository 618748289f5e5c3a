// main of every test program: enter the sandbox, then run the tests.
#include "kxtest.h"

#include <cstdio>
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    std::string err = kxtest::enterSandbox();
    if (!err.empty()) {
        fprintf(stderr, "cannot enter the test sandbox: %s\n", err.c_str());
        return 1;
    }
    return RUN_ALL_TESTS();
}
