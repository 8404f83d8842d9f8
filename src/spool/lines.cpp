#include "spool/lines.h"

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

void CompleteLine(LineScan& scan) {
    scan.last[0] = scan.last[1];
    scan.last[1] = scan.last[2];
    scan.last[2] = scan.current;
    if (scan.lines < 3) ++scan.lines;
    if (scan.current == LineKind::FullStop) {
        scan.lastFullStop = scan.lineStart;
        scan.fullStopSeen = true;
    }
    scan.current = LineKind::Empty;
}

void Write(const LineSink& sink, const char* data, std::size_t size) {
    if (size != 0) sink.write(sink.context, data, size);
}

void Write(const LineSink& sink, const char* begin, const char* end) {
    Write(sink, begin, static_cast<std::size_t>(end - begin));
}

// Writes [p, end) without its CRs.
void WriteWithoutCr(const LineSink& sink, const char* p, const char* end) {
    while (p != end) {
        const char* cr = Find(p, end, '\r');
        Write(sink, p, cr);
        p = cr == end ? end : cr + 1;
    }
}

}  // namespace

void ScanLines(LineScan& scan, const char* data, std::size_t size) {
    if (scan.ended || size == 0) return;
    const char* p = data;
    const char* end = Find(data, data + size, kEndOfInput);
    scan.ended = end != data + size;

    while (p != end) {
        const char* lf = Find(p, end, '\n');
        if (scan.current != LineKind::Other) scan.current = Classify(scan.current, p, lf);
        if (lf == end) break;
        scan.offset += static_cast<std::uint64_t>(lf + 1 - p);
        CompleteLine(scan);
        scan.lineStart = scan.offset;
        p = lf + 1;
    }
    scan.offset += static_cast<std::uint64_t>(end - p);
}

void FinishScan(LineScan& scan) {
    if (scan.offset == scan.lineStart) return;
    CompleteLine(scan);
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

    // Lines that already end in CR LF and hold no other CR pass unchanged;
    // they are gathered into one run and written as a block.
    const char* run = p;
    const char* cr = Find(p, end, '\r');
    while (p != end) {
        const char* lf = Find(p, end, '\n');
        if (lf == end) break;
        if (cr > lf) {
            // LF alone: the line, then CR LF.
            Write(sink, run, lf);
            Write(sink, "\r\n", 2);
            run = lf + 1;
        } else if (cr + 1 == lf) {
            // CR LF and no other CR: stays in the run.
            cr = Find(lf + 1, end, '\r');
        } else {
            // CRs inside the line are dropped.
            Write(sink, run, cr);
            WriteWithoutCr(sink, cr + 1, lf);
            Write(sink, "\r\n", 2);
            run = lf + 1;
            cr = Find(lf + 1, end, '\r');
        }
        p = lf + 1;
        rewrite.lineOpen = false;
    }
    Write(sink, run, p);

    // The start of a line that goes on in the next block, or the last line
    // of the input.
    if (p != end) {
        WriteWithoutCr(sink, p, end);
        rewrite.lineOpen = true;
    }
    rewrite.offset += size;
    return rewrite.offset < rewrite.cut;
}

void FinishRewrite(LineRewrite& rewrite, const LineSink& sink) {
    if (rewrite.lineOpen) Write(sink, "\r\n", 2);
    rewrite.lineOpen = false;
    Write(sink, kTerminatorBlock.data(), kTerminatorBlock.size());
}
