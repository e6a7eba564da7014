// The game registry: every game opened since start-up with its stored demo.
// TGameList owns its games; a game owns its stored packets and links to its
// sender's connection without owning it (the sender's disconnect handler
// clears the link). Owned by the relay frame; used by the sender and viewer
// handling, the distribution and the operator commands. No sockets here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "base/shared_bytes.h"

namespace vistrel {

class TGameList;
class TWSocketClient;

// An index outside a list: "List index out of bounds (<index>)".
class EListError : public Exception {
public:
    explicit EListError(int64_t index);
};

// A location so far beyond a demo's end that storing it would open more
// gaps than we allow. Raised before anything is stored; the sender handling
// logs it and closes that sender.
class ELocationTooFar : public Exception {
public:
    ELocationTooFar(int32_t location, int32_t count);
};

// A store that would leave a demo with more missing locations than we allow.
// Raised before anything is stored, like ELocationTooFar.
class ETooManyGaps : public Exception {
public:
    ETooManyGaps(int32_t location, int32_t gaps);
};

// At most this many gaps are opened by one stored packet.
inline constexpr int32_t kMaxGapsPerStore = 65536;
// At most this many locations of one demo are missing (gaps) at any time,
// counted over the whole demo.
inline constexpr int32_t kMaxMissingLocations = 65536;

// Whether a packet may be stored at a location, and if not, why.
enum class TLocationCheck {
    Fits,
    Negative,     // before the demo's start
    TooFar,       // more than kMaxGapsPerStore gaps opened at once
    TooManyGaps,  // the demo would miss more than kMaxMissingLocations locations
};

// One entry of a stored demo: a whole packet as received, or empty: a gap
// (nothing was ever stored there) or a packet paged out (released from
// memory; it is in the game's recording and is read back before it is sent).
// The bytes are shared with the send queues that are sending them, so
// handing a packet to many viewers copies nothing.
struct TPacketState {
    TSharedBytes Data;
    // When the packet was acknowledged (stored), in wall-clock milliseconds
    // since 1970; 0 for a gap and for a packet of a recording that did not
    // keep the time. Kept while paged out: the broadcast delay counts from it.
    int64_t AckMs = 0;
    int32_t Tag = 0;  // 6: opened for a DEMOPACKET, 10: for a DEMORESTART
    // The CRC of the packet's record at this location (PacketRecordCrc),
    // once someone asked for it; kept while the packet is paged out.
    uint32_t RecordCrc = 0;
    bool RecordCrcKnown = false;
    bool PagedOut = false;
    // Paged out, and its last read back failed: still stored (its record may
    // be readable again), but passed over by viewers like a gap.
    bool Unreadable = false;
};

// What the registry counts for the memory it holds, beside every stored
// packet's own bytes: each entry of a demo (gaps too) costs its slot in the
// demo plus a heap block header, each game its record, its name and mod, the
// registry's pointer to it and their heap block headers, rounded up.
inline constexpr size_t kStoredEntryOverhead = sizeof(TPacketState) + 16;
// A stored packet's bookkeeping stays small beside the packet itself.
static_assert(kStoredEntryOverhead <= 64);
inline constexpr size_t kGameRecordOverhead = 512;

// An indexed sequence of stored packets. Entries are kept compact: a stored
// packet costs its own bytes plus the entry, its shared buffer's header and
// their heap block headers; a gap costs the entry alone. StoredBytes()
// counts the packets' bytes plus kStoredEntryOverhead per entry; a list in a
// TGameList also keeps the registry's total up to date.
class TPacketList {
public:
    TPacketList() = default;
    TPacketList(const TPacketList&) = delete;
    TPacketList& operator=(const TPacketList&) = delete;
    virtual ~TPacketList() = default;

