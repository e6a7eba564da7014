// The send queue of a connection: output the kernel has not yet accepted, kept
// as a list of fixed-size chunks (TBuffer, 1514 bytes). Owned by its socket;
// the socket appends in Send and drains on writability. An empty queue holds
// no memory: the chunk list is allocated with the first byte queued and
// released once everything has been sent.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string_view>

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
    explicit TSendQueue(int chunkSize = TBuffer::kDefaultSize) : chunk_size_(chunkSize) {}

    // Appends into the free space of the last chunk, then into new chunks.
    void Append(std::string_view data);
    // Fills iov with the unread bytes of the first chunks (at most max pieces,
    // empty chunks skipped); returns the number of pieces.
    int Gather(struct iovec* iov, int max) const;
    // Marks n bytes as sent, front first; chunks sent completely are dropped.
    void Consume(size_t n);
    void Clear();

    size_t Pending() const { return pending_; }
    bool Empty() const { return pending_ == 0; }
    size_t ChunkCount() const { return chunks_ ? chunks_->size() : 0; }
    const TBuffer& Chunk(size_t i) const { return (*chunks_)[i]; }

private:
    int chunk_size_;
    size_t pending_ = 0;
    std::unique_ptr<std::deque<TBuffer>> chunks_;
};

}  // namespace vistrel
