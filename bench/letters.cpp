#include "letters.h"

#include <algorithm>
#include <cstdio>

namespace bench {
namespace {

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

}  // namespace

std::string MakeLetter(std::uint64_t seed, std::uint64_t number, std::string_view eol, bool terminated) {
    Random random(Mix(seed) ^ Mix(number + 1));
    const std::size_t size = LetterSize(random);
    std::string out;
    out.reserve(size + 128);
    LetterWriter letter(out, eol);
    AppendHeader(random, number, letter);
    AppendBody(random, out, size, letter);
    if (terminated) out += "\r\n.\r\n\r\n";
    return out;
}

LetterStream::LetterStream(std::uint64_t seed, std::string_view eol) : random_(Mix(seed) ^ Mix(0xB16)), eol_(eol) {}

void LetterStream::Next(std::string& out, std::size_t size) {
    LetterWriter letter(out, eol_);
    if (!header_done_) {
        AppendHeader(random_, 0, letter);
        header_done_ = true;
    }
    AppendBody(random_, out, size, letter);
}

}  // namespace bench
