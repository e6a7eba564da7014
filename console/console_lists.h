// The operator-facing data the relay reports to: the games list, the user
// list (rows of ";"-separated columns, each row with an optional non-owning
// link to a connection) and the server's log lines. Owned by the relay frame;
// the relay calls the row operations, the operator commands read and
// delete rows, and a view (the Qt window) subscribes to learn what changed.
// Texts are stored as the 8-bit bytes they arrived as; no conversion here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vistrel {

class TWSocketClient;

inline constexpr char kColumnDelimiter = ';';

// Column i is the text after the i-th ";" up to the next ";" or the line's
// end; a ";" at the very end of the line starts no further column.
size_t ColumnCount(std::string_view line) noexcept;
// Empty when the line has no column i.
std::string_view ColumnText(std::string_view line, size_t column) noexcept;
// Replaces column i (appending ";" until it exists); every other character
// stays. A ";" inside text is stored as it is.
std::string ReplaceColumn(std::string_view line, size_t column, std::string_view text);
// A text shown in one column: every ";" in it becomes ",", so a name from the
// network can never make a column of its own.
std::string ColumnSafe(std::string_view text);

// What changed in a list, for a view to redraw.
struct TListChange {
    enum class TKind { RowAppended, RowChanged, RowRemoved, LineAppended };
    TKind Kind;
    int64_t Index;  // the row or line concerned (a line's number, see TLogLines)
};
using TListListener = std::function<void(const TListChange&)>;

// Listeners of one list. A listener may subscribe or unsubscribe others (or
// itself) while being told of a change.
class TListListeners {
public:
    // Returns a handle for Unsubscribe.
    int Subscribe(TListListener listener);
    void Unsubscribe(int handle);
    void Notify(TListChange::TKind kind, int64_t index);

private:
    std::vector<std::pair<int, TListListener>> listeners_;
    int next_handle_ = 1;
    int depth_ = 0;
};

// Rows in the order they were appended; never sorted.
class TRowList {
public:
    int32_t Count() const noexcept { return static_cast<int32_t>(rows_.size()); }
    // Index outside 0..Count()-1: EListError (core/game_list.h).
    const std::string& Line(int32_t i) const;
    TWSocketClient* Link(int32_t i) const;
    std::string_view Column(int32_t i, size_t column) const { return ColumnText(Line(i), column); }

    void Append(std::string line, TWSocketClient* link);
    void SetColumn(int32_t i, size_t column, std::string_view text);
    void SetLine(int32_t i, std::string line);
    void SetLink(int32_t i, TWSocketClient* link);
    void Delete(int32_t i);

    // First row linked to conn, or -1 (nullptr never matches).
    int32_t IndexOfLink(const TWSocketClient* conn) const noexcept;

    // Subscribing to the notices does not change the rows, so a read-only
    // view of the list may subscribe.
    TListListeners& Listeners() const noexcept { return listeners_; }

private:
    struct TRow {
        std::string Line;
        TWSocketClient* Link;
    };
    std::vector<TRow> rows_;
    mutable TListListeners listeners_;
};

// The server's log: ordered lines, only ever appended. Each line is numbered
// from 0 in the order appended; only the newest kKeptLines stay in memory
// for views that read back (the window, the web page), since a relay that
// runs for weeks logs every connection. A subscriber hears of each line as
// it is appended, so stdout and the journal still get every one.
class TLogLines {
public:
    static constexpr int64_t kKeptLines = 4096;

    // Lines ever appended, and the number of the oldest one still kept.
    int64_t Count() const noexcept { return first_ + static_cast<int64_t>(lines_.size()); }
    int64_t First() const noexcept { return first_; }
    // Line i, for First() <= i < Count(); raises EListError otherwise.
    const std::string& Line(int64_t i) const;
    // The lines kept, oldest first.
    const std::deque<std::string>& Lines() const noexcept { return lines_; }
    void Append(std::string line);
    // As for TRowList: a read-only view may subscribe.
    TListListeners& Listeners() const noexcept { return listeners_; }

private:
    std::deque<std::string> lines_;
    int64_t first_ = 0;
    mutable TListListeners listeners_;
};

// The games list columns after the identifier; a column left unset (or set
// to an empty text) keeps what it shows.
struct TGameColumns {
    std::optional<std::string_view> Name = std::nullopt;
    std::optional<std::string_view> Label = std::nullopt;
    std::optional<std::string_view> Mod = std::nullopt;
    std::optional<std::string_view> CompressedSize = std::nullopt;
    std::optional<std::string_view> Users = std::nullopt;
    std::optional<std::string_view> Sender = std::nullopt;
};

// Both lists and the log, with the row operations the relay calls. The texts
// these operations write are shown ColumnSafe: a ";" in a name, mod or game
// name reads as ",".
class TConsoleLists {
public:
    TRowList& Games() noexcept { return games_; }
    const TRowList& Games() const noexcept { return games_; }
    TRowList& Users() noexcept { return users_; }
    const TRowList& Users() const noexcept { return users_; }
    TLogLines& Log() noexcept { return log_; }
    const TLogLines& Log() const noexcept { return log_; }

    // Games list columns: ID;Name;Game;Mod;Compressed Size;Users;Sender;
    // Delay;Packets;Visible (the broadcast delay in seconds, the packets
    // stored and those viewers may see; kept current by the relay's ticks).
    void AddGameRow(int32_t id, TWSocketClient* sender, const std::string& peerAddr);
    void SetGameColumns(int32_t id, const TGameColumns& columns);
    void UnlinkGameRow(const TWSocketClient* sender);
    // The row showing game id (column 0 equal to id in decimal), or -1.
    // Rows are remembered by game, so that finding one among ten thousand
    // costs what it does among ten (the numbers of every row are brought up
    // to date each tick); what is remembered is checked against the row, and
    // a walk of the list renews it when the rows have moved.
    int32_t IndexOfGameRow(int32_t id) const;
    // The game a row shows; 0 for a row index outside the list.
    int32_t GameIdOfRow(int32_t row) const;

    // User list columns: User Name;User IP;Downloaded
    void AddViewerRow(TWSocketClient* viewer, const std::string& peerAddr);
    void SetViewerName(const TWSocketClient* viewer, std::string_view name);
    void RemoveViewerRow(const TWSocketClient* viewer);

private:
    TRowList games_;
    TRowList users_;
    TLogLines log_;
    mutable std::unordered_map<int32_t, int32_t> game_rows_;
};

}  // namespace vistrel
