#include "console/console_lists.h"

#include <algorithm>
#include <cstdint>

#include "core/game_list.h"

namespace vistrel {

namespace {

// Start and end (exclusive) of column i, if the line has it.
bool ColumnBounds(std::string_view line, size_t column, size_t& begin, size_t& end) noexcept {
    begin = 0;
    for (size_t k = 0; k < column; ++k) {
        size_t delim = line.find(kColumnDelimiter, begin);
        if (delim == std::string_view::npos) return false;
        begin = delim + 1;
    }
    // A delimiter at the very end starts no further column (column 0 always exists).
    if (column > 0 && begin == line.size()) return false;
    end = line.find(kColumnDelimiter, begin);
    if (end == std::string_view::npos) end = line.size();
    return true;
}

}  // namespace

size_t ColumnCount(std::string_view line) noexcept {
    size_t delimiters = 0;
    for (char c : line)
        if (c == kColumnDelimiter) ++delimiters;
    if (!line.empty() && line.back() == kColumnDelimiter) return delimiters;
    return delimiters + 1;
}

std::string_view ColumnText(std::string_view line, size_t column) noexcept {
    size_t begin = 0, end = 0;
    if (!ColumnBounds(line, column, begin, end)) return {};
    return line.substr(begin, end - begin);
}

std::string ReplaceColumn(std::string_view line, size_t column, std::string_view text) {
    std::string result(line);
    // Once the line ends with a delimiter, each one appended adds a column.
    while (ColumnCount(result) < column + 1) result += kColumnDelimiter;
    size_t begin = 0, end = 0;
    ColumnBounds(result, column, begin, end);
    result.replace(begin, end - begin, text);
    return result;
}

std::string ColumnSafe(std::string_view text) {
    std::string shown(text);
    std::replace(shown.begin(), shown.end(), kColumnDelimiter, ',');
    return shown;
}

int TListListeners::Subscribe(TListListener listener) {
    listeners_.emplace_back(next_handle_, std::move(listener));
    return next_handle_++;
}

void TListListeners::Unsubscribe(int handle) {
    for (auto& entry : listeners_)
        if (entry.first == handle) entry.second = nullptr;  // erased after any running Notify
}

void TListListeners::Notify(TListChange::TKind kind, int64_t index) {
    const TListChange change{kind, index};
    // By index over the count at entry: listeners may subscribe others while
    // being told, and those hear of the next change only.
    // A listener may also change the list again (a nested notice); entries
    // are only erased once the outermost notice is done.
    const size_t count = listeners_.size();
    ++depth_;
    try {
        for (size_t i = 0; i < count && i < listeners_.size(); ++i) {
            if (listeners_[i].second) {
                TListListener call = listeners_[i].second;  // survives its own unsubscribe
                call(change);
            }
        }
    } catch (...) {
        --depth_;
        throw;
    }
    if (--depth_ == 0) std::erase_if(listeners_, [](const auto& entry) { return !entry.second; });
}

const std::string& TRowList::Line(int32_t i) const {
    if (i < 0 || i >= Count()) throw EListError(i);
    return rows_[static_cast<size_t>(i)].Line;
}

TWSocketClient* TRowList::Link(int32_t i) const {
    if (i < 0 || i >= Count()) throw EListError(i);
    return rows_[static_cast<size_t>(i)].Link;
}

void TRowList::Append(std::string line, TWSocketClient* link) {
    rows_.push_back(TRow{std::move(line), link});
    listeners_.Notify(TListChange::TKind::RowAppended, Count() - 1);
}

void TRowList::SetColumn(int32_t i, size_t column, std::string_view text) {
    SetLine(i, ReplaceColumn(Line(i), column, text));
}

void TRowList::SetLine(int32_t i, std::string line) {
    Line(i);
    rows_[static_cast<size_t>(i)].Line = std::move(line);
    listeners_.Notify(TListChange::TKind::RowChanged, i);
}

void TRowList::SetLink(int32_t i, TWSocketClient* link) {
    Line(i);
    rows_[static_cast<size_t>(i)].Link = link;
    listeners_.Notify(TListChange::TKind::RowChanged, i);
}

void TRowList::Delete(int32_t i) {
    Line(i);
    rows_.erase(rows_.begin() + i);
    listeners_.Notify(TListChange::TKind::RowRemoved, i);
}

int32_t TRowList::IndexOfLink(const TWSocketClient* conn) const noexcept {
    if (conn == nullptr) return -1;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].Link == conn) return static_cast<int32_t>(i);
    return -1;
}

