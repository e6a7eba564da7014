#include "core/game_list.h"

#include <algorithm>
#include <cassert>
#include <chrono>

#include "core/protocol.h"
#include "core/recording_format.h"

namespace vistrel {

EListError::EListError(int64_t index)
    : Exception("EListError", "List index out of bounds (" + std::to_string(index) + ")") {}

ELocationTooFar::ELocationTooFar(int32_t location, int32_t count)
    : Exception("ELocationTooFar", "Location " + std::to_string(location) + " lies more than " +
                                       std::to_string(kMaxGapsPerStore) + " entries beyond the demo's end (" +
                                       std::to_string(count) + " entries)") {}

ETooManyGaps::ETooManyGaps(int32_t location, int32_t gaps)
    : Exception("ETooManyGaps", "Location " + std::to_string(location) + " would leave the demo with more than " +
                                    std::to_string(kMaxMissingLocations) + " missing locations (" +
                                    std::to_string(gaps) + " now)") {}

const TPacketState& TPacketList::Entry(int32_t i) const {
    if (i < 0 || i >= Count()) throw EListError(i);
    return entries_[static_cast<size_t>(i)];
}

int32_t TPacketList::Tag(int32_t i) const { return Entry(i).Tag; }

namespace {

// A fresh buffer sized to the packet (none for a gap). Never reused in
// place: a queue may still be sending the old bytes.
TSharedBytes Stored(std::string_view data) { return TSharedBytes(data); }

}  // namespace

std::string_view TPacketList::Data(int32_t i) const { return Entry(i).Data.View(); }

const TSharedBytes& TPacketList::SharedData(int32_t i) const { return Entry(i).Data; }

void TPacketList::Charge(size_t bytes) noexcept {
    stored_bytes_ += bytes;
    if (registry_bytes_) *registry_bytes_ += bytes;
}

void TPacketList::Refund(size_t bytes) noexcept {
    // Only what was charged comes back: a total never wraps below zero.
    assert(stored_bytes_ >= bytes);
    stored_bytes_ -= bytes;
    if (registry_bytes_) {
        assert(*registry_bytes_ >= bytes);
        *registry_bytes_ -= bytes;
    }
}

void TPacketList::CountEntries(int64_t added) noexcept {
    if (!index_apart_ || !registry_index_bytes_) return;
    const size_t bytes = static_cast<size_t>(added < 0 ? -added : added) * kStoredEntryOverhead;
    if (added >= 0) {
        *registry_index_bytes_ += bytes;
    } else {
        assert(*registry_index_bytes_ >= bytes);
        *registry_index_bytes_ -= bytes;
    }
}

void TPacketList::SetIndexApart(bool apart) noexcept {
    if (apart == index_apart_) return;
    if (!apart) CountEntries(-static_cast<int64_t>(Count()));
    index_apart_ = apart;
    if (apart) CountEntries(Count());
}

void TPacketList::Append(std::string_view data, int32_t tag) {
    entries_.push_back(TPacketState{Stored(data), 0, tag});
    if (data.empty()) ++gaps_;
    Charge(data.size() + kStoredEntryOverhead);
    CountEntries(1);
}

void TPacketList::Replace(size_t i, std::string_view data) {
    TSharedBytes& old = entries_[i].Data;
    entries_[i].RecordCrcKnown = false;
    if (entries_[i].PagedOut) {
        // Paged out: not a gap, and its bytes are not counted.
        entries_[i].PagedOut = false;
        entries_[i].Unreadable = false;
        --paged_out_;
        gaps_ += data.empty() ? 1 : 0;
        old = Stored(data);
        Charge(data.size());
        return;
    }
    gaps_ += (data.empty() ? 1 : 0) - (old.Empty() ? 1 : 0);
    const size_t oldSize = old.Size();
    old = Stored(data);
    Refund(oldSize);
    Charge(data.size());
}

void TPacketList::SetData(int32_t i, std::string_view data) {
    Entry(i);
    Replace(static_cast<size_t>(i), data);
    visible_mark_ = std::min(visible_mark_, i);
}

bool TPacketList::PageOut(int32_t i) {
    Entry(i);
    TPacketState& entry = entries_[static_cast<size_t>(i)];
    if (entry.PagedOut || entry.Data.Empty()) return false;
    const size_t bytes = entry.Data.Size();
    entry.Data = TSharedBytes();
    entry.PagedOut = true;
    ++paged_out_;
    Refund(bytes);
    return true;
}

bool TPacketList::PageIn(int32_t i, const TSharedBytes& data) {
    Entry(i);
    TPacketState& entry = entries_[static_cast<size_t>(i)];
    if (!entry.PagedOut || data.Empty()) return false;
    entry.Data = data;
    entry.PagedOut = false;
    entry.Unreadable = false;
    --paged_out_;
    Charge(data.Size());
    return true;
}

bool TPacketList::MarkUnreadable(int32_t i) {
    Entry(i);
    TPacketState& entry = entries_[static_cast<size_t>(i)];
    if (!entry.PagedOut) return false;
    entry.Unreadable = true;
    return true;
}

uint32_t TPacketList::PacketRecordCrc(int32_t i) {
    Entry(i);
    TPacketState& entry = entries_[static_cast<size_t>(i)];
    if (!entry.RecordCrcKnown && !entry.Data.Empty()) {
        entry.RecordCrc = vistrel::PacketRecordCrc(i, entry.Data.View());
        entry.RecordCrcKnown = true;
    }
    return entry.RecordCrcKnown ? entry.RecordCrc : 0;
}

void TPacketList::StorePagedOutAt(int32_t location, int32_t tag, int64_t ackMs) {
    switch (CheckLocation(location)) {
        case TLocationCheck::Fits: break;
        case TLocationCheck::Negative: throw EListError(location);
        case TLocationCheck::TooFar: throw ELocationTooFar(location, Count());
        case TLocationCheck::TooManyGaps: throw ETooManyGaps(location, gaps_);
    }
    if (location >= Count()) {
        StorePacketAt(location, std::string_view(), tag);  // a gap at location, then marked
    }
    TPacketState& entry = entries_[static_cast<size_t>(location)];
    entry.AckMs = ackMs;
    last_ack_ms_ = std::max(last_ack_ms_, ackMs);
    entry.RecordCrcKnown = false;
    visible_mark_ = std::min(visible_mark_, location);
    if (entry.PagedOut) return;
    if (entry.Data.Empty()) {
        --gaps_;
    } else {
        Refund(entry.Data.Size());
        entry.Data = TSharedBytes();
    }
    entry.PagedOut = true;
    ++paged_out_;
}

void TPacketList::Delete(int32_t i) {
    const size_t bytes = Entry(i).Data.Size() + kStoredEntryOverhead;
    if (Entry(i).PagedOut) --paged_out_;
    else if (Entry(i).Data.Empty()) --gaps_;
    entries_.erase(entries_.begin() + i);
    // The packets after it move to other locations: their records change.
    for (size_t j = static_cast<size_t>(i); j < entries_.size(); ++j) entries_[j].RecordCrcKnown = false;
    visible_mark_ = std::min(visible_mark_, i);
    Refund(bytes);
    CountEntries(-1);
}

TLocationCheck TPacketList::CheckLocation(int32_t location) const noexcept {
    if (location < 0) return TLocationCheck::Negative;
    if (IsTooFar(location)) return TLocationCheck::TooFar;
    int64_t gaps = gaps_;
    if (location >= Count())
        gaps += location - Count();
    else if (entries_[static_cast<size_t>(location)].Data.Empty() && !entries_[static_cast<size_t>(location)].PagedOut)
        gaps -= 1;  // filled (a stored packet is never empty)
    return gaps > kMaxMissingLocations ? TLocationCheck::TooManyGaps : TLocationCheck::Fits;
}

void TPacketList::StorePacketAt(int32_t location, std::string_view packet, int32_t tag, int64_t ackMs) {
    switch (CheckLocation(location)) {
        case TLocationCheck::Fits: break;
        case TLocationCheck::Negative: throw EListError(location);
        case TLocationCheck::TooFar: throw ELocationTooFar(location, Count());
        case TLocationCheck::TooManyGaps: throw ETooManyGaps(location, gaps_);
    }
    const int64_t count = Count();
    if (location >= count) {
        // Grow geometrically even through gap runs, so a sender that steps
        // its locations forward does not make every store reallocate.
        size_t needed = static_cast<size_t>(location) + 1;
        if (needed > entries_.capacity()) entries_.reserve(std::max(needed, entries_.capacity() * 2));
        entries_.resize(static_cast<size_t>(location), TPacketState{TSharedBytes(), 0, tag});
        gaps_ += static_cast<int32_t>(location - count);
        Charge(static_cast<size_t>(location - count) * kStoredEntryOverhead);
        CountEntries(location - count);
        Append(packet, tag);
        entries_.back().AckMs = ackMs;
        last_ack_ms_ = std::max(last_ack_ms_, ackMs);
        return;
    }
    Replace(static_cast<size_t>(location), packet);
    entries_[static_cast<size_t>(location)].AckMs = ackMs;
    last_ack_ms_ = std::max(last_ack_ms_, ackMs);
    visible_mark_ = std::min(visible_mark_, location);
}

TActiveGameList::TActiveGameList(TWSocketClient* sender)
    : sender_(sender),
      opened_ms_(std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count()) {}

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

void TActiveGameList::SetIdentifier(int32_t id) {
    if (registry_ && id != identifier_) registry_->Reindex(*this, identifier_, id);
    identifier_ = id;
}

TActiveGameList& TGameList::Add(TWSocketClient* sender) {
    games_.push_back(std::make_unique<TActiveGameList>(sender));
    TActiveGameList& game = *games_.back();
    game.registry_bytes_ = &stored_bytes_;
    game.registry_ = this;
    game.registry_index_bytes_ = &index_bytes_;
    stored_bytes_ += game.StoredBytes() + kGameRecordOverhead;
    TIdSlot& slot = by_id_[game.Identifier()];
    if (slot.Holders++ == 0) slot.Game = &game;
    game.SetSender(sender);
    return game;
}

void TGameList::Reindex(TActiveGameList& game, int32_t from, int32_t to) {
    Unindex(game, from);
    TIdSlot& slot = by_id_[to];
    if (slot.Holders++ == 0) slot.Game = &game;
}

void TGameList::Unindex(TActiveGameList& game, int32_t id) {
    const auto it = by_id_.find(id);
    if (it == by_id_.end()) return;
    if (--it->second.Holders <= 0) {
        by_id_.erase(it);
    } else if (it->second.Game == &game) {
        it->second.Game = nullptr;  // another holder: found by a walk
    }
}

void TGameList::Delete(int32_t i) {
    TActiveGameList& game = At(i);
    const size_t bytes = game.StoredBytes() + kGameRecordOverhead;
    Unindex(game, game.Identifier());
    game.SetIndexApart(false);
    games_.erase(games_.begin() + i);
    assert(stored_bytes_ >= bytes);
    stored_bytes_ -= bytes;
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
    const auto it = by_id_.find(id);
    if (it == by_id_.end()) return nullptr;
    if (it->second.Holders == 1 && it->second.Game) return it->second.Game;
    const int32_t i = IndexOfId(id);
    if (i < 0) return nullptr;
    TActiveGameList* game = games_[static_cast<size_t>(i)].get();
    if (it->second.Holders == 1) it->second.Game = game;
    return game;
}

}  // namespace vistrel
