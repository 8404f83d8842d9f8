// The failure messages by result code.
#include <gtest/gtest.h>

#include "run/failure.h"

TEST(FailureTest, MessageForEachResultCode) {
    const std::pair<int, const char*> cases[] = {
        {2, "File not found"},        {3, "Invalid filename"},   {4, "Too many open files"},
        {5, "File access denied"},    {100, "Read beyond end of file"}, {101, "Disk full"},
        {106, "Invalid numeric input"}, {32, "I/O error 32"},     {105, "I/O error 105"},
        {0, "I/O error 0"},           {-7, "I/O error -7"},      {1032, "I/O error 1032"},
    };
    for (const auto& [code, message] : cases) {
        char buffer[32];
        EXPECT_STREQ(InOutErrorMessage(code, buffer, sizeof buffer), message) << code;
    }
}
