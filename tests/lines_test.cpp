// The line engine over bytes in memory, fed in blocks of several sizes so
// that every rule is also met across a block boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "line_cases.h"
#include "spool/corrector.h"
#include "spool/lines.h"

namespace {

constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();

LineScan Scan(const std::string& input, std::size_t block) {
    LineScan scan;
    for (std::size_t at = 0; at < input.size(); at += block)
        ScanLines(scan, input.data() + at, std::min(block, input.size() - at));
    FinishScan(scan);
    return scan;
}

void Append(void* output, const char* data, std::size_t size) {
    static_cast<std::string*>(output)->append(data, size);
}

std::string Rewrite(const LineScan& scan, const std::string& input, std::size_t block) {
    std::string output;
    const LineSink sink{&Append, &output};
    LineRewrite rewrite = StartRewrite(scan);
    for (std::size_t at = 0; at < input.size(); at += block)
        if (!RewriteLines(rewrite, input.data() + at, std::min(block, input.size() - at), sink)) break;
    FinishRewrite(rewrite, sink);
    return output;
}

TEST(LinesTest, EveryRuleAtEveryBlockSize) {
    for (const LineCase& c : LineCases()) {
        for (const std::size_t block : {std::size_t{1}, std::size_t{7}, kWhole}) {
            SCOPED_TRACE(c.name + ", blocks of " + (block == kWhole ? "the whole file" : std::to_string(block)));
            const LineScan scan = Scan(c.input, block);
            ASSERT_EQ(IsTerminated(scan), !c.output.has_value());
            if (!c.output) continue;
            const std::string output = Rewrite(scan, c.input, block);
            EXPECT_TRUE(SameBytes(output, *c.output));
            // What a rewrite leaves is terminated: the next run leaves it alone.
            EXPECT_TRUE(IsTerminated(Scan(output, block)));
        }
    }
}

}  // namespace
