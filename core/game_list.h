// The game registry: every game opened since start-up with its stored demo.
// TGameList owns its games; a game owns its stored packets and links to its
// sender's connection without owning it (the sender's disconnect handler
// clears the link). Owned by the relay frame; used by the sender and viewer
// handling, the distribution and the operator commands. No sockets here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"
#include "base/shared_bytes.h"

namespace vistrel {

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

// At most this many gaps are opened by one stored packet.
inline constexpr int32_t kMaxGapsPerStore = 65536;

// One entry of a stored demo: a whole packet as received, or empty (a gap).
// The bytes are shared with the send queues that are sending them, so
// handing a packet to many viewers copies nothing.
struct TPacketState {
    TSharedBytes data;
    int32_t tag = 0;  // 6: opened for a DEMOPACKET, 10: for a DEMORESTART
};

// An indexed sequence of stored packets. Entries are kept compact: a stored
// packet costs its own bytes plus the entry, its shared buffer's header and
// their heap block headers; a gap costs the entry alone.
class TPacketList {
public:
    TPacketList() = default;
    TPacketList(const TPacketList&) = delete;
    TPacketList& operator=(const TPacketList&) = delete;
    virtual ~TPacketList() = default;

    int32_t Count() const noexcept { return static_cast<int32_t>(entries_.size()); }
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
    // Count() throws ELocationTooFar; both before anything changes.
    void StorePacketAt(int32_t location, std::string_view packet, int32_t tag);
    // Whether storing at location would open more than kMaxGapsPerStore gaps.
    bool IsTooFar(int32_t location) const noexcept {
        return static_cast<int64_t>(location) > static_cast<int64_t>(Count()) + kMaxGapsPerStore;
    }

private:
    const TPacketState& Entry(int32_t i) const;
    std::vector<TPacketState> entries_;
};

// One game: its stored demo plus its description.
class TActiveGameList : public TPacketList {
public:
    explicit TActiveGameList(TWSocketClient* sender) : sender_(sender) {}

    // The connection filming this game; nullptr once it has gone.
    TWSocketClient* Sender() const noexcept { return sender_; }
    void SetSender(TWSocketClient* sender) noexcept { sender_ = sender; }

    int32_t GameType() const noexcept { return game_type_; }
    void SetGameType(int32_t type) noexcept { game_type_ = type; }

    // Name and mod are kept as their slots (33 and 17 bytes) hold them.
    const std::string& Name() const noexcept { return name_; }
    void SetName(std::string_view name);
    const std::string& Mod() const noexcept { return mod_; }
    void SetMod(std::string_view mod);

    int32_t Identifier() const noexcept { return identifier_; }
    void SetIdentifier(int32_t id) noexcept { identifier_ = id; }

    int32_t Viewers() const noexcept { return viewers_; }
    void SetViewers(int32_t viewers) noexcept { viewers_ = viewers; }

private:
    TWSocketClient* sender_ = nullptr;
    int32_t game_type_ = 0;
    std::string name_;
    std::string mod_;
    int32_t identifier_ = 0;
    int32_t viewers_ = 0;
};

// The registry: games in the order they were opened.
class TGameList {
public:
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

private:
    std::vector<std::unique_ptr<TActiveGameList>> games_;
};

}  // namespace vistrel
