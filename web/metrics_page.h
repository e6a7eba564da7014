// The metrics page (GET /metrics): the relay's counts, its memory budget and
// connection buffers, the distribution tick's histogram, the recordings and
// the HTTP side's own counts, in the Prometheus text format (metrics_text.h).
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "relay/main_form.h"
#include "web/http_server.h"
#include "web/origin_routes.h"

namespace vistrel {

// The page; version is the program's, for vistrel_build_info.
std::string MetricsPage(const TMainForm& form, const THttpServer& server, const TOriginRoutes& origin,
                        std::chrono::system_clock::time_point started, std::string_view version);

}  // namespace vistrel
