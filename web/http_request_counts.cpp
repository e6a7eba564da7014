#include "web/http_request_counts.h"

namespace vistrel {

void THttpRequestCounts::Count(std::string_view route, int status) {
    TKey key{std::string(route.empty() ? kOtherRoute : route), status};
    auto it = counts_.find(key);
    if (it == counts_.end()) {
        if (counts_.size() >= kMaxSeries) key.first = kOtherRoute;
        it = counts_.try_emplace(std::move(key), 0).first;
    }
    ++it->second;
}

}  // namespace vistrel
