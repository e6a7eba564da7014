#include "relay/console_numbers.h"

#include <string>
#include <utility>

#include "core/game_list.h"
#include "console/console_lists.h"
#include "relay/broadcast_delay.h"
#include "relay/demo_viewer.h"
#include "relay/relay_games.h"

namespace vistrel {

namespace {

// The numbered columns of the games list, and "Downloaded" of the user list.
constexpr size_t kCompressedSizeColumn = 4;
constexpr size_t kDelayColumn = 7;
constexpr size_t kPacketsColumn = 8;
constexpr size_t kVisibleColumn = 9;
constexpr size_t kDownloadedColumn = 2;

// The stored packets' own bytes: the registry also counts each entry's cost.
uint64_t CompressedBytes(const TActiveGameList& game) {
    return game.StoredBytes() - static_cast<uint64_t>(game.Count()) * kStoredEntryOverhead;
}

}  // namespace

void TConsoleNumbers::Refresh() {
    TRowList& games = console_.Games();
    for (int32_t row = 0; row < games.Count(); ++row) {
        const TActiveGameList* game = games_.Find(console_.GameIdOfRow(row));
        if (!game) continue;
        const int32_t stored = game->StoredCount();
        const std::pair<size_t, std::string> numbers[] = {
            {kCompressedSizeColumn, std::to_string(CompressedBytes(*game))},
            {kDelayColumn, std::to_string(delay_.DelaySeconds())},
            {kPacketsColumn, std::to_string(stored)},
            {kVisibleColumn, std::to_string(stored - delay_.HeldBack(*game))},
        };
        std::string line = games.Line(row);
        bool changed = false;
        for (const auto& [column, text] : numbers) {
            if (ColumnText(line, column) == text) continue;
            line = ReplaceColumn(line, column, text);
            changed = true;
        }
        if (changed) games.SetLine(row, std::move(line));
    }
    // Walked by row, not looked up per viewer: a crowd costs one pass.
    TRowList& users = console_.Users();
    for (int32_t row = 0; row < users.Count(); ++row) {
        auto* viewer = static_cast<TDemoViewer*>(users.Link(row));
        if (!viewer || viewer->BytesSent == viewer->BytesShown) continue;
        viewer->BytesShown = viewer->BytesSent;
        users.SetColumn(row, kDownloadedColumn, std::to_string(viewer->BytesSent));
    }
}

}  // namespace vistrel