    int32_t Count() const noexcept { return static_cast<int32_t>(entries_.size()); }
    // The stored packets' bytes plus the entries' overhead.
    size_t StoredBytes() const noexcept { return stored_bytes_; }
    // Throw EListError for an index outside 0..Count()-1.
    int32_t Tag(int32_t i) const;
    std::string_view Data(int32_t i) const;
    // The same bytes as a shared buffer (empty for a gap): a packet replaced
    // or deleted stays alive for those still sending it.
    const TSharedBytes& SharedData(int32_t i) const;

    void Append(std::string_view data, int32_t tag);
    void SetData(int32_t i, std::string_view data);
    void Delete(int32_t i);

    // Store a whole packet at location: gaps (empty entries with the given
    // tag) are appended up to it, then its data is replaced. A negative
    // location throws EListError, a location more than kMaxGapsPerStore past
    // Count() throws ELocationTooFar, one that would leave more than
    // kMaxMissingLocations gaps throws ETooManyGaps; all before anything
    // changes.
    // ackMs: when it was acknowledged (TPacketState::AckMs).
    void StorePacketAt(int32_t location, std::string_view packet, int32_t tag, int64_t ackMs = 0);
    // Whether storing at location would open more than kMaxGapsPerStore gaps.
    bool IsTooFar(int32_t location) const noexcept {
        return static_cast<int64_t>(location) > static_cast<int64_t>(Count()) + kMaxGapsPerStore;
    }
    // What StorePacketAt would answer for a packet at location (Negative
    // first, then TooFar, then TooManyGaps).
    TLocationCheck CheckLocation(int32_t location) const noexcept;
    // Entries that are empty (gaps), kept as entries change. A packet paged
    // out is not a gap.
    int32_t Gaps() const noexcept { return gaps_; }
    // Entries holding a packet, in memory or paged out: what the list stores.
    int32_t StoredCount() const noexcept { return Count() - gaps_; }

    // Paging: a stored packet released from memory, kept in the game's
    // recording. PageOut releases entry i's bytes (false for a gap or an
    // entry paged out already); PageIn puts them back (false unless entry i
    // is paged out). A packet stored at a paged-out location replaces it.
    bool PagedOut(int32_t i) const { return Entry(i).PagedOut; }
    bool PageOut(int32_t i);
    bool PageIn(int32_t i, const TSharedBytes& data);
    // A paged-out packet whose read back failed stays paged out, so it can
    // be read again, and is marked; PageIn clears the mark (false unless
    // entry i is paged out).
    bool MarkUnreadable(int32_t i);
    bool Unreadable(int32_t i) const { return Entry(i).Unreadable; }
    // Nothing there to send now: a gap, or a packet that could not be read
    // back.
    bool Absent(int32_t i) const {
        const TPacketState& entry = Entry(i);
        return entry.Data.Empty() && (!entry.PagedOut || entry.Unreadable);
    }
    // The CRC of entry i's packet record (core/recording_format.h), computed
    // once per stored packet; 0 for a gap or a packet paged out before
    // anyone asked.
    uint32_t PacketRecordCrc(int32_t i);
    // Marks location as holding a packet that is only in the game's
    // recording (a recording read back at start-up): paged out from the
    // start, with gaps up to it as StorePacketAt opens them. The same
    // location checks, raising the same exceptions, before anything changes.
    void StorePagedOutAt(int32_t location, int32_t tag, int64_t ackMs = 0);
    // Entries paged out now.
    int32_t PagedOutCount() const noexcept { return paged_out_; }

    // Whether the entries' overhead counts into the registry's
    // SourcelessIndexBytes() (a game with no live source) rather than into
    // what the memory budget bounds.
    bool IndexApart() const noexcept { return index_apart_; }

