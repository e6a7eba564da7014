#include "web/route_table.h"

#include <algorithm>

#include "base/whole_number.h"

namespace vistrel {

namespace {

struct TMethodName {
    TMethods Bit;
    std::string_view Name;
};

// In the order Allow headers name them.
constexpr TMethodName kMethodNames[] = {
    {kGet, "GET"}, {kHead, "HEAD"}, {kPost, "POST"}, {kPut, "PUT"}, {kDelete, "DELETE"}};

// The next segment of a path (skipping empty ones) taken off its front.
bool NextSegment(std::string_view& path, std::string_view& segment) noexcept {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (path.empty()) return false;
    const size_t end = std::min(path.find('/'), path.size());
    segment = path.substr(0, end);
    path.remove_prefix(end);
    return true;
}

bool IsNumberSegment(std::string_view segment) noexcept {
    return segment.size() >= 2 && segment.front() == '{' && segment.back() == '}';
}

}  // namespace

TMethods MethodOf(std::string_view method) noexcept {
    for (const TMethodName& m : kMethodNames)
        if (m.Name == method) return m.Bit;
    return 0;
}

std::string AllowText(TMethods methods) {
    std::string text;
    for (const TMethodName& m : kMethodNames) {
        if ((methods & m.Bit) == 0) continue;
        if (!text.empty()) text += ", ";
        text += m.Name;
    }
    return text;
}

std::vector<std::string_view> SplitPath(std::string_view path) {
    std::vector<std::string_view> segments;
    for (std::string_view segment; NextSegment(path, segment);) segments.push_back(segment);
    return segments;
}

bool MatchPattern(std::string_view pattern, std::span<const std::string_view> path, int64_t idMax,
                  TPathNumbers& numbers) noexcept {
    TPathNumbers taken;
    size_t i = 0;
    for (std::string_view wanted; NextSegment(pattern, wanted); ++i) {
        if (i == path.size()) return false;
        if (!IsNumberSegment(wanted)) {
            if (wanted != path[i]) return false;
            continue;
        }
        if (taken.Count == TPathNumbers::kMax) return false;
        if (!ParseWholeNumber(path[i], taken.Values[taken.Count], 0, idMax)) return false;
        ++taken.Count;
    }
    if (i != path.size()) return false;
    numbers = taken;
    return true;
}

}  // namespace vistrel
