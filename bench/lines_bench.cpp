// lines-bench: the line engine alone, over letters held in memory, in bytes
// of input per second. Terminated judges terminated letters (the work of a
// run over a corrected spool); NeedsTerminator and Lf judge and rewrite
// letters that lack the terminator block, with CR LF and with LF line
// breaks. The letters are those of the benchmark's spools (letters.h), 2000
// of them, about 20 MB.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "letters.h"
#include "spool/corrector.h"
#include "spool/lines.h"

namespace {

constexpr std::uint64_t kSeed = 20240601;
constexpr std::uint64_t kLetters = 2000;

std::vector<std::string> MakeLetters(std::string_view eol, bool terminated) {
    std::vector<std::string> letters;
    for (std::uint64_t number = 0; number < kLetters; ++number)
        letters.push_back(bench::MakeLetter(kSeed, number, eol, terminated));
    return letters;
}

std::int64_t TotalSize(const std::vector<std::string>& letters) {
    std::int64_t total = 0;
    for (const auto& letter : letters) total += static_cast<std::int64_t>(letter.size());
    return total;
}

// The rewritten bytes, kept in one buffer that is reused for every letter.
struct Output {
    std::vector<char> bytes;
    std::size_t used = 0;
};

void Append(void* context, const char* data, std::size_t size) {
    auto& out = *static_cast<Output*>(context);
    std::memcpy(out.bytes.data() + out.used, data, size);
    out.used += size;
}

LineScan Scan(const std::string& letter) {
    LineScan scan;
    ScanLines(scan, letter.data(), letter.size());
    FinishScan(scan);
    return scan;
}

void Terminated(benchmark::State& state) {
    static const auto letters = MakeLetters("\r\n", true);
    for (auto _ : state) {
        for (const auto& letter : letters) {
            const LineScan scan = Scan(letter);
            if (!IsTerminated(scan)) {
                state.SkipWithError("a terminated letter was judged not terminated");
                return;
            }
        }
    }
    state.SetBytesProcessed(state.iterations() * TotalSize(letters));
}

// Judges and rewrites every letter, as a correcting run does.
void Correct(benchmark::State& state, const std::vector<std::string>& letters) {
    std::size_t largest = 0;
    for (const auto& letter : letters) largest = std::max(largest, letter.size());
    Output out;
    out.bytes.resize(2 * largest + kTerminatorBlock.size());  // LF becomes CR LF at worst
    const LineSink sink{&Append, &out};
    for (auto _ : state) {
        for (const auto& letter : letters) {
            const LineScan scan = Scan(letter);
            if (IsTerminated(scan)) {
                state.SkipWithError("a letter without the terminator block was judged terminated");
                return;
            }
            out.used = 0;
            LineRewrite rewrite = StartRewrite(scan);
            RewriteLines(rewrite, letter.data(), letter.size(), sink);
            FinishRewrite(rewrite, sink);
            benchmark::DoNotOptimize(out.bytes.data());
        }
    }
    state.SetBytesProcessed(state.iterations() * TotalSize(letters));
}

void NeedsTerminator(benchmark::State& state) {
    static const auto letters = MakeLetters("\r\n", false);
    Correct(state, letters);
}

void Lf(benchmark::State& state) {
    static const auto letters = MakeLetters("\n", false);
    Correct(state, letters);
}

}  // namespace

BENCHMARK(Terminated)->Unit(benchmark::kMillisecond);
BENCHMARK(NeedsTerminator)->Unit(benchmark::kMillisecond);
BENCHMARK(Lf)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
