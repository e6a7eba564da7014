#include "net/event_loop.h"

#include <malloc.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <numeric>
#include <system_error>

#include "base/exception.h"

namespace vistrel {

namespace {

// The notice eventfd is registered under this tag, which no descriptor has.
constexpr uint64_t kNoticeTag = ~uint64_t{0};
constexpr int kMaxEventsPerStep = 256;

uint64_t Tag(int fd, uint32_t generation) {
    return (uint64_t{generation} << 32) | static_cast<uint32_t>(fd);
}

}  // namespace

TEventLoop::TEventLoop() {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    notice_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (notice_fd_ < 0) {
        int err = errno;
        close(epoll_fd_);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kNoticeTag;
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, notice_fd_, &ev) != 0) {
        int err = errno;
        close(notice_fd_);
        close(epoll_fd_);
        throw std::system_error(err, std::generic_category(), "epoll_ctl");
    }
}

TEventLoop::~TEventLoop() {
    close(notice_fd_);
    close(epoll_fd_);
}

int TEventLoop::Watch(int fd, uint32_t interest, Handler handler) {
    if (fd < 0) return EBADF;
    if (static_cast<size_t>(fd) >= watches_.size()) watches_.resize(static_cast<size_t>(fd) + 1);
    Watch_& w = watches_[static_cast<size_t>(fd)];
    uint32_t generation = next_generation_++;
    if (next_generation_ == 0) next_generation_ = 1;
    epoll_event ev{};
    ev.events = interest;
    ev.data.u64 = Tag(fd, generation);
    int op = w.generation != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epoll_fd_, op, fd, &ev) != 0) {
        // A descriptor closed without Unwatch left the set by itself.
        if (op != EPOLL_CTL_MOD || errno != ENOENT || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0)
            return errno;
    }
    w.handler = std::move(handler);
    w.interest = interest;
    w.generation = generation;
    return 0;
}

int TEventLoop::Modify(int fd, uint32_t interest) {
    if (!IsWatched(fd)) return EBADF;
    Watch_& w = watches_[static_cast<size_t>(fd)];
    if (w.interest == interest) return 0;
    epoll_event ev{};
    ev.events = interest;
    ev.data.u64 = Tag(fd, w.generation);
    if (epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) return errno;
    w.interest = interest;
    return 0;
}

void TEventLoop::Unwatch(int fd) {
    if (!IsWatched(fd)) return;
    Watch_& w = watches_[static_cast<size_t>(fd)];
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    w.generation = 0;
    w.interest = 0;
    w.handler = nullptr;  // the step runs a copy, so this may be the running one
}

bool TEventLoop::IsWatched(int fd) const {
    return fd >= 0 && static_cast<size_t>(fd) < watches_.size() &&
           watches_[static_cast<size_t>(fd)].generation != 0;
}

uint32_t TEventLoop::Interest(int fd) const {
    return IsWatched(fd) ? watches_[static_cast<size_t>(fd)].interest : 0;
}

void TEventLoop::Post(std::function<void()> notice) {
    notices_.push_back(std::move(notice));
    WakeForNotices();
}

void TEventLoop::WakeForNotices() { Wake(); }

void TEventLoop::Wake() {
    if (notice_signalled_) return;
    uint64_t one = 1;
    if (write(notice_fd_, &one, sizeof one) == sizeof one) notice_signalled_ = true;
}

size_t TEventLoop::EnlistFlush(TFlushable& flushable, uint32_t order) {
    assert(flush_count_ <= flushes_.size() && flush_order_.size() == flushes_.size());
    flushes_.push_back(&flushable);
    flush_order_.push_back(order);
    ++flush_count_;
    // Queued outside a step: the next step flushes it, so an embedding
    // toolkit must be told to run one.
    if (!running_) Wake();
    return flushes_.size() - 1;
}

void TEventLoop::DelistFlush(size_t slot) {
    // A flushable gives back only the slot it holds, once.
    assert(slot < flushes_.size() && flushes_[slot]);
    if (slot >= flushes_.size() || !flushes_[slot]) return;
    assert(flush_count_ > 0);
    flushes_[slot] = nullptr;
    --flush_count_;
}

void TEventLoop::FlushOutputs() {
    const size_t flushed = flush_count_;
    // Slots never move while the pass runs (DelistFlush finds its own), so
    // the order is a separate list of slots.
    auto flushSlot = [this](size_t i) {
        TFlushable* flushable = flushes_[i];
        if (!flushable) return;
        assert(flush_count_ > 0);
        flushes_[i] = nullptr;
        --flush_count_;
        Deliver([flushable] { flushable->FlushOutput(); });
    };
    size_t i = 0;
    if (flushes_.size() >= kOrderedFlushes) {
        flush_pass_.resize(flushes_.size());
        std::iota(flush_pass_.begin(), flush_pass_.end(), uint32_t{0});
        std::sort(flush_pass_.begin(), flush_pass_.end(),
                  [this](uint32_t a, uint32_t b) { return flush_order_[a] < flush_order_[b]; });
        i = flush_pass_.size();
        for (uint32_t slot : flush_pass_) flushSlot(slot);
    }
    // By index: a flush may enlist others (they are appended and run here).
    for (; i < flushes_.size(); ++i) flushSlot(i);
    // Every slot was flushed or delisted: none is left counted.
    assert(flush_count_ == 0);
    flushes_.clear();
    flush_order_.clear();
    // What a crowd's output of one step freed stays with the allocator,
    // scattered between blocks still in use; without this the process
    // would keep its largest step's output resident for good.
    if (flushed >= kTrimAfterFlushes) {
        const auto now = Clock::now();
        if (now - last_trim_ >= kTrimInterval) {
            last_trim_ = now;
            malloc_trim(0);
        }
    }
}

