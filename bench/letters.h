// The letters of the benchmark's spools, made in memory.
//
// Letter sizes follow the shape of real mail: a log-normal body around a
// median of 4 KiB, and one letter in a hundred between 100 KiB and 1 MiB.
// Each letter has header lines, an empty line and paragraphs of text; no
// line is a lone full stop, and no byte is CR, LF or Ctrl-Z except in the
// line breaks. The same seed and number always give the same bytes.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// splitmix64: turns a seed into well-mixed 64-bit values.
inline std::uint64_t Mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// xoshiro256**, spelled out so that the spool does not depend on the
// standard library's distributions, which differ between implementations.
class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (auto& word : s_) seed = word = Mix(seed);
    }
    std::uint64_t Next() {
        const std::uint64_t result = Rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = Rotl(s_[3], 45);
        return result;
    }
    // Uniform in [0, n).
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(((Next() >> 32) * n) >> 32); }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    // Standard normal (Box-Muller).
    double Normal() {
        const double u = 1.0 - Unit();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * Unit());
    }

private:
    static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};

// Letter `number` of the spool drawn from `seed`, every line ended by `eol`
// ("\r\n" or "\n"); a terminated letter ends with the terminator block
// (... CR LF, CR LF, ".", CR LF, CR LF), any other with its last line break.
std::string MakeLetter(std::uint64_t seed, std::uint64_t number, std::string_view eol, bool terminated);

// One letter too large to hold in memory, made piece by piece: header
// lines, an empty line, then paragraphs without end, never terminated.
class LetterStream {
public:
    LetterStream(std::uint64_t seed, std::string_view eol);
    // Appends whole lines to `out` until it holds at least `size` bytes.
    void Next(std::string& out, std::size_t size);

private:
    Random random_;
    std::string_view eol_;
    bool header_done_ = false;
};

}  // namespace bench
