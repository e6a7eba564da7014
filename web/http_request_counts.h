// THttpRequestCounts: the HTTP side's answers by route and status, for the
// metrics page. A route is the route table's pattern of the row that
// answered ("/api/v1/games/{id}"), or "other" for an answer no row gave (an
// unknown path, a refusal before routing); a status is a code the server
// sends. Both sets are ours, so the series are few; still, no key beyond the
// first kMaxSeries gets a series of its own: it is counted under "other".
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace vistrel {

class THttpRequestCounts {
public:
    static constexpr size_t kMaxSeries = 256;
    static constexpr std::string_view kOtherRoute = "other";
    using TKey = std::pair<std::string, int>;

    // route: empty for none (counted as "other").
    void Count(std::string_view route, int status);
    // By route, then status.
    const std::map<TKey, uint64_t>& Counts() const noexcept { return counts_; }

private:
    std::map<TKey, uint64_t> counts_;
};

}  // namespace vistrel
