// bench-runner: times the corrector against the least work a run must do
// (readall, rewriteall) and against unix2dos, on generated spools.
//
// For each scenario a master spool is generated once (and kept for the next
// invocation with --keep). Every timed run of a contender that writes gets a
// fresh copy of it (cp -a, then sync, so that the copy sits clean in a warm
// page cache); where nobody writes, the runs read the master itself after an
// untimed warm-up run. The contenders take turns (A B A B ...); each run is
// timed by bench-launch, whose wait4 also gives its peak resident set. After
// every run a sample of letters is compared byte for byte with what the
// contender must have made of the master, and after every run of the
// program a second run must change nothing. See bench/README.md.
#include <fcntl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

// ------------------------------------------------------------ processes

struct Measurement {
    double seconds = 0;
    double cpu_seconds = 0;  // user + system
    double peak_rss_mib = 0;
    int exit_status = -1;    // -1: ended by a signal
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs argv[0] (looked up in PATH when it has no "/"), standard output and
// standard error going to the given files. Returns the exit status, -1 when
// ended by a signal.
int RunProcess(const std::vector<std::string>& argv, const std::string& out_path, const std::string& err_path) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(1);
    }
    if (pid == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("waitpid");
            std::exit(1);
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the command through bench-launch, which measures it.
Measurement Launch(const std::vector<std::string>& argv, const std::string& out_path, const std::string& err_path) {
    std::vector<std::string> launch = {QELM_BENCH_LAUNCH, out_path, err_path};
    launch.insert(launch.end(), argv.begin(), argv.end());
    const std::string figures = out_path + ".measured";
    Measurement m;
    long rss_kib = 0;
    if (RunProcess(launch, figures, err_path + ".launch") != 0 ||
        std::sscanf(ReadText(figures).c_str(), "%lf %lf %ld %d", &m.seconds, &m.cpu_seconds, &rss_kib,
                    &m.exit_status) != 4) {
        std::fprintf(stderr, "bench-runner: bench-launch failed: %s\n", ReadText(err_path + ".launch").c_str());
        std::exit(1);
    }
    m.peak_rss_mib = static_cast<double>(rss_kib) / 1024.0;
    return m;
}

// Runs a helper command that must succeed.
void RunOrDie(const std::vector<std::string>& argv, const fs::path& log_dir) {
    const std::string err = (log_dir / "helper.err").string();
    const int status = RunProcess(argv, (log_dir / "helper.out").string(), err);
    if (status != 0) {
        std::fprintf(stderr, "bench-runner: %s failed (status %d):\n%s", argv[0].c_str(), status,
                     ReadText(err).c_str());
        std::exit(1);
    }
}

std::optional<std::string> FindInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const fs::path candidate = fs::path(std::string(rest.substr(0, colon))) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- letters

// What a contender must have made of a letter of the master spool. The
// generated letters hold no CR other than in CR LF, no Ctrl-Z and no
// full-stop line, so that these four cover every case.
enum class Expect { Same, AppendBlock, Crlf, CrlfAppendBlock };

constexpr std::string_view kBlock = "\r\n\r\n.\r\n\r\n";

std::size_t ReadFull(int fd, char* buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Empty when `result` holds exactly what `expect` makes of `master`;
// otherwise what differs.
std::string CompareLetter(const fs::path& master, const fs::path& result, Expect expect) {
    const int in = ::open(master.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(result.c_str(), O_RDONLY | O_CLOEXEC);
    std::string problem;
    if (in < 0 || out < 0) problem = "cannot open: " + std::string(std::strerror(errno));
    const bool crlf = expect == Expect::Crlf || expect == Expect::CrlfAppendBlock;
    const bool block = expect == Expect::AppendBlock || expect == Expect::CrlfAppendBlock;
    std::vector<char> chunk(std::size_t{1} << 20), got;
    std::string expected;
    std::uint64_t offset = 0;
    bool master_done = false;
    while (problem.empty() && !master_done) {
        const std::size_t n = ReadFull(in, chunk.data(), chunk.size());
        expected.clear();
        if (crlf) {
            for (std::size_t i = 0; i < n; ++i) {
                if (chunk[i] == '\n') expected += '\r';
                expected += chunk[i];
            }
        } else {
            expected.assign(chunk.data(), n);
        }
        if (n < chunk.size()) {
            master_done = true;
            if (block) expected += kBlock;
        }
        got.resize(expected.size() + 1);
        // One byte more than expected at the end shows a result too long.
        const std::size_t want = master_done ? expected.size() + 1 : expected.size();
        const std::size_t have = ReadFull(out, got.data(), want);
        const std::size_t common = std::min(have, expected.size());
        const auto differ = std::mismatch(expected.begin(), expected.begin() + common, got.begin()).first;
        const auto at = offset + static_cast<std::uint64_t>(differ - expected.begin());
        if (differ != expected.begin() + common) problem = "differs at byte " + std::to_string(at);
        else if (have < expected.size()) problem = "ends early, at byte " + std::to_string(at);
        else if (have > expected.size()) problem = "goes on past byte " + std::to_string(at);
        offset += expected.size();
    }
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return problem;
}

struct Letter {
    fs::path relative;  // below the spool directory
    std::uintmax_t size;
};

// Every regular file below `spool`, in path order.
std::vector<Letter> ListLetters(const fs::path& spool) {
    std::vector<Letter> letters;
    const std::size_t prefix = spool.string().size() + 1;
    for (const auto& entry : fs::recursive_directory_iterator(spool))
        if (entry.is_regular_file()) letters.push_back({entry.path().string().substr(prefix), entry.file_size()});
    std::sort(letters.begin(), letters.end(), [](const Letter& a, const Letter& b) { return a.relative < b.relative; });
    return letters;
}

// About 64 letters spread over the spool, and the four largest.
std::vector<Letter> Sample(std::vector<Letter> letters) {
    std::vector<Letter> sample;
    const std::size_t spread = std::min<std::size_t>(64, letters.size());
    for (std::size_t i = 0; i < spread; ++i) sample.push_back(letters[i * letters.size() / spread]);
    std::sort(letters.begin(), letters.end(), [](const Letter& a, const Letter& b) { return a.size > b.size; });
    for (std::size_t i = 0; i < std::min<std::size_t>(4, letters.size()); ++i)
        if (std::none_of(sample.begin(), sample.end(), [&](const Letter& s) { return s.relative == letters[i].relative; }))
            sample.push_back(letters[i]);
    return sample;
}

// ----------------------------------------------------------- scenarios

enum class Kind { Program, ReadAll, RewriteAll, Unix2dos };

struct Contender {
    Kind kind;
    std::string name;
    Expect expect;
};

// A bar: program time / contender time at most `limit` (below it when
// `strictly`), or, with a zero limit, no bar but a reference figure.
struct RatioBar {
    std::string contender;
    double limit;
    bool strictly;
};

struct Scenario {
    std::string name;
    std::string state;  // spool-gen --state
    std::uint64_t users = 0;
    std::uint64_t letters = 0;
    std::uint64_t huge_size = 0;
    bool writes = false;  // the program rewrites every letter
    int rounds = 0;
    std::vector<Contender> contenders;  // the program first
    std::vector<RatioBar> bars;
    double rss_limit_mib = 0;  // peak resident set of the program; 0: none
};

struct Options {
    bool quick = false;
    bool keep = false;
    int rounds = 0;  // 0: the scenario's own
    std::uint64_t rewrite_letters = 0;
    std::vector<std::string> only;
    fs::path scratch;
    std::string results;
    std::string label;
};

std::vector<Scenario> Scenarios(const Options& options) {
    const bool quick = options.quick;
    const std::uint64_t rewrite_letters = options.rewrite_letters ? options.rewrite_letters : quick ? 1000 : 5000;
    const Contender program_same{Kind::Program, "program", Expect::Same};
    const Contender program_block{Kind::Program, "program", Expect::AppendBlock};
    const Contender program_crlf{Kind::Program, "program", Expect::CrlfAppendBlock};
    const Contender readall{Kind::ReadAll, "readall", Expect::Same};
    const Contender rewriteall{Kind::RewriteAll, "rewriteall", Expect::AppendBlock};
    const Contender unix2dos{Kind::Unix2dos, "unix2dos", Expect::Crlf};
    std::vector<Scenario> scenarios = {
        {"terminated", "terminated", quick ? 100u : 1000u, quick ? 10000u : 100000u, 0, false, quick ? 3 : 5,
         {program_same, readall}, {{"readall", 1.2, false}}, 0},
        {"needs-terminator", "needs-terminator", std::max<std::uint64_t>(1, rewrite_letters / 100), rewrite_letters, 0,
         true, 3, {program_block, rewriteall}, {{"rewriteall", 1.3, false}}, 0},
        {"lf", "lf", std::max<std::uint64_t>(1, rewrite_letters / 100), rewrite_letters, 0, true, 3,
         {program_crlf, rewriteall, unix2dos}, {{"rewriteall", 1.3, false}, {"unix2dos", 0, false}}, 0},
        {"huge", "huge", 1, 1, quick ? std::uint64_t{100} << 20 : std::uint64_t{1} << 30, true, 3,
         {program_crlf, rewriteall, unix2dos}, {{"rewriteall", 2.0, false}, {"unix2dos", 1.0, true}}, 32},
    };
    for (auto& s : scenarios)
        if (options.rounds > 0) s.rounds = options.rounds;
    if (!options.only.empty())
        std::erase_if(scenarios, [&](const Scenario& s) {
            return std::find(options.only.begin(), options.only.end(), s.name) == options.only.end();
        });
    return scenarios;
}

std::vector<std::string> GeneratorCommand(const Scenario& s, const fs::path& master) {
    return {QELM_BENCH_SPOOL_GEN, "--state", s.state, "--users", std::to_string(s.users), "--letters",
            std::to_string(s.letters), "--huge-size", std::to_string(s.huge_size), "--seed", "20240601",
            master.string()};
}

// ------------------------------------------------------------- the runs

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct ContenderResult {
    std::vector<double> seconds;
    double peak_rss_mib = 0;
};

struct ScenarioResult {
    std::vector<ContenderResult> contenders;  // as in Scenario::contenders
    std::vector<std::string> failures;
    double spool_mib = 0;
};

class Bench {
public:
    explicit Bench(const Options& options) : options_(options) {}

    ScenarioResult Run(const Scenario& s);

private:
    std::vector<std::string> Command(const Contender& c, const fs::path& users) const;
    void PrepareCopy(const fs::path& master, const fs::path& work);
    void Check(const Scenario& s, const Contender& c, const Measurement& m, const fs::path& reference,
               const fs::path& work, ScenarioResult& result);
    void CheckSample(const Scenario& s, Expect expect, const fs::path& reference, const fs::path& work,
                     const std::string& who, ScenarioResult& result);
    static std::optional<long> Count(const std::string& output, std::string_view label);

    const Options& options_;
    fs::path logs_;
    std::vector<Letter> sample_;
};

std::vector<std::string> Bench::Command(const Contender& c, const fs::path& users) const {
    switch (c.kind) {
        case Kind::Program: return {QELM_BENCH_PROGRAM};
        case Kind::ReadAll: return {QELM_BENCH_READALL, users.string()};
        case Kind::RewriteAll: return {QELM_BENCH_REWRITEALL, users.string()};
        case Kind::Unix2dos:
            return {"find", users.string(), "-type", "f", "!", "-name", ".*", "-exec", "unix2dos", "-q", "{}", "+"};
    }
    return {};
}

void Bench::PrepareCopy(const fs::path& master, const fs::path& work) {
    fs::remove_all(work);
    fs::create_directories(work);
    ::sync();
    RunOrDie({"cp", "-a", (master / "Users").string(), (work / "Users").string()}, logs_);
    ::sync();
}

std::optional<long> Bench::Count(const std::string& output, std::string_view label) {
    const auto at = output.find(label);
    if (at == std::string::npos) return std::nullopt;
    return std::strtol(output.c_str() + at + label.size(), nullptr, 10);
}

void Bench::CheckSample(const Scenario& s, Expect expect, const fs::path& reference, const fs::path& work,
                        const std::string& who, ScenarioResult& result) {
    std::size_t wrong = 0;
    std::string first;
    for (const Letter& letter : sample_) {
        const std::string problem = CompareLetter(reference / letter.relative, work / letter.relative, expect);
        if (!problem.empty() && wrong++ == 0) first = letter.relative.string() + " " + problem;
    }
    if (wrong > 0)
        result.failures.push_back(s.name + ", " + who + ": " + std::to_string(wrong) + " of " +
                                  std::to_string(sample_.size()) + " sampled letters wrong, first " + first);
}

void Bench::Check(const Scenario& s, const Contender& c, const Measurement& m, const fs::path& reference,
                  const fs::path& work, ScenarioResult& result) {
    const std::size_t failures_before = result.failures.size();
    if (m.exit_status != 0)
        result.failures.push_back(s.name + ", " + c.name + ": exit status " + std::to_string(m.exit_status) + ": " +
                                  ReadText((logs_ / "run.err").string()));
    CheckSample(s, c.expect, reference, work, c.name, result);
    // Every letter is still there, and nothing else is.
    long files = 0, hidden = 0;
    for (const auto& entry : fs::recursive_directory_iterator(work / "Users")) {
        if (entry.path().filename().string().starts_with(".")) ++hidden;
        if (!entry.is_directory()) ++files;
    }
    if (files != static_cast<long>(s.letters) || hidden != 0)
        result.failures.push_back(s.name + ", " + c.name + ": " + std::to_string(files) + " files, " +
                                  std::to_string(hidden) + " of them hidden; expected " + std::to_string(s.letters) +
                                  " letters and nothing else");
    if (c.kind == Kind::Program) {
        const auto expect_counts = [&](const std::string& who, long corrected) {
            const std::string out = ReadText((logs_ / "run.out").string());
            const auto found_count = Count(out, "Files found: ");
            const auto corrected_count = Count(out, "Files corrected: ");
            if (found_count != static_cast<long>(s.letters) || corrected_count != corrected)
                result.failures.push_back(s.name + ", " + who + ": printed found " +
                                          (found_count ? std::to_string(*found_count) : "nothing") + ", corrected " +
                                          (corrected_count ? std::to_string(*corrected_count) : "nothing") +
                                          "; expected " + std::to_string(s.letters) + " and " +
                                          std::to_string(corrected));
        };
        expect_counts("program", s.writes ? static_cast<long>(s.letters) : 0);
        // A second run over what the first one left must change nothing.
        const Measurement again =
            Launch(Command(c, work / "Users"), (logs_ / "run.out").string(), (logs_ / "run.err").string());
        if (again.exit_status != 0)
            result.failures.push_back(s.name + ", second run: exit status " + std::to_string(again.exit_status));
        expect_counts("second run", 0);
        CheckSample(s, c.expect, reference, work, "second run", result);
    }
    if (result.failures.size() > failures_before) {
        std::printf("    CHECK FAILED (%zu):\n", result.failures.size() - failures_before);
        for (std::size_t i = failures_before; i < result.failures.size() && i < failures_before + 5; ++i)
            std::printf("      %s\n", result.failures[i].c_str());
    }
}

ScenarioResult Bench::Run(const Scenario& s) {
    ScenarioResult result;
    result.contenders.resize(s.contenders.size());
    const fs::path masters = options_.scratch / "masters";
    const fs::path master = masters / s.name;
    logs_ = options_.scratch / "logs";
    fs::create_directories(masters);
    fs::create_directories(logs_);

    // The master spool, generated again only when its arguments changed.
    const auto generator = GeneratorCommand(s, master);
    std::string stamp;
    for (const auto& arg : generator) stamp += arg + "\n";
    const fs::path stamp_path = masters / (s.name + ".args");
    if (!fs::exists(master / "Users") || ReadText(stamp_path.string()) != stamp) {
        fs::remove_all(master);
        fs::remove(stamp_path);
        std::printf("  generating %s ...", master.c_str());
        const auto start = std::chrono::steady_clock::now();
        RunOrDie(generator, logs_);
        ::sync();
        std::printf(" %.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::ofstream(stamp_path, std::ios::binary) << stamp;
    }
    const auto letters = ListLetters(master);
    sample_ = Sample(letters);
    for (const auto& letter : letters) result.spool_mib += static_cast<double>(letter.size) / (1 << 20);
    std::printf("  %zu letters, %.1f MiB, %zu sampled for the checks\n", letters.size(), result.spool_mib,
                sample_.size());

    // Where the runs happen, and what the checks compare with. Contenders
    // that write get a fresh copy of the master for every run and are
    // checked against the master; where nobody writes, the runs happen on
    // the master itself, checked against copies of the sampled letters.
    fs::path work = options_.scratch / "work" / s.name;
    fs::path reference = master;
    if (!s.writes) {
        work = master;
        reference = options_.scratch / "reference" / s.name;
        fs::remove_all(reference);
        for (const Letter& letter : sample_) {
            fs::create_directories((reference / letter.relative).parent_path());
            fs::copy_file(master / letter.relative, reference / letter.relative);
        }
    }
    const std::string spool = work.string() + "/";
    if (spool.size() + 5 > 259) {
        std::fprintf(stderr, "bench-runner: the spool path %s is too long; use a shorter --scratch\n", spool.c_str());
        std::exit(1);
    }
    fs::create_directories(QELM_BENCH_INI_DIR);
    std::ofstream(fs::path(QELM_BENCH_INI_DIR) / "qelm.INI", std::ios::binary)
        << "[Server]\r\nSpool Path=" << spool << "\r\n";

    if (!s.writes) {
        // A first, untimed run of each contender warms the caches.
        ::sync();
        for (const auto& c : s.contenders)
            Launch(Command(c, work / "Users"), (logs_ / "run.out").string(), (logs_ / "run.err").string());
    }
    for (int round = 0; round < s.rounds; ++round) {
        for (std::size_t i = 0; i < s.contenders.size(); ++i) {
            const Contender& c = s.contenders[i];
            if (s.writes) PrepareCopy(master, work);
            ::sync();
            const Measurement m =
                Launch(Command(c, work / "Users"), (logs_ / "run.out").string(), (logs_ / "run.err").string());
            std::printf("  round %d  %-10s %8.3f s  cpu %8.3f s  peak RSS %7.1f MiB\n", round + 1, c.name.c_str(),
                        m.seconds, m.cpu_seconds, m.peak_rss_mib);
            auto& r = result.contenders[i];
            r.seconds.push_back(m.seconds);
            r.peak_rss_mib = std::max(r.peak_rss_mib, m.peak_rss_mib);
            Check(s, c, m, reference, work, result);
        }
    }
    if (s.writes) fs::remove_all(work);
    else fs::remove_all(reference);
    // A master that a run may have changed is not used again.
    if (!options_.keep || (!s.writes && !result.failures.empty())) {
        fs::remove_all(master);
        fs::remove(stamp_path);
    }
    return result;
}

// ------------------------------------------------------ the line engine

struct EngineResult {
    std::string name;
    double bytes_per_second;
};

// Runs lines-bench and reads its figures (CSV: name, iterations, real_time,
// cpu_time, time_unit, bytes_per_second, ...).
std::vector<EngineResult> RunLinesBench(const Options& options, std::vector<std::string>& failures) {
    const fs::path logs = options.scratch / "logs";
    fs::create_directories(logs);
    const std::string out = (logs / "lines.csv").string(), err = (logs / "lines.err").string();
    const int status = RunProcess({QELM_BENCH_LINES, "--benchmark_format=csv",
                                   std::string("--benchmark_min_time=") + (options.quick ? "0.2" : "1")},
                                  out, err);
    std::vector<EngineResult> results;
    std::istringstream csv(ReadText(out));
    for (std::string line; std::getline(csv, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell);
        if (fields.size() < 6 || fields[0] == "name") continue;
        std::string name = fields[0];
        std::erase(name, '"');
        results.push_back({name, std::strtod(fields[5].c_str(), nullptr)});
        std::printf("  %-16s %6.2f GB/s\n", name.c_str(), results.back().bytes_per_second / 1e9);
    }
    if (status != 0 || results.empty())
        failures.push_back("lines-bench: status " + std::to_string(status) + ": " + ReadText(err));
    return results;
}

// ------------------------------------------------------------ reporting

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string MachineDescription(const fs::path& scratch) {
    std::string cpu = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.starts_with("model name")) {
            cpu = Trim(line.substr(line.find(':') + 2));
            break;
        }
    long mem_kib = 0;
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);)
        if (line.starts_with("MemTotal:")) mem_kib = std::strtol(line.c_str() + 9, nullptr, 10);
    struct utsname uts {};
    ::uname(&uts);
    // The file system the spools live on: the longest mount point above it.
    std::string device = "?", type = "?";
    std::size_t best = 0;
    const std::string where = fs::weakly_canonical(scratch).string();
    std::ifstream mounts("/proc/self/mounts");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string dev, point, fstype;
        fields >> dev >> point >> fstype;
        const bool above = where == point || point == "/" ||
                           (where.starts_with(point) && where.size() > point.size() && where[point.size()] == '/');
        if (above && point.size() >= best) {
            best = point.size();
            device = dev;
            type = fstype;
        }
    }
    char text[512];
    std::snprintf(text, sizeof text, "%s, %u CPUs, %.0f GiB RAM, Linux %s, spools on %s (%s)", cpu.c_str(),
                  std::thread::hardware_concurrency(), static_cast<double>(mem_kib) / (1 << 20), uts.release,
                  type.c_str(), device.c_str());
    return text;
}

