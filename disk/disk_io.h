// TDiskIo: disk work off the loop's thread. Forcing a file to the disk
// (fsync) and reading a run of a file are handed to the kernel through an
// io_uring; the kernel signals each completion on an eventfd that the loop
// watches, and the completion's callback runs on the loop's thread in a later
// step. No thread of our own and nothing locked: the loop never waits for a
// disk.
//
// Where the kernel refuses io_uring (a container's system call filter, for
// one), or VISTREL_DISK_IO=thread is set, one I/O thread does the same work:
// it takes requests from a pipe and answers through another pipe the loop
// watches. The two sides share nothing else; a read's buffer is handed over
// with its request and handed back with its answer.
//
// Owned by TRecorder; must not outlive its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <deque>
#include <string>
#include <thread>
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
    // "io_uring" or "an I/O thread".
    const char* Kind() const noexcept { return ring_ ? "io_uring" : "an I/O thread"; }
    // Runs the callbacks of the completions that have arrived (the loop does
    // it when the eventfd turns readable).
    void Reap();
    // Waits until nothing is in flight, running the callbacks; for shut-down
    // and tests, never on a running relay.
    void Drain();

private:
    // One request to the I/O thread, as it goes through the pipe.
    struct TThreadRequest {
        uint64_t Id = 0;
        int Op = 0;  // 0: quit, 1: fsync, 2: read
        int Fd = -1;
        uint64_t Offset = 0;
        char* Buffer = nullptr;
        uint32_t Size = 0;
    };
    struct TThreadAnswer {
        uint64_t Id = 0;
        int64_t Result = 0;
    };
    bool StartRing();
    void StartThread();
    static void ThreadMain(int requests, int answers);
    void SendToThread(const TThreadRequest& request);
    void FlushToThread();
    void ReapThread();

    // An fsync or a read (request.Op), through the ring or the I/O thread.
    void Start(TThreadRequest request, TCompletion done);
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
    // The I/O thread, its two pipes' loop ends, and requests the request
    // pipe has no room for yet.
    std::thread thread_;
    int request_fd_ = -1;
    int answer_fd_ = -1;
    std::deque<TThreadRequest> unsent_;
    // Lives as long as this object: failures posted to the loop check it.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vistrel