    // When entry i was acknowledged (0 for a gap).
    int64_t AckMs(int32_t i) const { return Entry(i).AckMs; }
    // The latest acknowledgement time of any packet stored (0 before the
    // first, or where the recording kept no time): how long ago the camera
    // last sent, in constant time.
    int64_t LastAckMs() const noexcept { return last_ack_ms_; }
    // The broadcast delay's mark: every location below it was visible to
    // viewers when it was last set. A packet stored, replaced or deleted
    // below it moves it back to its location, so it never claims a packet
    // acknowledged since; the relay moves it forward as packets age.
    int32_t VisibleMark() const noexcept { return visible_mark_; }
    void SetVisibleMark(int32_t mark) noexcept { visible_mark_ = mark; }

private:
    friend class TGameList;
    const TPacketState& Entry(int32_t i) const;
    // Adjusts the gap count and the stored bytes for entry i's data
    // changing to data.
    void Replace(size_t i, std::string_view data);
    // Every change of the stored bytes goes through these two, so the
    // registry's total follows.
    void Charge(size_t bytes) noexcept;
    void Refund(size_t bytes) noexcept;
    // Entries added (or, negative, removed): their overhead follows into the
    // registry's index total while the index is apart.
    void CountEntries(int64_t added) noexcept;

protected:
    void SetIndexApart(bool apart) noexcept;

private:
    std::vector<TPacketState> entries_;
    int32_t gaps_ = 0;
    int32_t paged_out_ = 0;
    int32_t visible_mark_ = 0;
    int64_t last_ack_ms_ = 0;
    size_t stored_bytes_ = 0;
    // The registry's total this list counts into; null outside a registry.
    size_t* registry_bytes_ = nullptr;
    bool index_apart_ = false;
    // The registry's total of the entries of games with no live source.
    size_t* registry_index_bytes_ = nullptr;
};

// One game: its stored demo plus its description.
class TActiveGameList : public TPacketList {
public:
    // Opened now (OpenedMs: the wall clock's milliseconds since 1970).
    explicit TActiveGameList(TWSocketClient* sender);

    // The connection filming this game; nullptr once it has gone.
    TWSocketClient* Sender() const noexcept { return sender_; }
    void SetSender(TWSocketClient* sender) noexcept {
        sender_ = sender;
        if (sender) halted_ = false;
        SetIndexApart(!HasLiveSource());
    }
    // The operator closed its sender (Halt Transfer), as opposed to a camera
    // that left by itself; cleared when a sender films it again.
    bool Halted() const noexcept { return halted_; }
    void SetHalted(bool halted) noexcept { halted_ = halted; }

    // A game mirrored from another relay whose camera is still filming
    // there: it is served as a game with a sender (viewers wait at its gaps)
    // although no sender connection of ours films it.
    bool LiveUpstream() const noexcept { return live_upstream_; }
    void SetLiveUpstream(bool live) noexcept {
        live_upstream_ = live;
        SetIndexApart(!HasLiveSource());
    }
    // A sender connection or a live upstream may still fill the game's gaps
    // and replace its packets.
    bool HasLiveSource() const noexcept { return sender_ != nullptr || live_upstream_; }

    // When the game was opened, in milliseconds since 1970-01-01 UTC. With
    // the identifier it names this game apart from any other game that had
    // or will have that identifier (after a restart, say).
    int64_t OpenedMs() const noexcept { return opened_ms_; }
    void SetOpenedMs(int64_t ms) noexcept { opened_ms_ = ms; }

    int32_t GameType() const noexcept { return game_type_; }
    void SetGameType(int32_t type) noexcept { game_type_ = type; }

    // Name and mod are kept as their slots (33 and 17 bytes) hold them.
    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string_view name);
    const std::string& Mod() const noexcept { return mod_; }
    void SetMod(std::string_view mod);

    int32_t Identifier() const noexcept { return identifier_; }
    // In a registry, its index by identifier follows.
    void SetIdentifier(int32_t id);

    int32_t Viewers() const noexcept { return viewers_; }
    void SetViewers(int32_t viewers) noexcept { viewers_ = viewers; }

    // When one of its packets was last sent to a viewer (the distribution's
    // tick count; 0: never), for paging the least recently sent first.
    uint64_t LastSent() const noexcept { return last_sent_; }
    void SetLastSent(uint64_t tick) noexcept { last_sent_ = tick; }
    // Bytes handed to its viewers: its packets, and what goes to the whole
    // game (chat, notices).
    uint64_t SentBytes() const noexcept { return sent_bytes_; }
    void AddSentBytes(uint64_t bytes) noexcept { sent_bytes_ += bytes; }

