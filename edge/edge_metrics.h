// Edge mode's health on the metrics page: whether the origin answers, how
// long since a request to it last succeeded, its failed requests by reason
// (every reason always shown) and how far the mirrored games are behind
// what the origin shows. Only a relay that mirrors an origin has them: the
// front end hands them to TWebApi::SetMoreMetrics.
#pragma once

namespace vistrel {

class TMetricsText;
class TOriginMirror;

void AppendEdgeMetrics(TMetricsText& out, const TOriginMirror& mirror);

}  // namespace vistrel
