#include "disk/disk_io.h"

#include <liburing.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace vistrel {

TDiskIo::TDiskIo(TEventLoop& loop) : loop_(loop), ring_(std::make_unique<io_uring>()) {
    std::memset(ring_.get(), 0, sizeof(io_uring));
    if (const int error = io_uring_queue_init(kRingEntries, ring_.get(), 0); error < 0) {
        ring_.reset();
        throw EDiskError(std::string("Cannot start the disk I/O (io_uring): ") + std::strerror(-error));
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
}

TDiskIo::~TDiskIo() {
    if (!ring_) return;
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
    io_uring_sqe* sqe = NextSqe();
    if (!sqe) {
        FailLater(std::move(done), -EBUSY);
        return;
    }
    const uint64_t id = next_id_++;
    io_uring_prep_fsync(sqe, fd, 0);
    io_uring_sqe_set_data64(sqe, id);
    Submit(id, std::move(done));
}

void TDiskIo::Read(int fd, uint64_t offset, char* buf, uint32_t size, TCompletion done) {
    io_uring_sqe* sqe = NextSqe();
    if (!sqe) {
        FailLater(std::move(done), -EBUSY);
        return;
    }
    const uint64_t id = next_id_++;
    io_uring_prep_read(sqe, fd, buf, size, offset);
    io_uring_sqe_set_data64(sqe, id);
    Submit(id, std::move(done));
}

void TDiskIo::Reap() {
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
    while (!pending_.empty()) {
        io_uring_cqe* cqe = nullptr;
        if (io_uring_wait_cqe(ring_.get(), &cqe) < 0) return;
        Reap();
    }
}

}  // namespace vistrel
