// The line engine: how the bytes of a spool file are cut into lines and how
// a corrected file is written back.
//
// A file is cut into lines at LF. The input ends at the first 0x1A, wherever
// it stands. A line's content is its bytes between two LFs with every CR
// dropped: a CR before the LF belongs to the line break, a lone CR vanishes.
// The bytes after the last LF form one more line when there is at least one
// of them, even if all are CRs. Every other byte passes unchanged.
//
// Both passes stream: they take the file in blocks of any size, down to a
// single byte, hold no line list and allocate nothing, so memory does not
// grow with the file. No I/O happens here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// What a line holds once its CRs are dropped: nothing, the single byte ".",
// or anything else.
enum class LineKind : std::uint8_t { Empty, FullStop, Other };

// The four lines that end every rewritten file: two empty lines, a full-stop
// line and an empty line.
inline constexpr std::string_view kTerminatorBlock = "\r\n\r\n.\r\n\r\n";

// The first pass: what the rest of the file needs to be judged and cut.
struct LineScan {
    std::uint64_t offset = 0;           // input bytes taken so far
    std::uint64_t lineStart = 0;        // where the line in progress starts
    std::uint64_t lastFullStop = 0;     // where the last full-stop line starts
    bool fullStopSeen = false;
    bool ended = false;                 // the 0x1A that ends the input was met
    LineKind current = LineKind::Empty; // the line in progress, so far
    std::uint8_t lines = 0;             // lines completed, counted up to 3
    LineKind last[3] = {};              // the last three lines, latest at [2]
};

// Takes the next block of the file. Once the input has ended, further
// blocks are ignored.
void ScanLines(LineScan& scan, const char* data, std::size_t size);

// Ends the input: completes the last line when it holds any byte.
void FinishScan(LineScan& scan);

// The offset at which a rewrite stops: the start of the last full-stop line,
// or the end of the input when there is none. Valid after FinishScan.
std::uint64_t CutPoint(const LineScan& scan);

// Where rewritten bytes go.
struct LineSink {
    void (*write)(void* context, const char* data, std::size_t size);
    void* context;
};

// The second pass: rewrites the input before the cut point, each line
// ended by CR LF, and then the terminator block.
struct LineRewrite {
    std::uint64_t offset = 0;    // input bytes taken so far
    std::uint64_t cut = 0;       // where the rewrite stops
    bool lineOpen = false;       // the line in progress holds raw bytes
};

// A rewrite of the file that `scan` has read.
LineRewrite StartRewrite(const LineScan& scan);

// Takes the next block of the file, from its first byte on, and writes the
// corrected bytes it yields. Returns false once the cut point is reached;
// bytes beyond it are ignored.
bool RewriteLines(LineRewrite& rewrite, const char* data, std::size_t size, const LineSink& sink);

// Ends the last line when it is still open and writes the terminator block.
void FinishRewrite(LineRewrite& rewrite, const LineSink& sink);
