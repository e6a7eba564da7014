// The settings file reader over arbitrary bytes. Beyond not crashing: a text
// the reader accepts, written back by the writer, must read back to the same
// keys and values, and writing that again must give the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/registry_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    vistrel::TRegistryData parsed;
    try {
        parsed = vistrel::ParseRegistryText(text);
    } catch (const vistrel::ERegistryFormatError& e) {
        if (e.Line() < 1 || e.Reason().empty()) std::abort();
        return 0;
    }
    std::string written = vistrel::FormatRegistryText(parsed);
    vistrel::TRegistryData reread;
    try {
        reread = vistrel::ParseRegistryText(written);
    } catch (const vistrel::ERegistryFormatError&) {
        std::abort();  // the reader refused what the writer wrote
    }
    if (!(reread == parsed)) std::abort();
    if (vistrel::FormatRegistryText(reread) != written) std::abort();
    return 0;
}
