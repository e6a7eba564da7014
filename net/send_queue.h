// The send queue of a connection: output the kernel has not yet accepted, in
// the order it was queued. Owned by its socket; the socket appends in Send
// and SendReplacing and drains once per loop step and on writability.
//
// Two kinds of pieces share the order:
// - copied bytes, kept in chunks (TBuffer) of up to 1514 bytes, so many
//   small packets cost one allocation per chunk, not one per packet; a queue
//   starts with a chunk just big enough (at least 64 bytes) and each further
//   chunk is twice the size of the one before, up to the full size, so a
//   connection that is sent a few small packets in a step holds little;
// - shared packets (TSharedBytes): one buffer referenced by every queue that
//   sends it, so a packet sent to thousands of connections is built once.
//   A shared packet may carry a key. Appending a keyed packet drops an older
//   packet of the same key that has not begun to be sent: the newer one
//   replaces it and goes after everything queued before it; nothing else is
//   ever dropped or reordered.
//
// An empty queue holds no memory: the chunks and the list of shared packets
// are allocated with the first byte queued and released once everything has
// been sent.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/shared_bytes.h"

namespace vistrel {

class TBuffer {
public:
    static constexpr int kDefaultSize = 1514;

    // A size of 0 or less means kDefaultSize.
    explicit TBuffer(int size = kDefaultSize);

    // Copies as much of data as fits after the write count; returns the count.
    int Write(const char* data, int length);
    int Write(std::string_view data) { return Write(data.data(), static_cast<int>(data.size())); }
    // The unread bytes (read count to write count).
    std::string_view Peek() const { return {buf_.get() + rd_, static_cast<size_t>(wr_ - rd_)}; }
    // Advances the read count by at most the unread bytes; returns how far.
    // When all is read both counts go back to 0.
    int Remove(int length);

    int Size() const { return size_; }
    int Unread() const { return wr_ - rd_; }
    int FreeSpace() const { return size_ - wr_; }

private:
    std::unique_ptr<char[]> buf_;
    int size_;
    int wr_ = 0;
    int rd_ = 0;
};


class TSendQueue {
public:
    // The smallest chunk a queue starts with (unless chunkSize is smaller).
    static constexpr int kFirstChunkSize = 64;

    explicit TSendQueue(int chunkSize = TBuffer::kDefaultSize) : chunk_size_(chunkSize) {}

    // Copies data behind everything queued: into the free space of the last
    // chunk, then into new chunks (each twice the size of the one before,
    // at least big enough for what is left, at most chunkSize).
    void Append(std::string_view data);
    // Queues a shared packet behind everything queued. With a key other than
    // 0, a packet of the same key that has not begun to be sent is dropped
    // first. Returns the number of bytes so dropped. An empty packet is
    // ignored.
    size_t AppendShared(TSharedBytes packet, uint64_t key = 0);
    // Fills iov with the unsent bytes in order (at most max pieces); returns
    // the number of pieces.
    int Gather(struct iovec* iov, int max) const;
    // Marks n bytes as sent, front first; pieces sent completely are dropped.
    void Consume(size_t n);
    void Clear();

    size_t Pending() const { return pending_; }
    bool Empty() const { return pending_ == 0; }
    // The chunks of copied bytes (tests look at the chunking).
    size_t ChunkCount() const { return chunks_.size(); }
    const TBuffer& Chunk(size_t i) const { return *std::next(chunks_.begin(), static_cast<std::ptrdiff_t>(i)); }
    // Shared packets queued, dropped ones not counted.
    size_t SharedCount() const { return shared_.size() - head_; }

private:
    // A shared packet and the copied bytes queued just before it.
    struct TShared {
        TSharedBytes Bytes;
        uint64_t Key = 0;
        size_t CopiedBefore = 0;  // copied bytes between the previous shared packet and this one
    };
    void RemoveCopied(size_t n);

    int chunk_size_;
    size_t pending_ = 0;
    size_t copied_tail_ = 0;  // copied bytes after the last shared packet
    // Bytes of the first unsent shared packet already handed to the kernel:
    // only that one can have begun.
    size_t front_sent_ = 0;
    std::list<TBuffer> chunks_;
    // Shared packets in order; those before head_ are sent (released, and
    // dropped from the list before it grows), so sending the front never
    // moves the rest.
    std::vector<TShared> shared_;
    size_t head_ = 0;
};

}  // namespace vistrel