    // The address the sender connected from; kept after it has gone.
    const std::string& SenderAddr() const noexcept { return sender_addr_; }
    void SetSenderAddr(std::string addr) { sender_addr_ = std::move(addr); }
    // The name the camera filming it gave (empty until it named itself);
    // kept after it has gone.
    const std::string& SenderName() const noexcept { return sender_name_; }
    void SetSenderName(std::string name) { sender_name_ = std::move(name); }

private:
    friend class TGameList;
    TGameList* registry_ = nullptr;
    TWSocketClient* sender_ = nullptr;
    bool live_upstream_ = false;
    bool halted_ = false;
    int64_t opened_ms_ = 0;
    int32_t game_type_ = 0;
    std::string name_;
    std::string mod_;
    int32_t identifier_ = 0;
    int32_t viewers_ = 0;
    uint64_t last_sent_ = 0;
    uint64_t sent_bytes_ = 0;
    std::string sender_addr_;
    std::string sender_name_;
};

// The registry: games in the order they were opened. Keeps a running count
// of the memory its games hold (StoredBytes()), read in constant time: the
// games' stored bytes plus kGameRecordOverhead per game, and an index by
// identifier, so that finding a game costs the same among ten games as among
// ten thousand (an edge mirroring a long list looks games up all the time).
// The games count into this object, so it is never copied or moved.
//
// Of that, the entries of the games with no live source (restored
// recordings, games whose camera has gone) are also counted apart
// (SourcelessIndexBytes()): paging releases a packet's bytes but never its
// entry, so that index is bounded by the recordings (--max-disk) and by what
// was once accepted, not by the memory budget. BudgetedBytes() is what the
// budget bounds: everything else, which a camera's upload or paging can
// change.
class TGameList {
public:
    TGameList() = default;
    TGameList(const TGameList&) = delete;
    TGameList& operator=(const TGameList&) = delete;

    int32_t Count() const noexcept { return static_cast<int32_t>(games_.size()); }
    // Throws EListError for an index outside 0..Count()-1.
    TActiveGameList& At(int32_t i);
    const TActiveGameList& At(int32_t i) const;

    // Appends a game with this sender and everything else zero or empty;
    // the caller gives it its identifier.
    TActiveGameList& Add(TWSocketClient* sender);
    // Releases game i with all its stored packets. EListError if out of range.
    void Delete(int32_t i);

    // First match in list order, or -1.
    int32_t IndexOfSender(const TWSocketClient* conn) const noexcept;
    int32_t IndexOfId(int32_t id) const noexcept;
    // The same lookups returning the game, or nullptr.
    TActiveGameList* FindBySender(const TWSocketClient* conn) noexcept;
    TActiveGameList* FindById(int32_t id) noexcept;

    // Every game's StoredBytes() plus kGameRecordOverhead per game.
    size_t StoredBytes() const noexcept { return stored_bytes_; }
    // kStoredEntryOverhead for every entry of a game with no live source.
    size_t SourcelessIndexBytes() const noexcept { return index_bytes_; }
    // StoredBytes() less SourcelessIndexBytes().
    size_t BudgetedBytes() const noexcept { return stored_bytes_ - index_bytes_; }

private:
    friend class TActiveGameList;
    void Reindex(TActiveGameList& game, int32_t from, int32_t to);
    void Unindex(TActiveGameList& game, int32_t id);

    std::vector<std::unique_ptr<TActiveGameList>> games_;
    size_t stored_bytes_ = 0;
    // Identifier -> the game holding it, and how many games hold it: with
    // more than one (never by the relay's own hand) a lookup walks the list
    // for the first in list order, as it always did.
    struct TIdSlot {
        TActiveGameList* Game = nullptr;
        int32_t Holders = 0;
    };
    std::unordered_map<int32_t, TIdSlot> by_id_;
    size_t index_bytes_ = 0;
};

}  // namespace vistrel