TEventLoop::TimerId TEventLoop::AddTimer(Clock::time_point due, std::function<void()> callback) {
    TimerId id = next_timer_id_++;
    timers_.emplace(std::make_pair(due, id), std::move(callback));
    timer_due_.emplace(id, due);
    return id;
}

TEventLoop::TimerId TEventLoop::AddTimer(std::chrono::milliseconds delay, std::function<void()> callback) {
    return AddTimer(Now() + delay, std::move(callback));
}

void TEventLoop::CancelTimer(TimerId id) {
    auto it = timer_due_.find(id);
    if (it == timer_due_.end()) return;
    auto t = timers_.find(std::make_pair(it->second, id));
    if (t != timers_.end()) {
        // May be cancelled from inside its own callback, which has already
        // been moved out; destroying another one's closure here is safe.
        timers_.erase(t);
    }
    timer_due_.erase(it);
}

int TEventLoop::NextTimeout() const {
    if (!notices_.empty() || flush_count_ > 0) return 0;
    if (timers_.empty()) return -1;
    auto left = timers_.begin()->first.first - Now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}

void TEventLoop::ReportUnhandled(const std::exception* e) {
    ++unhandled_errors_;
    if (OnUnhandledException) {
        try {
            if (e)
                OnUnhandledException(*e);
            else
                OnUnhandledException(Exception("Exception", "Unknown exception"));
            return;
        } catch (...) {
            // The hook failed: the error is not lost with it.
        }
    }
    if (e)
        std::fprintf(stderr, "unhandled exception in event loop: %s\n", e->what());
    else
        std::fprintf(stderr, "unhandled non-standard exception in event loop\n");
}

bool TEventLoop::RunOnce(int timeoutMs) {
    if (running_) return false;
    running_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{running_};

    // Output queued since the last step goes out before waiting.
    if (flush_count_ > 0) FlushOutputs();
    int wait = timeoutMs;
    int next = NextTimeout();
    if (next >= 0 && (wait < 0 || next < wait)) wait = next;

    epoll_event events[kMaxEventsPerStep];
    int n = epoll_wait(epoll_fd_, events, kMaxEventsPerStep, wait);
    if (n < 0) n = 0;  // EINTR: treat as an empty batch
    for (int i = 0; i < n; ++i) {
        uint64_t tag = events[i].data.u64;
        if (tag == kNoticeTag) continue;  // notices run below
        int fd = static_cast<int>(static_cast<uint32_t>(tag));
        uint32_t generation = static_cast<uint32_t>(tag >> 32);
        if (!IsWatched(fd)) continue;
        Watch_& w = watches_[static_cast<size_t>(fd)];
        if (w.generation != generation || !w.handler) continue;
        uint32_t ev = events[i].events;
        // A copy: the handler may unwatch itself or watch new descriptors,
        // which can move the table under it.
        Handler h = w.handler;
        Deliver([&h, ev] { h(ev); });
    }
    RunDueTimers();
    RunNotices();
    FlushOutputs();
    return true;
}

void TEventLoop::RunDueTimers() {
    auto now = Now();
    // Only deadlines due at the start of the phase: a timer that re-arms
    // itself for "now" runs in the next step, so the phase is bounded.
    std::vector<TimerId> due;
    for (auto& [key, fn] : timers_) {
        if (key.first > now) break;
        due.push_back(key.second);
    }
    for (TimerId id : due) {
        auto it = timer_due_.find(id);
        if (it == timer_due_.end()) continue;  // cancelled by an earlier one
        auto t = timers_.find(std::make_pair(it->second, id));
        std::function<void()> fn = std::move(t->second);
        timers_.erase(t);
        timer_due_.erase(it);
        Deliver(fn);
    }
}

void TEventLoop::RunNotices() {
    if (notice_signalled_) {
        uint64_t value;
        if (read(notice_fd_, &value, sizeof value) == sizeof value || errno == EAGAIN)
            notice_signalled_ = false;
    }
    size_t count = notices_.size();
    for (size_t i = 0; i < count && !notices_.empty(); ++i) {
        std::function<void()> fn = std::move(notices_.front());
        notices_.pop_front();
        Deliver(fn);
    }
    if (!notices_.empty()) WakeForNotices();
}

void TEventLoop::Run() {
    stop_ = false;
    while (!stop_) RunOnce(-1);
    stop_ = false;
}

void TEventLoop::Stop() { stop_ = true; }

bool TEventLoop::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (running_) return false;  // nested: cannot step
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return pred();
        RunOnce(static_cast<int>(std::min<long long>(left, 20)));
    }
    return true;
}

}  // namespace vistrel
