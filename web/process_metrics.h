// The families every Prometheus exporter is expected to have, so that shared
// dashboards and alert rules work unchanged: the standard process_* set of
// the relay's own process (memory, CPU, descriptors, start time), read from
// the kernel at each scrape, and vistrel_build_info carrying the version.
#pragma once

#include <chrono>
#include <string_view>

namespace vistrel {

class TMetricsText;

void AppendProcessMetrics(TMetricsText& out, std::string_view version, std::chrono::system_clock::time_point started);

}  // namespace vistrel
