#include "core/game_list.h"

#include <algorithm>

#include "core/protocol.h"

namespace vistrel {

EListError::EListError(int64_t index)
    : Exception("EListError", "List index out of bounds (" + std::to_string(index) + ")") {}

ELocationTooFar::ELocationTooFar(int32_t location, int32_t count)
    : Exception("ELocationTooFar", "Location " + std::to_string(location) + " lies more than " +
                                       std::to_string(kMaxGapsPerStore) + " entries beyond the demo's end (" +
                                       std::to_string(count) + " entries)") {}

const TPacketState& TPacketList::Entry(int32_t i) const {
    if (i < 0 || i >= Count()) throw EListError(i);
    return entries_[static_cast<size_t>(i)];
}

int32_t TPacketList::Tag(int32_t i) const { return Entry(i).tag; }

namespace {

// A fresh buffer sized to the packet (none for a gap). Never reused in
// place: a queue may still be sending the old bytes.
TSharedBytes Stored(std::string_view data) { return TSharedBytes(data); }

}  // namespace

std::string_view TPacketList::Data(int32_t i) const { return Entry(i).data.View(); }

const TSharedBytes& TPacketList::SharedData(int32_t i) const { return Entry(i).data; }

void TPacketList::Append(std::string_view data, int32_t tag) { entries_.push_back(TPacketState{Stored(data), tag}); }

void TPacketList::SetData(int32_t i, std::string_view data) {
    Entry(i);
    entries_[static_cast<size_t>(i)].data = Stored(data);
}

void TPacketList::Delete(int32_t i) {
    Entry(i);
    entries_.erase(entries_.begin() + i);
}

void TPacketList::StorePacketAt(int32_t location, std::string_view packet, int32_t tag) {
    if (location < 0) throw EListError(location);
    const int64_t count = Count();
    if (IsTooFar(location)) throw ELocationTooFar(location, Count());
    if (location >= count) {
        // Grow geometrically even through gap runs, so a sender that steps
        // its locations forward does not make every store reallocate.
        size_t needed = static_cast<size_t>(location) + 1;
        if (needed > entries_.capacity()) entries_.reserve(std::max(needed, entries_.capacity() * 2));
        entries_.resize(static_cast<size_t>(location), TPacketState{TSharedBytes(), tag});
        entries_.push_back(TPacketState{Stored(packet), tag});
        return;
    }
    entries_[static_cast<size_t>(location)].data = Stored(packet);
}

void TActiveGameList::SetName(std::string_view name) { name_ = std::string(CutToSlot(name, Slot::DetailedName.Width)); }

void TActiveGameList::SetMod(std::string_view mod) { mod_ = std::string(CutToSlot(mod, Slot::DetailedMod.Width)); }

TActiveGameList& TGameList::At(int32_t i) {
    if (i < 0 || i >= Count()) throw EListError(i);
    return *games_[static_cast<size_t>(i)];
}

const TActiveGameList& TGameList::At(int32_t i) const {
    if (i < 0 || i >= Count()) throw EListError(i);
    return *games_[static_cast<size_t>(i)];
}

TActiveGameList& TGameList::Add(TWSocketClient* sender) {
    games_.push_back(std::make_unique<TActiveGameList>(sender));
    return *games_.back();
}

void TGameList::Delete(int32_t i) {
    At(i);
    games_.erase(games_.begin() + i);
}

int32_t TGameList::IndexOfSender(const TWSocketClient* conn) const noexcept {
    // Orphaned games hold no sender; "no connection" must not find them.
    if (conn == nullptr) return -1;
    for (size_t i = 0; i < games_.size(); ++i)
        if (games_[i]->Sender() == conn) return static_cast<int32_t>(i);
    return -1;
}

int32_t TGameList::IndexOfId(int32_t id) const noexcept {
    for (size_t i = 0; i < games_.size(); ++i)
        if (games_[i]->Identifier() == id) return static_cast<int32_t>(i);
    return -1;
}

TActiveGameList* TGameList::FindBySender(const TWSocketClient* conn) noexcept {
    int32_t i = IndexOfSender(conn);
    return i < 0 ? nullptr : games_[static_cast<size_t>(i)].get();
}

TActiveGameList* TGameList::FindById(int32_t id) noexcept {
    int32_t i = IndexOfId(id);
    return i < 0 ? nullptr : games_[static_cast<size_t>(i)].get();
}

}  // namespace vistrel
