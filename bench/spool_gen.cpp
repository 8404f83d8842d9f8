// spool-gen: writes a synthetic mail spool for the benchmark.
//
//   spool-gen --state STATE [--users N] [--letters M] [--seed S]
//             [--huge-size BYTES] OUTPUT_DIR
//
// Creates OUTPUT_DIR/Users/userNNNN/letterNNNNNN. The same arguments always
// give the same bytes: every letter is drawn from its own generator, seeded
// from the seed and the letter's number.
//
// The letters are those of letters.h. STATE decides their ending and line
// breaks:
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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "letters.h"

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
    for (std::uint64_t number = first; number < letters; number += step) {
        const std::string letter =
            bench::MakeLetter(seed, number, state == State::Lf ? "\n" : "\r\n", state == State::Terminated);
        char name[32];
        std::snprintf(name, sizeof name, "/letter%06llu", static_cast<unsigned long long>(number));
        WriteFile(UserDirectory(users, number % user_count) + name, letter);
    }
}

// One letter of `size` bytes (to the line), written in pieces.
void WriteHugeLetter(const std::string& users, std::uint64_t seed, std::uint64_t size) {
    const std::string path = UserDirectory(users, 0) + "/huge-letter";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Die("open " + path);
    bench::LetterStream letter(seed, "\n");
    std::string piece;
    constexpr std::uint64_t kPiece = std::uint64_t{1} << 20;
    for (std::uint64_t written = 0; written < size; written += piece.size()) {
        piece.clear();
        letter.Next(piece, static_cast<std::size_t>(std::min(kPiece, size - written)));
        WriteAll(fd, piece, path);
    }
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
