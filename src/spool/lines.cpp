#include "spool/lines.h"

#include <bit>
#include <cstring>

namespace {

constexpr char kEndOfInput = 0x1A;

// The first byte `c` in [p, end), or end.
const char* Find(const char* p, const char* end, char c) {
    const void* found = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return found != nullptr ? static_cast<const char*>(found) : end;
}

// Adds the bytes [p, end) of a line to what is known of its content. Only
// the first two bytes that are not CR matter, so an ordinary line is settled
// after a byte or two and the rest of it is never looked at.
LineKind Classify(LineKind kind, const char* p, const char* end) {
    for (; p != end && kind != LineKind::Other; ++p) {
        if (*p == '\r') continue;
        kind = kind == LineKind::Empty && *p == '.' ? LineKind::FullStop : LineKind::Other;
    }
    return kind;
}

// Takes a completed line of `kind` as the latest of the last three.
void PushLine(LineScan& scan, LineKind kind) {
    scan.last[0] = scan.last[1];
    scan.last[1] = scan.last[2];
    scan.last[2] = kind;
    if (scan.lines < 3) ++scan.lines;
}

void NoteFullStop(LineScan& scan, std::uint64_t start) {
    scan.lastFullStop = start;
    scan.fullStopSeen = true;
}

// The last byte `c` in [begin, end), or null. Looks at eight bytes at a
// time, like memchr, from the end backwards.
const char* FindLast(const char* begin, const char* end, char c) {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kEach = 0x0101010101010101;
        constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;
        const std::uint64_t pattern = kEach * static_cast<unsigned char>(c);
        while (end - begin >= 8) {
            std::uint64_t word;
            std::memcpy(&word, end - 8, 8);
            const std::uint64_t x = word ^ pattern;
            // 0x80 in every byte that is `c`, 0 in every other byte.
            const std::uint64_t hits = ~(((x & kLow7) + kLow7) | x | kLow7);
            if (hits != 0) return end - 8 + (7 - std::countl_zero(hits) / 8);
            end -= 8;
        }
    }
    while (end != begin)
        if (*--end == c) return end;
    return nullptr;
}

// The last LF in [begin, end), which must hold one.
const char* FindLastLf(const char* begin, const char* end) { return FindLast(begin, end, '\n'); }

// The start of the last full-stop line among the whole lines [p, end), or
// null when there is none. Every full stop is a candidate (memchr finds them
// fast, and most text holds few); it makes a full-stop line when nothing but
// CRs stands between it and the line breaks on either side.
const char* FindLastFullStop(const char* p, const char* end) {
    const char* found = nullptr;
    for (const char* dot = Find(p, end, '.'); dot != end; dot = Find(dot + 1, end, '.')) {
        const char* start = dot;
        while (start != p && start[-1] == '\r') --start;
        if (start != p && start[-1] != '\n') continue;
        const char* after = dot + 1;
        while (*after == '\r') ++after;  // the lines end with an LF
        if (*after == '\n') found = start;
    }
    return found;
}

// Collects rewritten bytes and hands them to the sink in large pieces, so
// that short lines do not each cost a call. The sink may raise a failure, so
// what is left is handed on by an explicit Flush, never by the destructor.
class Output {
public:
    explicit Output(const LineSink& sink) : sink_(sink) {}
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void Put(const char* data, std::size_t size) {
        if (size > sizeof buffer_ - used_) {
            Flush();
            if (size >= sizeof buffer_) {
                sink_.write(sink_.context, data, size);
                return;
            }
        }
        std::memcpy(buffer_ + used_, data, size);
        used_ += size;
    }
    void Put(const char* begin, const char* end) { Put(begin, static_cast<std::size_t>(end - begin)); }

    void Flush() {
        if (used_ != 0) sink_.write(sink_.context, buffer_, used_);
        used_ = 0;
    }

private:
    const LineSink& sink_;
    std::size_t used_ = 0;
    char buffer_[1 << 16];
};

// Puts [p, end) without its CRs.
void PutWithoutCr(Output& out, const char* p, const char* end) {
    while (p != end) {
        const char* cr = Find(p, end, '\r');
        out.Put(p, cr);
        p = cr == end ? end : cr + 1;
    }
}

}  // namespace

