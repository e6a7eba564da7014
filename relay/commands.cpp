// The operator's commands on the games list and the user list. Each takes
// the indices of the selected rows, so the window and the tests run the same
// code. Errors (a failing close or send) reach the caller, which reports them.
#include <charconv>
#include <string>
#include <vector>

#include "relay/demo_viewer.h"
#include "core/game_list.h"
#include "relay/main_form.h"
#include "core/protocol.h"

namespace vistrel {

namespace {

// Row i of a list of `count` rows is selected; indices outside are ignored.
std::vector<bool> Selection(const std::vector<int32_t>& rows, int32_t count) {
    std::vector<bool> selected(static_cast<size_t>(count > 0 ? count : 0), false);
    for (int32_t row : rows)
        if (row >= 0 && row < count) selected[static_cast<size_t>(row)] = true;
    return selected;
}

bool ParseGameId(std::string_view text, int32_t& id) {
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(text.data(), end, id);
    return ec == std::errc() && at == end;
}

}  // namespace

void TMainForm::HaltTransfer1Click(const std::vector<int32_t>& selectedRows) {
    TRowList& rows = console_.Games();
    const std::vector<bool> selected = Selection(selectedRows, rows.Count());
    // The game and its row stay; the sender's disconnect unlinks the row.
    for (int32_t i = 0; i < rows.Count(); ++i)
        if (selected[static_cast<size_t>(i)])
            if (TWSocketClient* sender = rows.Link(i)) {
                NoteCloseReason(*sender, TCloseReason::Kicked);
                sender->Close();
            }
}

void TMainForm::DeleteGame1Click(const std::vector<int32_t>& selectedRows) {
    TRowList& rows = console_.Games();
    const std::vector<bool> selected = Selection(selectedRows, rows.Count());
    for (int32_t i = rows.Count() - 1; i >= 0; --i) {
        if (!selected[static_cast<size_t>(i)]) continue;
        int32_t id = 0;
        if (!games_ || !ParseGameId(rows.Column(i, 0), id)) continue;
        const int32_t index = games_->IndexOfId(id);
        if (index < 0) continue;
        RemoveGame(index, i);
    }
}

void TMainForm::RemoveGame(int32_t index, int32_t row) {
    if (!games_ || index < 0 || index >= games_->Count()) return;
    const int32_t id = games_->At(index).Identifier();
    TRowList& rows = console_.Games();
    if (row >= 0)
        if (TWSocketClient* sender = rows.Link(row)) {
            NoteCloseReason(*sender, TCloseReason::Kicked);
            sender->Close();
        }
    // Its viewers are closed in connection order; their disconnects come
    // later and find no game. A copy: the list is dropped below.
    const TGameViewers::List watching = game_viewers_.Of(id);
    for (TDemoViewer* viewer : watching) {
        viewer->CloseReason = TCloseReason::Kicked;
        viewer->Close();
    }
    const TSharedBytes removed(BuildGameRemoved(id));
    for (int32_t v = 0; v < demo_viewers_.ClientCount(); ++v)
        SendToViewer(*static_cast<TDemoViewer*>(demo_viewers_.Client(v)), removed);
    game_viewers_.Drop(id);
    ForgetDescriptions(id);
    games_->Delete(index);
    // Its recording goes with it.
    if (recorder_) recorder_->RemoveGame(id);
    if (row >= 0) rows.Delete(row);
}

void TMainForm::KickUser1Click(const std::vector<int32_t>& selectedRows) {
    TRowList& rows = console_.Users();
    const std::vector<bool> selected = Selection(selectedRows, rows.Count());
    // Nothing is sent first; the disconnect tells the game and drops the row.
    for (int32_t i = rows.Count() - 1; i >= 0; --i)
        if (selected[static_cast<size_t>(i)])
            if (TWSocketClient* viewer = rows.Link(i)) {
                NoteCloseReason(*viewer, TCloseReason::Kicked);
                viewer->Close();
            }
}

}  // namespace vistrel
