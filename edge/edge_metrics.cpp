#include "edge/edge_metrics.h"

#include <chrono>
#include <cstdint>

#include "web/metrics_text.h"
#include "edge/origin_mirror.h"

namespace vistrel {

namespace {

const char* const kFetchErrorNames[kEdgeFetchErrorCount] = {"connect",  "timeout",   "http_status",
                                                            "bad_body", "too_large", "other"};

}  // namespace

void AppendEdgeMetrics(TMetricsText& out, const TOriginMirror& mirror) {
    out.Family("vistrel_edge_origin_up", "gauge",
               "1 when the origin answered the last reading of its game list, else 0.");
    out.Sample("vistrel_edge_origin_up", uint64_t{mirror.ListPolls() > 0 && mirror.OriginReachable()});
    out.Family("vistrel_edge_last_good_fetch_age_seconds", "gauge",
               "Seconds since a request to the origin (its game list, a segment) last succeeded; before the first, "
               "since mirroring started.");
    out.Sample("vistrel_edge_last_good_fetch_age_seconds",
               std::chrono::duration<double>(mirror.LastGoodFetchAge()).count());
    out.Family("vistrel_edge_fetch_errors_total", "counter", "Requests to the origin that failed, by reason.");
    for (size_t r = 0; r < kEdgeFetchErrorCount; ++r)
        out.Sample("vistrel_edge_fetch_errors_total", {{"reason", kFetchErrorNames[r]}},
                   mirror.FetchErrors(static_cast<TEdgeFetchError>(r)));
    out.Family("vistrel_edge_behind_origin_packets", "gauge",
               "Over the mirrored games, packets the origin shows as visible that this relay has not stored yet.");
    out.Sample("vistrel_edge_behind_origin_packets", mirror.BehindOrigin());
}

}  // namespace vistrel
