// Fuzzes the INI reader with hostile files: it must never crash, read past
// its input or take more than linear time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "locate/ini.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const std::string value = ParseIniString(content, "Server", "Spool Path");
    // The value is a piece of the input: never longer than it.
    if (value.size() > size) __builtin_trap();
    return 0;
}
