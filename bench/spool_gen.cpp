// spool-gen: writes a synthetic mail spool for the benchmark.
//
//   spool-gen --state STATE [--users N] [--letters M] [--seed S]
//             [--huge-size BYTES] OUTPUT_DIR
//
// Creates OUTPUT_DIR/Users/userNNNN/letterNNNNNN. The same arguments always
// give the same bytes: every letter is drawn from its own generator, seeded
// from the seed and the letter's number.
//
// Letter sizes follow the shape of real mail: a log-normal body around a
// median of 4 KiB, and one letter in a hundred between 100 KiB and 1 MiB.
// Each letter has header lines, an empty line and paragraphs of text; no
// line is a lone full stop, and no byte is CR, LF or Ctrl-Z except in the
// line breaks. STATE decides the ending and the line breaks:
//
//   terminated        CR LF breaks, ends with the terminator block
//                     (... CR LF, CR LF, ".", CR LF, CR LF)
//   needs-terminator  CR LF breaks, last line ended, no terminator block
//   lf                LF breaks, no terminator block: a full rewrite
//   huge              one letter of --huge-size bytes (default 1 GiB) with
//                     LF breaks and no terminator block, in user0000
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "spool-gen: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void Usage(const char* message) {
    std::fprintf(stderr,
                 "spool-gen: %s\n"
                 "usage: spool-gen --state terminated|needs-terminator|lf|huge [--users N]\n"
                 "                 [--letters M] [--seed S] [--huge-size BYTES] OUTPUT_DIR\n",
                 message);
    std::exit(2);
}

enum class State { Terminated, NeedsTerminator, Lf, Huge };

// splitmix64: turns a seed into well-mixed 64-bit values.
std::uint64_t Mix(std::uint64_t x) {
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

constexpr std::string_view kWords[] = {
    "the",      "of",       "and",      "to",       "in",       "a",        "is",       "that",
    "for",      "it",       "as",       "was",      "with",     "be",       "by",       "on",
    "not",      "he",       "this",     "are",      "or",       "his",      "from",     "at",
    "which",    "but",      "have",     "an",       "had",      "they",     "you",      "were",
    "meeting",  "report",   "schedule", "invoice",  "server",   "account",  "please",   "thanks",
    "attached", "review",   "quarter",  "delivery", "weekend",  "project",  "budget",   "office",
    "tomorrow", "customer", "question", "contract", "update",   "regards",  "minutes",  "agenda",
    "shipment", "payment",  "address",  "version",  "morning",  "colleague", "draft",   "figures",
};
constexpr std::string_view kNames[] = {"Anna",  "Boris", "Clara", "Dmitri", "Elena", "Felix",
                                       "Galina", "Hugo", "Irina", "Jonas",  "Kira",  "Lev"};
constexpr std::string_view kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

template <std::size_t N>
std::string_view Pick(Random& random, const std::string_view (&table)[N]) {
    return table[random.Below(N)];
}

// Size of a letter in bytes: median about 4 KiB; one in a hundred between
// 100 KiB and 1 MiB (log-uniform).
std::size_t LetterSize(Random& random) {
    if (random.Below(100) == 0) return static_cast<std::size_t>(102400.0 * std::pow(10.0, random.Unit()));
    const double size = 4096.0 * std::exp(0.75 * random.Normal());
    return static_cast<std::size_t>(std::clamp(size, 700.0, 102399.0));
}

// Appends text to a letter, with the chosen line break after each line.
class LetterWriter {
public:
    LetterWriter(std::string& out, std::string_view eol) : out_(out), eol_(eol) {}
    void Line(std::string_view text) {
        out_.append(text);
        out_.append(eol_);
    }

private:
    std::string& out_;
    std::string_view eol_;
};

void AppendHeader(Random& random, std::uint64_t number, LetterWriter& letter) {
    char line[256];
    // One draw per statement: the order in which arguments are evaluated is
    // not fixed, and the bytes must not depend on the compiler.
    unsigned draw[4];
    for (unsigned i = 0; i < 4; ++i) draw[i] = random.Below(i == 0 ? 9 : 256);
    std::snprintf(line, sizeof line, "Received: from mx%u.example.net ([10.%u.%u.%u]) by mail.example.org",
                  draw[0] + 1, draw[1], draw[2], draw[3]);
    letter.Line(line);
    const auto name = Pick(random, kNames);
    const auto mailbox = Pick(random, kNames);
    const auto mailbox_number = random.Below(1000);
    std::snprintf(line, sizeof line, "From: %.*s <%.*s.%u@example.net>", static_cast<int>(name.size()), name.data(),
                  static_cast<int>(mailbox.size()), mailbox.data(), mailbox_number);
    letter.Line(line);
    std::snprintf(line, sizeof line, "To: user%u@example.org", random.Below(10000));
    letter.Line(line);
    std::string subject = "Subject:";
    for (std::uint32_t i = 0, n = 2 + random.Below(6); i < n; ++i) (subject += ' ') += Pick(random, kWords);
    letter.Line(subject);
    const auto day = Pick(random, kDays);
    const auto month = Pick(random, kMonths);
    draw[0] = random.Below(28) + 1;
    draw[1] = random.Below(24);
    draw[2] = random.Below(60);
    draw[3] = random.Below(60);
    std::snprintf(line, sizeof line, "Date: %.*s, %u %.*s 2024 %02u:%02u:%02u +0000", static_cast<int>(day.size()),
                  day.data(), draw[0], static_cast<int>(month.size()), month.data(), draw[1], draw[2], draw[3]);
    letter.Line(line);
    std::snprintf(line, sizeof line, "Message-ID: <%016llx.%llu@example.net>",
                  static_cast<unsigned long long>(random.Next()), static_cast<unsigned long long>(number));
    letter.Line(line);
    letter.Line("MIME-Version: 1.0");
    letter.Line("Content-Type: text/plain; charset=us-ascii");
    letter.Line("");
}

// Appends body text until the letter holds about `size` bytes: paragraphs of
// 40 to 76 characters a line, separated by empty lines.
void AppendBody(Random& random, std::string& out, std::size_t size, LetterWriter& letter) {
    std::string line;
    std::uint32_t lines_left_in_paragraph = 2 + random.Below(8);
    while (out.size() < size) {
        const std::size_t width = 40 + random.Below(37);
        line.clear();
        while (line.size() < width) {
            if (!line.empty()) line += ' ';
            line += Pick(random, kWords);
        }
        if (random.Below(8) == 0) line += ',';
        letter.Line(line);
        if (--lines_left_in_paragraph == 0) {
            letter.Line("");
            lines_left_in_paragraph = 2 + random.Below(8);
        }
    }
}

void WriteAll(int fd, const std::string& data, const std::string& path) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Die("write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
}

void WriteFile(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Die("open " + path);
    WriteAll(fd, data, path);
    if (::close(fd) != 0) Die("close " + path);
}

void MakeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) Die("mkdir " + path);
}