std::string Report(const std::vector<Scenario>& scenarios, const std::vector<ScenarioResult>& results,
                   const std::vector<EngineResult>& engine, const std::vector<std::string>& engine_failures,
                   const Options& options, bool& all_good) {
    std::string out;
    char line[512];
    out += "Machine: " + MachineDescription(options.scratch) + "\n";
    if (!options.label.empty()) out += "Program: " + options.label + "\n";
    out += std::string("Mode: ") + (options.quick ? "quick" : "full") + "\n\n";
    if (!scenarios.empty()) {
        out += "| scenario | letters | MiB | contender | runs | median s | peak RSS MiB |\n";
        out += "|---|---:|---:|---|---:|---:|---:|\n";
    }
    for (std::size_t k = 0; k < scenarios.size(); ++k) {
        const Scenario& s = scenarios[k];
        for (std::size_t i = 0; i < s.contenders.size(); ++i) {
            const auto& r = results[k].contenders[i];
            std::snprintf(line, sizeof line, "| %s | %llu | %.0f | %s | %zu | %.3f | %.1f |\n", s.name.c_str(),
                          static_cast<unsigned long long>(s.letters), results[k].spool_mib,
                          s.contenders[i].name.c_str(), r.seconds.size(), Median(r.seconds), r.peak_rss_mib);
            out += line;
        }
    }
    if (!scenarios.empty()) {
        out += "\n| scenario | program against | median of per-round ratios | bar | verdict |\n";
        out += "|---|---|---:|---|---|\n";
    }
    for (std::size_t k = 0; k < scenarios.size(); ++k) {
        const Scenario& s = scenarios[k];
        const bool valid = results[k].failures.empty();
        const auto& program = results[k].contenders[0].seconds;
        for (const RatioBar& bar : s.bars) {
            const auto at = std::find_if(s.contenders.begin(), s.contenders.end(),
                                         [&](const Contender& c) { return c.name == bar.contender; });
            const auto& other = results[k].contenders[static_cast<std::size_t>(at - s.contenders.begin())].seconds;
            std::vector<double> ratios;
            for (std::size_t i = 0; i < std::min(program.size(), other.size()); ++i)
                ratios.push_back(program[i] / other[i]);
            const double ratio = Median(ratios);
            std::string verdict = "reference", limit = "none";
            if (bar.limit > 0) {
                const bool meets = bar.strictly ? ratio < bar.limit : ratio <= bar.limit;
                snprintf(line, sizeof line, "%s %.1f", bar.strictly ? "<" : "<=", bar.limit);
                limit = line;
                verdict = !valid ? "not valid: checks failed" : meets ? "meets" : "MISSED";
                all_good = all_good && valid && meets;
            }
            std::snprintf(line, sizeof line, "| %s | %s | %.2f | %s | %s |\n", s.name.c_str(), bar.contender.c_str(),
                          ratio, limit.c_str(), verdict.c_str());
            out += line;
        }
        if (s.rss_limit_mib > 0) {
            const double rss = results[k].contenders[0].peak_rss_mib;
            const bool meets = rss < s.rss_limit_mib;
            all_good = all_good && valid && meets;
            std::snprintf(line, sizeof line, "| %s | peak RSS (MiB) | %.1f | < %.0f | %s |\n", s.name.c_str(), rss,
                          s.rss_limit_mib, !valid ? "not valid: checks failed" : meets ? "meets" : "MISSED");
            out += line;
        }
    }
    if (!engine.empty()) {
        out += "\n| line engine, in memory | GB/s | bar | verdict |\n|---|---:|---|---|\n";
        for (const EngineResult& e : engine) {
            const bool barred = e.name == "Terminated";
            const bool meets = e.bytes_per_second >= 2e9;
            if (barred) all_good = all_good && meets;
            std::snprintf(line, sizeof line, "| %s | %.2f | %s | %s |\n", e.name.c_str(), e.bytes_per_second / 1e9,
                          barred ? ">= 2" : "none", barred ? (meets ? "meets" : "MISSED") : "reference");
            out += line;
        }
    }
    for (const auto& r : results) {
        all_good = all_good && r.failures.empty();
        for (const auto& failure : r.failures) out += "\nCHECK FAILED: " + failure;
    }
    all_good = all_good && engine_failures.empty();
    for (const auto& failure : engine_failures) out += "\nFAILED: " + failure;
    return out + "\n";
}

