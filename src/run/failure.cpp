#include "run/failure.h"

#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "run/messages.h"

int IoResult = 0;

[[noreturn]] __attribute__((noinline)) void RaiseInOutError(int code) {
    throw EInOutError(code, __builtin_return_address(0));
}

__attribute__((noinline)) void IoCheck() {
    if (IoResult != 0) {
        const int code = IoResult;
        IoResult = 0;
        throw EInOutError(code, __builtin_return_address(0));
    }
}

namespace {

// A fixed buffer that text is appended to; never allocates, cuts off what
// does not fit.
struct FixedText {
    char* data;
    unsigned capacity;
    unsigned size = 0;

    void Append(const char* text) {
        for (; *text != '\0' && size + 1 < capacity; ++text) data[size++] = *text;
        data[size] = '\0';
    }
    void AppendDecimal(int value) {
        char digits[16];
        unsigned n = 0;
        // Work in unsigned so that the most negative value has a magnitude.
        unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[n++] = '-';
        char reversed[17];
        for (unsigned i = 0; i < n; ++i) reversed[i] = digits[n - 1 - i];
        reversed[n] = '\0';
        Append(reversed);
    }
    void AppendHex8(std::uintptr_t value) {
        char hex[9];
        for (int i = 7; i >= 0; --i) {
            hex[i] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        }
        hex[8] = '\0';
        Append(hex);
    }
};

}  // namespace

const char* InOutErrorMessage(int code, char* buffer, unsigned capacity) {
    FixedText text{buffer, capacity};
    switch (code) {
        case 2: text.Append("File not found"); break;
        case 3: text.Append("Invalid filename"); break;
        case 4: text.Append("Too many open files"); break;
        case 5: text.Append("File access denied"); break;
        case 100: text.Append("Read beyond end of file"); break;
        case 101: text.Append("Disk full"); break;
        case 106: text.Append("Invalid numeric input"); break;
        default:
            text.Append("I/O error ");
            text.AppendDecimal(code);
            break;
    }
    return buffer;
}

int ReportFailure(const char* kind, const char* message, const void* location) {
    if (platform::DebuggerTakesFailure()) return 0;

    // Whatever reached standard output before the failure goes out first. A
    // failure of this flush cannot be reported any better than the one at
    // hand, so it is dropped.
    FlushStandardOutput();
    IoResult = 0;

    static char module[260];
    std::uintptr_t offset = 0;
    platform::DescribeCodeAddress(location, module, sizeof module, offset);

    // "Exception %s in module %s at %p.\r\n%s%s\r\n"
    static char report[1024];
    FixedText text{report, sizeof report};
    text.Append("Exception ");
    text.Append(kind);
    text.Append(" in module ");
    text.Append(module);
    text.Append(" at ");
    text.AppendHex8(offset);
    text.Append(".\r\n");
    text.Append(message);
    const std::size_t length = std::strlen(message);
    if (length != 0 && message[length - 1] != '.') text.Append(".");
    text.Append("\r\n");

    platform::WriteStandardError(report, text.size);
    platform::WriteStandardError("\r\n", 2);
    return 1;
}