std::string UserDirectory(const std::string& users, std::uint64_t user) {
    char name[32];
    std::snprintf(name, sizeof name, "/user%04llu", static_cast<unsigned long long>(user));
    return users + name;
}

// Letters number, number + step, ... below `letters`.
void WriteLetters(const std::string& users, State state, std::uint64_t user_count, std::uint64_t letters,
                  std::uint64_t seed, std::uint64_t first, std::uint64_t step) {
    std::string out;
    for (std::uint64_t number = first; number < letters; number += step) {
        Random random(Mix(seed) ^ Mix(number + 1));
        const std::size_t size = LetterSize(random);
        out.clear();
        LetterWriter letter(out, state == State::Lf ? "\n" : "\r\n");
        AppendHeader(random, number, letter);
        AppendBody(random, out, size, letter);
        if (state == State::Terminated) out += "\r\n.\r\n\r\n";
        char name[32];
        std::snprintf(name, sizeof name, "/letter%06llu", static_cast<unsigned long long>(number));
        WriteFile(UserDirectory(users, number % user_count) + name, out);
    }
}

// One letter of `size` bytes (to the line), written in pieces.
void WriteHugeLetter(const std::string& users, std::uint64_t seed, std::uint64_t size) {
    const std::string path = UserDirectory(users, 0) + "/huge-letter";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Die("open " + path);
    Random random(Mix(seed) ^ Mix(0xB16));
    std::string out;
    LetterWriter letter(out, "\n");
    AppendHeader(random, 0, letter);
    std::uint64_t written = 0;
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    while (written + out.size() < size) {
        const std::uint64_t left = size - written;
        AppendBody(random, out, static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, left)), letter);
        written += out.size();
        WriteAll(fd, out, path);
        out.clear();
    }
    WriteAll(fd, out, path);
    if (::close(fd) != 0) Die("close " + path);
}

std::uint64_t ParseNumber(const char* text, const char* option) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0') Usage((std::string("bad number for ") + option).c_str());
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    State state = State::Terminated;
    bool have_state = false;
    std::uint64_t users = 1000, letters = 100000, seed = 1, huge_size = std::uint64_t{1} << 30;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) Usage("missing value");
            return argv[++i];
        };
        if (arg == "--state") {
            const std::string_view name = value();
            have_state = true;
            if (name == "terminated") state = State::Terminated;
            else if (name == "needs-terminator") state = State::NeedsTerminator;
            else if (name == "lf") state = State::Lf;
            else if (name == "huge") state = State::Huge;
            else Usage("unknown state");
        } else if (arg == "--users") {
            users = ParseNumber(value(), "--users");
        } else if (arg == "--letters") {
            letters = ParseNumber(value(), "--letters");
        } else if (arg == "--seed") {
            seed = ParseNumber(value(), "--seed");
        } else if (arg == "--huge-size") {
            huge_size = ParseNumber(value(), "--huge-size");
        } else if (!arg.empty() && arg[0] != '-' && output.empty()) {
            output = arg;
        } else {
            Usage("unknown argument");
        }
    }
    if (!have_state || output.empty()) Usage("--state and OUTPUT_DIR are required");
    if (users == 0 || users > 9999) Usage("--users must be 1 to 9999");
    if (letters > 999999) Usage("--letters must be at most 999999");

    MakeDirectory(output);
    const std::string users_dir = output + "/Users";
    MakeDirectory(users_dir);
    if (state == State::Huge) {
        MakeDirectory(UserDirectory(users_dir, 0));
        WriteHugeLetter(users_dir, seed, huge_size);
        return 0;
    }
    for (std::uint64_t user = 0; user < users; ++user) MakeDirectory(UserDirectory(users_dir, user));
    // Two writers: the letters are independent, and the machine has two cores.
    std::thread second(WriteLetters, users_dir, state, users, letters, seed, 1, 2);
    WriteLetters(users_dir, state, users, letters, seed, 0, 2);
    second.join();
    return 0;
}