void ScanLines(LineScan& scan, const char* data, std::size_t size) {
    if (scan.ended || size == 0) return;
    const char* end = Find(data, data + size, kEndOfInput);
    scan.ended = end != data + size;
    const std::uint64_t base = scan.offset;
    scan.offset += static_cast<std::uint64_t>(end - data);

    // The bytes up to the block's first LF finish the line in progress.
    const char* firstLf = Find(data, end, '\n');
    if (scan.current != LineKind::Other) scan.current = Classify(scan.current, data, firstLf);
    if (firstLf == end) return;
    PushLine(scan, scan.current);
    if (scan.current == LineKind::FullStop) NoteFullStop(scan, scan.lineStart);

    // Of the lines after it only the last three and the last full-stop line
    // matter. The last three are taken from the block's end backwards; when
    // they hold no full stop, the lines before them are searched for one. A
    // terminated letter is thus settled by its last three lines, whatever
    // its length.
    const char* lastLf = FindLastLf(firstLf, end);
    LineKind latest[3];  // latest first
    int taken = 0;
    bool fullStopFound = false;
    const char* lineEnd = lastLf;
    for (; lineEnd != firstLf && taken < 3; ++taken) {
        const char* lineBegin = FindLastLf(firstLf, lineEnd) + 1;
        latest[taken] = Classify(LineKind::Empty, lineBegin, lineEnd);
        if (latest[taken] == LineKind::FullStop && !fullStopFound) {
            NoteFullStop(scan, base + static_cast<std::uint64_t>(lineBegin - data));
            fullStopFound = true;
        }
        lineEnd = lineBegin - 1;
    }
    if (!fullStopFound && lineEnd != firstLf) {
        if (const char* fullStop = FindLastFullStop(firstLf + 1, lineEnd + 1))
            NoteFullStop(scan, base + static_cast<std::uint64_t>(fullStop - data));
    }
    while (taken > 0) PushLine(scan, latest[--taken]);

    // The bytes after the last LF begin the next line.
    scan.lineStart = base + static_cast<std::uint64_t>(lastLf + 1 - data);
    scan.current = Classify(LineKind::Empty, lastLf + 1, end);
}

void FinishScan(LineScan& scan) {
    if (scan.offset == scan.lineStart) return;
    PushLine(scan, scan.current);
    if (scan.current == LineKind::FullStop) NoteFullStop(scan, scan.lineStart);
    scan.current = LineKind::Empty;
    scan.lineStart = scan.offset;
}

std::uint64_t CutPoint(const LineScan& scan) { return scan.fullStopSeen ? scan.lastFullStop : scan.offset; }

LineRewrite StartRewrite(const LineScan& scan) {
    LineRewrite rewrite;
    rewrite.cut = CutPoint(scan);
    return rewrite;
}

bool RewriteLines(LineRewrite& rewrite, const char* data, std::size_t size, const LineSink& sink) {
    const std::uint64_t left = rewrite.cut - rewrite.offset;
    if (size > left) size = static_cast<std::size_t>(left);
    if (size == 0) return rewrite.offset < rewrite.cut;
    const char* p = data;
    const char* end = data + size;
    Output out(sink);

    // Lines that already end in CR LF and hold no other CR pass unchanged;
    // they are gathered into one run and put as a block.
    const char* run = p;
    const char* cr = Find(p, end, '\r');
    while (p != end) {
        const char* lf = Find(p, end, '\n');
        if (lf == end) break;
        if (cr > lf) {
            // LF alone: the line, then CR LF.
            out.Put(run, lf);
            out.Put("\r\n", 2);
            run = lf + 1;
        } else if (cr + 1 == lf) {
            // CR LF and no other CR: stays in the run.
            cr = Find(lf + 1, end, '\r');
        } else {
            // CRs inside the line are dropped.
            out.Put(run, cr);
            PutWithoutCr(out, cr + 1, lf);
            out.Put("\r\n", 2);
            run = lf + 1;
            cr = Find(lf + 1, end, '\r');
        }
        p = lf + 1;
        rewrite.lineOpen = false;
    }
    out.Put(run, p);

    // The start of a line that goes on in the next block, or the last line
    // of the input.
    if (p != end) {
        PutWithoutCr(out, p, end);
        rewrite.lineOpen = true;
    }
    out.Flush();
    rewrite.offset += size;
    return rewrite.offset < rewrite.cut;
}

void FinishRewrite(LineRewrite& rewrite, const LineSink& sink) {
    Output out(sink);
    if (rewrite.lineOpen) out.Put("\r\n", 2);
    rewrite.lineOpen = false;
    out.Put(kTerminatorBlock.data(), kTerminatorBlock.size());
    out.Flush();
}
