// The Windows platform's own tests (windows/platform_test.cpp), a Windows
// program of their own, run under Wine.
#include <gtest/gtest.h>

#include "wine/wine_program.h"

TEST(WinePlatformTest, WindowsPlatformTestsPass) {
    PrepareWinePrefix();
    RunOptions options;
    options.timeout_seconds = 120;
    const RunResult run = RunUnderWine(QELM_PLATFORM_TESTS, options);
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
}
