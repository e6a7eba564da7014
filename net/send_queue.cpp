#include "net/send_queue.h"

#include <algorithm>
#include <cstring>

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
    if (!chunks_) chunks_ = std::make_unique<std::deque<TBuffer>>();
    const char* p = data.data();
    size_t left = data.size();
    if (!chunks_->empty()) {
        int n = chunks_->back().Write(p, static_cast<int>(std::min<size_t>(left, INT32_MAX)));
        p += n;
        left -= static_cast<size_t>(n);
    }
    while (left > 0) {
        TBuffer& chunk = chunks_->emplace_back(chunk_size_);
        int n = chunk.Write(p, static_cast<int>(std::min<size_t>(left, INT32_MAX)));
        p += n;
        left -= static_cast<size_t>(n);
    }
    pending_ += data.size();
}

int TSendQueue::Gather(struct iovec* iov, int max) const {
    int count = 0;
    if (!chunks_) return 0;
    for (const TBuffer& chunk : *chunks_) {
        if (count >= max) break;
        std::string_view bytes = chunk.Peek();
        if (bytes.empty()) continue;
        iov[count].iov_base = const_cast<char*>(bytes.data());
        iov[count].iov_len = bytes.size();
        ++count;
    }
    return count;
}

void TSendQueue::Consume(size_t n) {
    if (!chunks_) return;
    n = std::min(n, pending_);
    pending_ -= n;
    while (!chunks_->empty()) {
        TBuffer& front = chunks_->front();
        int taken = front.Remove(static_cast<int>(std::min<size_t>(n, INT32_MAX)));
        n -= static_cast<size_t>(taken);
        if (front.Unread() > 0) break;
        chunks_->pop_front();
    }
    // Nothing left to send: give the memory back, an idle connection keeps none.
    if (pending_ == 0) chunks_.reset();
}

void TSendQueue::Clear() {
    chunks_.reset();
    pending_ = 0;
}

}  // namespace vistrel
