// The metrics page (GET /metrics): the relay's counts, its memory budget and
// connection buffers, the single games someone films or watches, the
// histograms of the distribution tick, the viewers' lag and the joins' wait,
// the recordings, the HTTP side's own counts and whatever the layer above
// adds (edge mode's health), in the Prometheus text format (metrics_text.h).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "relay/main_form.h"
#include "web/http_server.h"
#include "web/origin_routes.h"

namespace vistrel {

class TMetricsText;

// Families a layer above the HTTP side adds to the page (edge mode's).
using TMoreMetrics = std::function<void(TMetricsText& out)>;

// The page; version is the program's, for vistrel_build_info.
std::string MetricsPage(const TMainForm& form, const THttpServer& server, const TOriginRoutes& origin,
                        std::chrono::system_clock::time_point started, std::string_view version,
                        const TMoreMetrics& more = {});

}  // namespace vistrel