const std::string& TLogLines::Line(int64_t i) const {
    if (i < first_ || i >= Count()) throw EListError(static_cast<int32_t>(std::clamp<int64_t>(i, INT32_MIN, INT32_MAX)));
    return lines_[static_cast<size_t>(i - first_)];
}

void TLogLines::Append(std::string line) {
    lines_.push_back(std::move(line));
    if (static_cast<int64_t>(lines_.size()) > kKeptLines) {
        lines_.pop_front();
        ++first_;
    }
    listeners_.Notify(TListChange::TKind::LineAppended, Count() - 1);
}

void TConsoleLists::AddGameRow(int32_t id, TWSocketClient* sender, const std::string& peerAddr) {
    games_.Append(std::to_string(id) + ";;;;0;0;" + peerAddr + ";;0;0;", sender);
    // Appending moves no other row; the first row showing a game stays the one found.
    game_rows_.emplace(id, games_.Count() - 1);
}

int32_t TConsoleLists::IndexOfGameRow(int32_t id) const {
    const std::string key = std::to_string(id);
    const auto known = game_rows_.find(id);
    if (known != game_rows_.end() && known->second < games_.Count() && games_.Column(known->second, 0) == key)
        return known->second;
    // Rows added, removed or changed since: one walk renews them all. The
    // first row showing a game is the one found, as before.
    game_rows_.clear();
    int32_t found = -1;
    for (int32_t i = games_.Count() - 1; i >= 0; --i) {
        const int32_t rowId = GameIdOfRow(i);
        if (rowId != 0) game_rows_[rowId] = i;
        if (rowId == id || (rowId == 0 && games_.Column(i, 0) == key)) found = i;
    }
    return found;
}

int32_t TConsoleLists::GameIdOfRow(int32_t row) const {
    if (row < 0 || row >= games_.Count()) return 0;
    // Column 0 is written by AddGameRow alone, from the identifier.
    int32_t id = 0;
    for (char c : games_.Column(row, 0)) {
        if (c < '0' || c > '9' || id > (INT32_MAX - (c - '0')) / 10) return 0;
        id = id * 10 + (c - '0');
    }
    return id;
}

void TConsoleLists::SetGameColumns(int32_t id, const TGameColumns& columns) {
    int32_t row = IndexOfGameRow(id);
    if (row < 0) return;
    const std::optional<std::string_view>* texts[] = {&columns.Name,           &columns.Label, &columns.Mod,
                                                      &columns.CompressedSize, &columns.Users, &columns.Sender};
    std::string line = games_.Line(row);
    bool changed = false;
    for (size_t k = 0; k < std::size(texts); ++k) {
        const std::optional<std::string_view>& text = *texts[k];
        if (!text || text->empty()) continue;
        line = ReplaceColumn(line, k + 1, ColumnSafe(*text));
        changed = true;
    }
    // One change notice for the whole update, not one per column.
    if (changed) games_.SetLine(row, std::move(line));
}

void TConsoleLists::UnlinkGameRow(const TWSocketClient* sender) {
    int32_t row = games_.IndexOfLink(sender);
    if (row >= 0) games_.SetLink(row, nullptr);
}

void TConsoleLists::AddViewerRow(TWSocketClient* viewer, const std::string& peerAddr) {
    users_.Append("unknown;" + peerAddr + ";0", viewer);
}

void TConsoleLists::SetViewerName(const TWSocketClient* viewer, std::string_view name) {
    if (name.empty()) return;
    int32_t row = users_.IndexOfLink(viewer);
    if (row >= 0) users_.SetColumn(row, 0, ColumnSafe(name));
}

void TConsoleLists::RemoveViewerRow(const TWSocketClient* viewer) {
    int32_t row = users_.IndexOfLink(viewer);
    if (row >= 0) users_.Delete(row);
}

}  // namespace vistrel
