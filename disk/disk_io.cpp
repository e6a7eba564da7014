#include "disk/disk_io.h"

#include <liburing.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace vistrel {

TDiskIo::TDiskIo(TEventLoop& loop) : loop_(loop) {
    const char* choice = std::getenv("VISTREL_DISK_IO");
    if (!(choice && std::string_view(choice) == "thread") && StartRing()) return;
    StartThread();
}

void TDiskIo::StartThread() {
    int requests[2];
    int answers[2];
    if (pipe2(requests, O_CLOEXEC) != 0) throw EDiskError(std::string("Cannot start the disk I/O: ") + std::strerror(errno));
    if (pipe2(answers, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int error = errno;
        close(requests[0]);
        close(requests[1]);
        throw EDiskError(std::string("Cannot start the disk I/O: ") + std::strerror(error));
    }
    // The loop's end of the request pipe never blocks; the thread's does.
    fcntl(requests[1], F_SETFL, O_NONBLOCK);
    request_fd_ = requests[1];
    answer_fd_ = answers[0];
    thread_ = std::thread(&TDiskIo::ThreadMain, requests[0], answers[1]);
    if (const int error = loop_.Watch(answer_fd_, TEventLoop::kReadable, [this](uint32_t) { ReapThread(); });
        error != 0)
        throw EDiskError(std::string("Cannot watch the disk I/O: ") + std::strerror(error));
}

void TDiskIo::ThreadMain(int requests, int answers) {
    // Blocking on both of its ends; the answer pipe's loop end is drained by
    // the loop, so a write here waits only while the loop is busy.
    fcntl(answers, F_SETFL, 0);
    for (;;) {
        TThreadRequest request;
        size_t got = 0;
        while (got < sizeof request) {
            const ssize_t n = read(requests, reinterpret_cast<char*>(&request) + got, sizeof request - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                request.Op = 0;
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (request.Op == 0) break;
        TThreadAnswer answer{request.Id, 0};
        if (request.Op == 1) {
            answer.Result = fsync(request.Fd) == 0 ? 0 : -errno;
        } else {
            uint32_t done = 0;
            while (done < request.Size) {
                const ssize_t n = pread(request.Fd, request.Buffer + done, request.Size - done,
                                        static_cast<off_t>(request.Offset + done));
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) {
                    answer.Result = -errno;
                    break;
                }
                if (n == 0) break;
                done += static_cast<uint32_t>(n);
            }
            if (answer.Result == 0) answer.Result = done;
        }
        const char* at = reinterpret_cast<const char*>(&answer);
        size_t sent = 0;
        while (sent < sizeof answer) {
            const ssize_t n = write(answers, at + sent, sizeof answer - sent);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    }
    close(requests);
    close(answers);
}

void TDiskIo::SendToThread(const TThreadRequest& request) {
    unsent_.push_back(request);
    FlushToThread();
}

void TDiskIo::FlushToThread() {
    // A request is smaller than PIPE_BUF, so each write is all or nothing.
    while (!unsent_.empty()) {
        const ssize_t n = write(request_fd_, &unsent_.front(), sizeof(TThreadRequest));
        if (n != static_cast<ssize_t>(sizeof(TThreadRequest))) break;
        unsent_.pop_front();
    }
    // What the pipe had no room for goes once it has.
    const bool watched = loop_.IsWatched(request_fd_);
    if (!unsent_.empty() && !watched)
        (void)loop_.Watch(request_fd_, TEventLoop::kWritable, [this](uint32_t) { FlushToThread(); });
    else if (unsent_.empty() && watched)
        loop_.Unwatch(request_fd_);
}

void TDiskIo::ReapThread() {
    std::vector<TThreadAnswer> done;
    TThreadAnswer answer;
    while (read(answer_fd_, &answer, sizeof answer) == static_cast<ssize_t>(sizeof answer)) done.push_back(answer);
    for (const TThreadAnswer& a : done) {
        auto it = pending_.find(a.Id);
        if (it == pending_.end()) continue;
        TCompletion callback = std::move(it->second);
        pending_.erase(it);
        if (callback) callback(static_cast<int>(a.Result));
    }
}

bool TDiskIo::StartRing() {
    ring_ = std::make_unique<io_uring>();
    std::memset(ring_.get(), 0, sizeof(io_uring));
    if (const int error = io_uring_queue_init(kRingEntries, ring_.get(), 0); error < 0) {
        ring_.reset();
        return false;
    }
    event_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (event_fd_ < 0 || io_uring_register_eventfd(ring_.get(), event_fd_) < 0) {
        const int error = errno;
        if (event_fd_ >= 0) close(event_fd_);
        io_uring_queue_exit(ring_.get());
        ring_.reset();
        throw EDiskError(std::string("Cannot start the disk I/O (eventfd): ") + std::strerror(error));
    }
    if (const int error = loop_.Watch(event_fd_, TEventLoop::kReadable, [this](uint32_t) { Reap(); }); error != 0) {
        close(event_fd_);
        io_uring_queue_exit(ring_.get());
        ring_.reset();
        throw EDiskError(std::string("Cannot watch the disk I/O: ") + std::strerror(error));
    }
    return true;
}

TDiskIo::~TDiskIo() {
    if (!ring_) {
        if (!thread_.joinable()) return;
        loop_.Unwatch(answer_fd_);
        if (loop_.IsWatched(request_fd_)) loop_.Unwatch(request_fd_);
        // The thread finishes what it was given (a read writes into its
        // owner's buffer), then ends at the end of its request pipe.
        close(request_fd_);
        thread_.join();
        close(answer_fd_);
        return;
    }
    loop_.Unwatch(event_fd_);
    // A read still in flight writes into its owner's buffer: wait for it.
    while (!pending_.empty()) {
        io_uring_cqe* cqe = nullptr;
        if (io_uring_wait_cqe(ring_.get(), &cqe) < 0) break;
        pending_.erase(cqe->user_data);
        io_uring_cqe_seen(ring_.get(), cqe);
    }
    io_uring_queue_exit(ring_.get());
    close(event_fd_);
}

io_uring_sqe* TDiskIo::NextSqe() {
    io_uring_sqe* sqe = io_uring_get_sqe(ring_.get());
    if (sqe) return sqe;
    // The submission queue is full: hand it to the kernel and take a slot.
    io_uring_submit(ring_.get());
    return io_uring_get_sqe(ring_.get());
}

void TDiskIo::Submit(uint64_t id, TCompletion done) {
    pending_.emplace(id, std::move(done));
    const int submitted = io_uring_submit(ring_.get());
    if (submitted < 0) {
        // The kernel took nothing: the operation fails as it would have.
        // Reported in a later step, as a completion would be.
        auto it = pending_.find(id);
        TCompletion failed = std::move(it->second);
        pending_.erase(it);
        FailLater(std::move(failed), submitted);
    }
}

void TDiskIo::FailLater(TCompletion done, int result) {
    loop_.Post([alive = std::weak_ptr<bool>(alive_), done = std::move(done), result] {
        if (alive.lock()) done(result);
    });
}

void TDiskIo::Fsync(int fd, TCompletion done) {
    Start(TThreadRequest{0, 1, fd, 0, nullptr, 0}, std::move(done));
}

void TDiskIo::Read(int fd, uint64_t offset, char* buf, uint32_t size, TCompletion done) {
    Start(TThreadRequest{0, 2, fd, offset, buf, size}, std::move(done));
}

void TDiskIo::Start(TThreadRequest request, TCompletion done) {
    if (!ring_) {
        request.Id = next_id_++;
        pending_.emplace(request.Id, std::move(done));
        SendToThread(request);
        return;
    }
    io_uring_sqe* sqe = NextSqe();
    if (!sqe) {
        FailLater(std::move(done), -EBUSY);
        return;
    }
    const uint64_t id = next_id_++;
    if (request.Op == 1)
        io_uring_prep_fsync(sqe, request.Fd, 0);
    else
        io_uring_prep_read(sqe, request.Fd, request.Buffer, request.Size, request.Offset);
    io_uring_sqe_set_data64(sqe, id);
    Submit(id, std::move(done));
}

void TDiskIo::Reap() {
    if (!ring_) {
        ReapThread();
        return;
    }
    uint64_t count = 0;
    while (read(event_fd_, &count, sizeof count) > 0) {
    }
    // The callbacks may submit more; take this batch's first.
    std::vector<std::pair<uint64_t, int>> done;
    io_uring_cqe* cqe = nullptr;
    while (io_uring_peek_cqe(ring_.get(), &cqe) == 0 && cqe) {
        done.emplace_back(cqe->user_data, cqe->res);
        io_uring_cqe_seen(ring_.get(), cqe);
    }
    for (const auto& [id, result] : done) {
        auto it = pending_.find(id);
        if (it == pending_.end()) continue;
        TCompletion callback = std::move(it->second);
        pending_.erase(it);
        if (callback) callback(result);
    }
}

void TDiskIo::Drain() {
    while (!ring_ && !pending_.empty()) {
        FlushToThread();
        pollfd ready{answer_fd_, POLLIN, 0};
        poll(&ready, 1, 100);
        ReapThread();
    }
    while (ring_ && !pending_.empty()) {
        io_uring_cqe* cqe = nullptr;
        if (io_uring_wait_cqe(ring_.get(), &cqe) < 0) return;
        Reap();
    }
}

}  // namespace vistrel