[[noreturn]] void Usage(const char* message) {
    std::fprintf(stderr,
                 "bench-runner: %s\n"
                 "usage: bench-runner [--quick] [--keep] [--rounds N] [--rewrite-letters M]\n"
                 "                    [--only SCENARIO]... [--label TEXT] [--results FILE] --scratch DIR\n"
                 "scenarios: terminated needs-terminator lf huge lines\n",
                 message);
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) Usage("missing value");
            return argv[++i];
        };
        if (arg == "--quick") options.quick = true;
        else if (arg == "--keep") options.keep = true;
        else if (arg == "--rounds") options.rounds = std::atoi(value().c_str());
        else if (arg == "--rewrite-letters") options.rewrite_letters = std::strtoull(value().c_str(), nullptr, 10);
        else if (arg == "--only") options.only.push_back(value());
        else if (arg == "--scratch") options.scratch = value();
        else if (arg == "--results") options.results = value();
        else if (arg == "--label") options.label = value();
        else Usage("unknown argument");
    }
    if (options.scratch.empty()) Usage("--scratch is required");
    // The counts are read from the program's English output.
    ::setenv("LC_ALL", "C", 1);
    options.scratch = fs::absolute(options.scratch);
    const auto scenarios = Scenarios(options);
    const bool engine_wanted =
        options.only.empty() || std::find(options.only.begin(), options.only.end(), "lines") != options.only.end();
    if (scenarios.empty() && !engine_wanted) Usage("no such scenario");

    Bench bench(options);
    std::vector<ScenarioResult> results;
    for (const Scenario& s : scenarios) {
        const bool has_unix2dos = std::any_of(s.contenders.begin(), s.contenders.end(),
                                              [](const Contender& c) { return c.kind == Kind::Unix2dos; });
        if (has_unix2dos && !FindInPath("unix2dos")) {
            std::fprintf(stderr, "bench-runner: unix2dos not found (Debian package dos2unix)\n");
            return 1;
        }
        std::printf("== %s\n", s.name.c_str());
        const auto start = std::chrono::steady_clock::now();
        results.push_back(bench.Run(s));
        std::printf("  (%.0f s in all)\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::vector<EngineResult> engine;
    std::vector<std::string> engine_failures;
    if (engine_wanted) {
        std::printf("== lines (the line engine alone)\n");
        engine = RunLinesBench(options, engine_failures);
    }
    bool all_good = true;
    const std::string report = Report(scenarios, results, engine, engine_failures, options, all_good);
    std::printf("\n%s", report.c_str());
    if (!options.results.empty()) std::ofstream(options.results, std::ios::binary) << report;
    for (const char* temporary : {"work", "reference", "logs"}) fs::remove_all(options.scratch / temporary);
    if (!options.keep) {
        fs::remove_all(options.scratch / "masters");
        std::error_code ignored;
        fs::remove(options.scratch, ignored);  // only when nothing else is in it
    }
    return all_good ? 0 : 1;
}
