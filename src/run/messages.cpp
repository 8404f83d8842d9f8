#include "run/messages.h"

#include <charconv>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "run/failure.h"
#include "run/version.h"

namespace {

constexpr ShortString Text(const char* text) {
    ShortString entry{};
    std::size_t n = 0;
    while (text[n] != '\0') {
        entry.text[n] = text[n];
        ++n;
    }
    entry.length = static_cast<std::uint8_t>(n);
    return entry;
}

}  // namespace

// The Russian texts are code page 1251 bytes; each line's comment shows it.
ShortString Messages[2][6] = {
    {
        Text("\r\nQELM Spool Corrector\r\n"
             "Version " QELM_VERSION ": ends every letter with its terminator block\r\n"),
        Text("No QELM.INI Found..."),
        Text("No Spool Found..."),
        Text("QELM Spool found..."),
        Text("Files found: "),
        Text("Files corrected: "),
    },
    {
        // "Корректор спула QELM" / "Версия ...: дописывает в конец каждого
        // письма блок-терминатор"
        Text("\r\n\xCA\xEE\xF0\xF0\xE5\xEA\xF2\xEE\xF0 \xF1\xEF\xF3\xEB\xE0 QELM\r\n"
             "\xC2\xE5\xF0\xF1\xE8\xFF " QELM_VERSION
             ": \xE4\xEE\xEF\xE8\xF1\xFB\xE2\xE0\xE5\xF2 \xE2 \xEA\xEE\xED\xE5\xF6 "
             "\xEA\xE0\xE6\xE4\xEE\xE3\xEE \xEF\xE8\xF1\xFC\xEC\xE0 "
             "\xE1\xEB\xEE\xEA-\xF2\xE5\xF0\xEC\xE8\xED\xE0\xF2\xEE\xF0\r\n"),
        // "Файл QELM.INI не найден..."
        Text("\xD4\xE0\xE9\xEB QELM.INI \xED\xE5 \xED\xE0\xE9\xE4\xE5\xED..."),
        // "Спул QELM не найден..."
        Text("\xD1\xEF\xF3\xEB QELM \xED\xE5 \xED\xE0\xE9\xE4\xE5\xED..."),
        // "QELM спул найден, идет обработка писем..."
        Text("QELM \xF1\xEF\xF3\xEB \xED\xE0\xE9\xE4\xE5\xED, \xE8\xE4\xE5\xF2 "
             "\xEE\xE1\xF0\xE0\xE1\xEE\xF2\xEA\xE0 \xEF\xE8\xF1\xE5\xEC..."),
        // "Файлов найдено: "
        Text("\xD4\xE0\xE9\xEB\xEE\xE2 \xED\xE0\xE9\xE4\xE5\xED\xEE: "),
        // "Файлов скоректировано: "
        Text("\xD4\xE0\xE9\xEB\xEE\xE2 \xF1\xEA\xEE\xF0\xE5\xEA\xF2\xE8\xF0\xEE\xE2\xE0\xED\xEE: "),
    },
};

int Lang = kLangEnglish;

void ChooseLanguage() {
    if (platform::DefaultLanguageId() == kLangIdRussian) {
        Lang = kLangRussian;
        ConvertMessagesToOem();
    } else {
        Lang = kLangEnglish;
    }
}

void ConvertMessagesToOem() {
    for (ShortString& entry : Messages[kLangRussian - 1]) {
        std::string converted = platform::ConvertAnsiToOem(std::string_view(entry.text, entry.length));
        // A conversion that would not fit the entry keeps the stored text.
        if (converted.size() > sizeof entry.text) continue;
        std::memset(entry.text, 0, sizeof entry.text);
        std::memcpy(entry.text, converted.data(), converted.size());
        entry.length = static_cast<std::uint8_t>(converted.size());
    }
}

// ----------------------------------------------------------- standard output

namespace {

constexpr std::size_t kBufferSize = 128;

struct StandardOutput {
    bool open = false;
    bool console = false;
    char buffer[kBufferSize];
    std::size_t used = 0;
};

StandardOutput Out;

// Writes the buffer out; a failed write makes its code the result code and
// the buffered bytes are lost.
void WriteOutBuffer() {
    if (Out.used == 0) return;
    const int code = platform::WriteStandardOutput(Out.buffer, Out.used);
    Out.used = 0;
    if (code != 0) IoResult = code;
}

// Appends bytes to standard output, opening it first if need be. Returns
// false when the rest of the write is to be dropped.
bool Send(const char* data, std::size_t size) {
    if (!Out.open) {
        const platform::OutputKind kind = platform::OpenStandardOutput();
        if (kind == platform::OutputKind::Unusable) {
            IoResult = kCodeFileNotOpen;
            return false;
        }
        Out.open = true;
        Out.console = kind == platform::OutputKind::Console;
    }
    while (size != 0) {
        const std::size_t room = kBufferSize - Out.used;
        const std::size_t piece = size < room ? size : room;
        std::memcpy(Out.buffer + Out.used, data, piece);
        Out.used += piece;
        data += piece;
        size -= piece;
        if (Out.used == kBufferSize) {
            WriteOutBuffer();
            if (IoResult != 0) return false;
        }
    }
    return true;
}

void EndLine() {
    if (Send("\r\n", 2) && Out.console) WriteOutBuffer();
}

}  // namespace

void WriteConsoleText(int index, std::int32_t count) {
    const ShortString& entry = Messages[Lang - 1][index];
    bool sent = true;
    if (index == msgFilesFound || index == msgFilesCorrected) {
        char line[255 + 16];
        std::memcpy(line, entry.text, entry.length);
        const auto result = std::to_chars(line + entry.length, line + sizeof line, count);
        sent = Send(line, static_cast<std::size_t>(result.ptr - line));
    } else {
        sent = Send(entry.text, entry.length);
    }
    if (sent) EndLine();
    IoCheck();
}

void WriteEmptyLine() {
    EndLine();
    IoCheck();
}

void FlushStandardOutput() {
    if (Out.open) WriteOutBuffer();
}

void ResetStandardOutput() {
    Out = StandardOutput{};
}
