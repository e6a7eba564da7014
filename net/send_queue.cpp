#include "net/send_queue.h"

#include <algorithm>
#include <cassert>
#include <bit>
#include <climits>
#include <cstring>
#include <utility>

namespace vistrel {

TBuffer::TBuffer(int size)
    : buf_(std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size > 0 ? size : kDefaultSize))),
      size_(size > 0 ? size : kDefaultSize) {}

int TBuffer::Write(const char* data, int length) {
    int n = std::clamp(length, 0, size_ - wr_);
    if (n > 0) std::memcpy(buf_.get() + wr_, data, static_cast<size_t>(n));
    wr_ += n;
    return n;
}

int TBuffer::Remove(int length) {
    int n = std::clamp(length, 0, wr_ - rd_);
    rd_ += n;
    if (rd_ == wr_) rd_ = wr_ = 0;
    return n;
}

void TSendQueue::Append(std::string_view data) {
    if (data.empty()) return;
    const char* p = data.data();
    size_t left = data.size();
    if (!chunks_.empty()) {
        int n = chunks_.back().Write(p, static_cast<int>(std::min<size_t>(left, INT32_MAX)));
        p += n;
        left -= static_cast<size_t>(n);
    }
    while (left > 0) {
        const int full = chunk_size_ > 0 ? chunk_size_ : TBuffer::kDefaultSize;
        size_t size = std::max<size_t>(kFirstChunkSize, std::bit_ceil(left));
        if (!chunks_.empty()) size = std::max(size, 2 * static_cast<size_t>(chunks_.back().Size()));
        TBuffer& chunk = chunks_.emplace_back(static_cast<int>(std::min(size, static_cast<size_t>(full))));
        int n = chunk.Write(p, static_cast<int>(std::min<size_t>(left, INT32_MAX)));
        p += n;
        left -= static_cast<size_t>(n);
    }
    pending_ += data.size();
    copied_tail_ += data.size();
}

size_t TSendQueue::AppendShared(TSharedBytes packet, uint64_t key) {
    if (packet.Empty()) return 0;
    size_t dropped = 0;
    if (key != 0) {
        // At most one packet of a key is still unbegun: the newest of them.
        for (size_t i = shared_.size(); i-- > head_;) {
            TShared& older = shared_[i];
            if (older.Key != key) continue;
            if (i != head_ || front_sent_ == 0) {
                dropped = older.Bytes.Size();
                // The copied bytes before it now come before its successor.
                if (i + 1 < shared_.size())
                    shared_[i + 1].CopiedBefore += older.CopiedBefore;
                else
                    copied_tail_ += older.CopiedBefore;
                shared_.erase(shared_.begin() + static_cast<std::ptrdiff_t>(i));
                assert(dropped <= pending_);
                pending_ -= dropped;
            }
            break;
        }
    }
    // The sent front goes before the list grows: a connection that keeps a
    // backlog never holds what it has sent.
    if (head_ > 0 && shared_.size() == shared_.capacity()) {
        shared_.erase(shared_.begin(), shared_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    if (shared_.capacity() == 0) shared_.reserve(2);
    const size_t size = packet.Size();
    shared_.push_back(TShared{std::move(packet), key, copied_tail_});
    copied_tail_ = 0;
    pending_ += size;
    return dropped;
}

int TSendQueue::Gather(struct iovec* iov, int max) const {
    int count = 0;
    // Copied bytes are taken from the chunks front to back; a run may end
    // inside a chunk, and the next run goes on from there.
    auto chunk = chunks_.begin();
    size_t offset = 0;
    auto copied = [&](size_t n) {
        while (n > 0 && count < max && chunk != chunks_.end()) {
            std::string_view bytes = chunk->Peek().substr(offset);
            const size_t take = std::min(n, bytes.size());
            if (take > 0) {
                iov[count].iov_base = const_cast<char*>(bytes.data());
                iov[count].iov_len = take;
                ++count;
            }
            n -= take;
            offset += take;
            if (offset >= chunk->Peek().size()) {
                ++chunk;
                offset = 0;
            }
        }
        return n == 0;
    };
    for (size_t i = head_; i < shared_.size(); ++i) {
        const TShared& s = shared_[i];
        if (!copied(s.CopiedBefore) || count >= max) return count;
        const size_t sent = i == head_ ? front_sent_ : 0;
        iov[count].iov_base = const_cast<char*>(s.Bytes.Data() + sent);
        iov[count].iov_len = s.Bytes.Size() - sent;
        ++count;
    }
    copied(copied_tail_);
    return count;
}

void TSendQueue::RemoveCopied(size_t n) {
    while (n > 0 && !chunks_.empty()) {
        TBuffer& front = chunks_.front();
        const int taken = front.Remove(static_cast<int>(std::min<size_t>(n, INT32_MAX)));
        n -= static_cast<size_t>(taken);
        if (front.Unread() > 0) break;
        chunks_.pop_front();
    }
}

void TSendQueue::Consume(size_t n) {
    // Only what Gather offered can have been sent.
    assert(n <= pending_);
    n = std::min(n, pending_);
    pending_ -= n;
    while (n > 0) {
        if (head_ == shared_.size()) {
            const size_t take = std::min(n, copied_tail_);
            RemoveCopied(take);
            copied_tail_ -= take;
            assert(take == n);  // the pending count covers what is queued, no more
            break;
        }
        TShared& front = shared_[head_];
        if (front.CopiedBefore > 0) {
            const size_t take = std::min(n, front.CopiedBefore);
            RemoveCopied(take);
            front.CopiedBefore -= take;
            n -= take;
            continue;
        }
        const size_t take = std::min(n, front.Bytes.Size() - front_sent_);
        front_sent_ += take;
        n -= take;
        if (front_sent_ == front.Bytes.Size()) {
            front.Bytes = TSharedBytes();
            ++head_;
            front_sent_ = 0;
        }
    }
    // Nothing left to send: give the memory back, an idle connection keeps none.
    if (pending_ == 0) {
        assert(copied_tail_ == 0 && front_sent_ == 0);
        Clear();
    }
}

void TSendQueue::Clear() {
    chunks_.clear();
    std::vector<TShared>().swap(shared_);
    head_ = 0;
    pending_ = 0;
    copied_tail_ = 0;
    front_sent_ = 0;
}

}  // namespace vistrel
