#include "locate/ini.h"

namespace {

// Space, the control characters TAB to CR, and Ctrl-Z (an old end-of-file
// mark that some editors leave behind).
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || c == '\x1A'; }

std::string_view TrimStart(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    return text;
}

std::string_view TrimEnd(std::string_view text) {
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Names and values are zero-terminated strings to the profile functions: a
// NUL byte in the file ends them.
std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

std::string ParseIniString(std::string_view content, std::string_view section, std::string_view key) {
    if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);

    bool inSection = false;
    while (!content.empty()) {
        // Every line is looked at once and every search stays inside it, so
        // the whole read is linear. A run of CRs and LFs leaves empty lines,
        // which are skipped.
        const std::size_t end = content.find_first_of("\r\n");
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);

        line = TrimEnd(TrimStart(line));
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close != std::string_view::npos) {
                // The next header ends the first section of the name: a later
                // section of the same name is not searched.
                if (inSection) return "";
                // Blanks inside the brackets are dropped before a NUL byte
                // cuts the name: "[ Server ]" is the section Server.
                inSection = SameName(UpToNul(TrimEnd(TrimStart(line.substr(1, close - 1)))), section);
                continue;
            }
            // Without its "]" the line is no header but a key line of the
            // section it stands in.
        }
        if (!inSection) continue;

        const std::size_t equals = line.find('=');
        const std::string_view name = equals == std::string_view::npos ? line : TrimEnd(line.substr(0, equals));
        if (!SameName(UpToNul(name), key)) continue;
        if (equals == std::string_view::npos) return "";

        std::string_view value = UpToNul(TrimStart(line.substr(equals + 1)));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return "";
}
