// TDiskIo: disk work off the loop's thread. Forcing a file to the disk
// (fsync) and reading a run of a file are handed to the kernel through an
// io_uring; the kernel signals each completion on an eventfd that the loop
// watches, and the completion's callback runs on the loop's thread in a later
// step. No thread of our own and nothing locked: the loop never waits for a
// disk.
//
// Owned by TRecorder; must not outlive its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "base/exception.h"
#include "net/event_loop.h"

struct io_uring;
struct io_uring_sqe;

namespace vistrel {

// The data folder or a disk operation cannot be used; the message names the
// file and the system's reason.
class EDiskError : public Exception {
public:
    explicit EDiskError(const std::string& message) : Exception("EDiskError", message) {}
};

class TDiskIo {
public:
    // The result of an operation: what the system call would return (bytes
    // read, 0), or minus its errno.
    using TCompletion = std::function<void(int result)>;
    // Operations the ring holds at once; more are queued until it has room.
    static constexpr unsigned kRingEntries = 256;

    // Makes the ring and watches its eventfd; EDiskError when the kernel
    // refuses (no io_uring here, or too little locked memory).
    explicit TDiskIo(TEventLoop& loop);
    // Waits for what is still in flight (its callbacks are not run): the
    // kernel may still be writing into a read's buffer.
    ~TDiskIo();
    TDiskIo(const TDiskIo&) = delete;
    TDiskIo& operator=(const TDiskIo&) = delete;

    // Forces fd's written data to the disk (fdatasync would leave the file's
    // length unforced, so a full fsync).
    void Fsync(int fd, TCompletion done);
    // Reads size bytes at offset into buf, which must stay valid until done
    // runs (or the TDiskIo is destroyed).
    void Read(int fd, uint64_t offset, char* buf, uint32_t size, TCompletion done);

    size_t InFlight() const noexcept { return pending_.size(); }
    // Runs the callbacks of the completions that have arrived (the loop does
    // it when the eventfd turns readable).
    void Reap();
    // Waits until nothing is in flight, running the callbacks; for shut-down
    // and tests, never on a running relay.
    void Drain();

private:
    io_uring_sqe* NextSqe();
    void Submit(uint64_t id, TCompletion done);
    // Reports a failure in a later step, as a completion would be, unless
    // this TDiskIo is gone by then.
    void FailLater(TCompletion done, int result);

    TEventLoop& loop_;
    std::unique_ptr<io_uring> ring_;
    int event_fd_ = -1;
    uint64_t next_id_ = 1;
    std::unordered_map<uint64_t, TCompletion> pending_;
    // Lives as long as this object: failures posted to the loop check it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vistrel
