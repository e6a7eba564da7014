// The operator's commands on the games list and the user list. Each takes
// the indices of the selected rows, so the window and the tests run the same
// code. Errors (a failing close or send) reach the caller, which reports them.
#include <string>
#include <vector>

#include "core/game_list.h"
#include "core/protocol.h"
#include "relay/main_form.h"
#include "relay/close_reason.h"
#include "relay/demo_viewer.h"

namespace vistrel {

namespace {

// Row i of a list of `count` rows is selected; indices outside are ignored.
std::vector<bool> Selection(const std::vector<int32_t>& rows, int32_t count) {
    std::vector<bool> selected(static_cast<size_t>(count > 0 ? count : 0), false);
    for (int32_t row : rows)
        if (row >= 0 && row < count) selected[static_cast<size_t>(row)] = true;
    return selected;
}

}  // namespace

// The three commands on rows are adapters: the selected rows become games
// or viewers, and each goes through the command by identifier that the
// HTTP side calls too.

void TMainForm::HaltTransfer1Click(const std::vector<int32_t>& selectedRows) {
    const TRowList& rows = console_.Games();
    const std::vector<bool> selected = Selection(selectedRows, rows.Count());
    for (int32_t i = 0; i < rows.Count(); ++i)
        if (selected[static_cast<size_t>(i)]) HaltGame(console_.GameIdOfRow(i));
}

void TMainForm::DeleteGame1Click(const std::vector<int32_t>& selectedRows) {
    const TRowList& rows = console_.Games();
    const std::vector<bool> selected = Selection(selectedRows, rows.Count());
    std::vector<int32_t> ids;
    for (int32_t i = rows.Count() - 1; i >= 0; --i)
        if (selected[static_cast<size_t>(i)]) ids.push_back(console_.GameIdOfRow(i));
    for (int32_t id : ids) DeleteGame(id);
}

void TMainForm::KickUser1Click(const std::vector<int32_t>& selectedRows) {
    const TRowList& rows = console_.Users();
    const std::vector<bool> selected = Selection(selectedRows, rows.Count());
    std::vector<uint64_t> ids;
    for (int32_t i = rows.Count() - 1; i >= 0; --i)
        if (selected[static_cast<size_t>(i)])
            if (const auto* viewer = static_cast<const TDemoViewer*>(rows.Link(i))) ids.push_back(viewer->Seq);
    for (uint64_t id : ids) KickViewer(id);
}

bool TMainForm::HaltGame(int32_t gameId) {
    TActiveGameList* game = games_.Find(gameId);
    TWSocketClient* sender = game ? game->Sender() : nullptr;
    if (!sender || sender->State() != wsConnected) return false;
    // The game and its row stay; the sender's disconnect unlinks the row.
    game->SetHalted(true);
    NoteCloseReason(*sender, TCloseReason::Kicked);
    sender->Close();
    return true;
}

bool TMainForm::DeleteGame(int32_t gameId) {
    TGameList* games = games_.List();
    const int32_t index = games ? games->IndexOfId(gameId) : -1;
    if (index < 0) return false;
    const int32_t row = console_.IndexOfGameRow(gameId);
    if (TWSocketClient* sender = games->At(index).Sender()) {
        NoteCloseReason(*sender, TCloseReason::Kicked);
        sender->Close();
    }
    // Its viewers are closed in connection order; their disconnects come
    // later and find no game. A copy: the list is dropped below.
    const TGameViewers::List watching = games_.Viewers().Of(gameId);
    for (TDemoViewer* viewer : watching) {
        viewer->CloseReason = TCloseReason::Kicked;
        viewer->Close();
    }
    const TSharedBytes removed(BuildGameRemoved(gameId));
    for (int32_t v = 0; v < demo_viewers_.ClientCount(); ++v)
        output_.SendToViewer(*static_cast<TDemoViewer*>(demo_viewers_.Client(v)), removed);
    games_.Viewers().Drop(gameId);
    descriptions_.ForgetGame(gameId);
    crowd_.ForgetGame(gameId);
    games->Delete(index);
    // Its recording goes with it.
    recording_.RemoveGame(gameId);
    if (row >= 0) console_.Games().Delete(row);
    return true;
}

bool TMainForm::KickViewer(uint64_t viewerId) {
    for (int32_t i = 0; i < demo_viewers_.ClientCount(); ++i) {
        auto* viewer = static_cast<TDemoViewer*>(demo_viewers_.Client(i));
        if (viewer->Seq != viewerId || viewer->State() != wsConnected) continue;
        // Nothing is sent first; the disconnect tells the game and drops the row.
        NoteCloseReason(*viewer, TCloseReason::Kicked);
        viewer->Close();
        return true;
    }
    return false;
}

bool TMainForm::MuteViewer(uint64_t viewerId, bool muted) {
    for (int32_t i = 0; i < demo_viewers_.ClientCount(); ++i) {
        auto* viewer = static_cast<TDemoViewer*>(demo_viewers_.Client(i));
        if (viewer->Seq != viewerId || viewer->State() != wsConnected) continue;
        viewer->Muted = muted;
        return true;
    }
    return false;
}

}  // namespace vistrel
