// The metrics of single games, each sample labelled with the game's
// identifier. Only games someone is filming or watching are shown: a relay
// that keeps thousands of finished recordings still exports a handful of
// series per live game, so the series count follows the live games.
#pragma once

namespace vistrel {

class TMainForm;
class TMetricsText;

void AppendGameMetrics(TMetricsText& out, const TMainForm& form);

}  // namespace vistrel
