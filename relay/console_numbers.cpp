#include "relay/console_numbers.h"

#include <string>

#include "console/console_lists.h"
#include "core/game_list.h"
#include "relay/demo_viewer.h"
#include "relay/relay_games.h"

namespace vistrel {

namespace {

// The "Compressed Size" column of the games list, "Downloaded" of the user list.
constexpr size_t kCompressedSizeColumn = 4;
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
        const std::string bytes = std::to_string(CompressedBytes(*game));
        if (games.Column(row, kCompressedSizeColumn) != bytes) games.SetColumn(row, kCompressedSizeColumn, bytes);
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
