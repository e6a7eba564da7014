#include "relay/relay_limits.h"

#include <cstdio>
#include <iterator>

namespace vistrel {

std::string FormatByteSize(size_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string DescribeMemoryBudget(const TMemoryBudget& budget) {
    std::string text = "Memory budget: ";
    if (budget.Stored == 0 && budget.ConnectionBuffers == 0) return text + "no limit";
    const auto part = [](size_t bytes) { return bytes == 0 ? std::string("no limit") : FormatByteSize(bytes); };
    return text + part(budget.Stored) + " for stored games, " + part(budget.ConnectionBuffers) +
           " for connection buffers";
}

}  // namespace vistrel
