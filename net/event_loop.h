// The program's one event loop: an epoll set of watched descriptors, one-shot
// deadlines on the monotonic clock, and a FIFO of posted notices. Everything
// runs on the thread that calls RunOnce; nothing here is thread-safe.
//
// Order of one step (RunOnce): the output flushes enlisted since the last
// step; the readiness events of one epoll_wait batch, each handler in turn;
// then the deadlines that are due; then the notices that were queued before
// the notice phase began; last the output flushes enlisted during the step. A
// notice is therefore always run after the dispatch that posted it has
// returned. Notices posted by a notice wait for the next step (the loop's
// backend descriptor stays readable, so an embedding toolkit calls again at
// once).
//
// Output: a socket that queues output enlists itself (EnlistFlush) and is
// flushed once, after everything of the step has run, so what one step sends
// to a connection reaches the kernel in one write. Output queued outside a
// step wakes the loop like a posted notice, and is flushed at the start of the
// next step.
//
// Owners: TMainForm owns one loop for the whole run; sockets and timers keep a
// plain reference to it and must be destroyed before it.
// Embedding (Qt): watch BackendFd() for readability, arm a single-shot timer
// for NextTimeout(), and call RunOnce(0) from both.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace vistrel {

// What the loop flushes at the end of a step (a socket with queued output).
class TFlushable {
public:
    // Hands the queued output to the kernel. Errors are the flushable's own
    // business; one that escapes goes to OnUnhandledException.
    virtual void FlushOutput() = 0;

protected:
    ~TFlushable() = default;
};

class TEventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Handler = std::function<void(uint32_t events)>;
    using TimerId = uint64_t;

    // Interest and event flags (the epoll values). kError and kHangup are
    // always reported, whatever the interest.
    static constexpr uint32_t kReadable = EPOLLIN;
    static constexpr uint32_t kWritable = EPOLLOUT;
    static constexpr uint32_t kPeerClosed = EPOLLRDHUP;
    static constexpr uint32_t kError = EPOLLERR;
    static constexpr uint32_t kHangup = EPOLLHUP;

    TEventLoop();
    ~TEventLoop();
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    // Descriptor watching. Watch and Modify return 0 or the errno of the
    // failed epoll_ctl. Events of a descriptor that was unwatched (or watched
    // again under the same number) during a batch are not delivered.
    [[nodiscard]] int Watch(int fd, uint32_t interest, Handler handler);
    [[nodiscard]] int Modify(int fd, uint32_t interest);
    void Unwatch(int fd);
    bool IsWatched(int fd) const;
    uint32_t Interest(int fd) const;  // 0 when not watched

    // Posted notices, delivered in FIFO order after the current dispatch.
    void Post(std::function<void()> notice);
    size_t PendingNotices() const { return notices_.size(); }

    // Output flushes. EnlistFlush returns the slot to pass to DelistFlush
    // when the flushable goes away before its flush; a flushable enlists at
    // most once until its FlushOutput runs (it keeps the slot). FlushOutputs
    // runs the enlisted flushes now, including those enlisted while it runs
    // (after the others). A large pass runs in the order of `order` (a
    // socket gives its descriptor): the kernel's socket objects were made in
    // that order, and walking them in it costs the kernel less than a walk
    // that strides across them, as a tick's walk game by game would; a
    // small one runs in enlisting order. Output to one connection is never
    // reordered by this: each connection is flushed once.
    static constexpr size_t kNotEnlisted = ~size_t{0};
    static constexpr size_t kOrderedFlushes = 64;
    size_t EnlistFlush(TFlushable& flushable, uint32_t order = 0);
    void DelistFlush(size_t slot);
    void FlushOutputs();
    size_t PendingFlushes() const { return flush_count_; }
    // A flush of at least this many connections may free many small blocks
    // all over the heap (a step's output to a crowd); the free pages are
    // then given back to the system, at most once per kTrimInterval.
    static constexpr size_t kTrimAfterFlushes = 256;
    static constexpr std::chrono::seconds kTrimInterval{2};

    // One-shot deadlines. Cancelling an unknown or already run id is a no-op.
    TimerId AddTimer(Clock::time_point due, std::function<void()> callback);
    TimerId AddTimer(std::chrono::milliseconds delay, std::function<void()> callback);
    void CancelTimer(TimerId id);

    // Runs what is ready, waiting at most timeoutMs (0: don't wait, -1: until
    // something happens). Returns false at once when called from inside a
    // step (re-entry guard); true otherwise.
    bool RunOnce(int timeoutMs);
    void Run();   // steps until Stop()
    void Stop();  // makes Run return after the current step
    // Steps until pred() holds or limit has passed; returns whether it held.
    bool RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit);

    int BackendFd() const { return epoll_fd_; }
    // Milliseconds until the loop has work without new input: 0 when notices
    // or output flushes are pending, -1 when nothing is scheduled.
    int NextTimeout() const;
    bool InDispatch() const { return running_; }

    // The loop's notion of now; tests may replace the clock.
    Clock::time_point Now() const { return clock_ ? clock_() : Clock::now(); }
    void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }

    // An exception that escapes a handler, deadline or notice (the socket
    // layer guards its own dispatch, so this is for timers and bare watches)
    // goes here, one of no standard type as "Unknown exception"; without a
    // hook, or when the hook itself fails, it is written to stderr. The step
    // goes on.
    std::function<void(const std::exception&)> OnUnhandledException;
    // Exceptions that escaped a handler, deadline or notice since the start.
    uint64_t UnhandledErrors() const { return unhandled_errors_; }

private:
    struct Watch_ {
        Handler handler;
        uint32_t interest = 0;
        uint32_t generation = 0;  // 0: not watched
    };
    // Runs fn (any callable: a flush of thousands is not wrapped in a
    // std::function each); what escapes it is reported.
    template <class F>
    void Deliver(F&& fn) {
        try {
            fn();
        } catch (const std::exception& e) {
            ReportUnhandled(&e);
        } catch (...) {
            ReportUnhandled(nullptr);
        }
    }
    void ReportUnhandled(const std::exception* e);
    void RunDueTimers();
    void RunNotices();
    void WakeForNotices();
    void Wake();

    int epoll_fd_ = -1;
    int notice_fd_ = -1;  // eventfd, readable while notices are pending
    bool notice_signalled_ = false;
    bool running_ = false;
    bool stop_ = false;
    uint32_t next_generation_ = 1;
    std::vector<Watch_> watches_;  // indexed by descriptor
    std::deque<std::function<void()>> notices_;
    std::vector<TFlushable*> flushes_;  // null: delisted
    std::vector<uint32_t> flush_order_;  // the order key of each slot
    std::vector<uint32_t> flush_pass_;   // slots of one pass, sorted by key
    size_t flush_count_ = 0;            // non-null entries of flushes_
    Clock::time_point last_trim_{};
    uint64_t unhandled_errors_ = 0;
    TimerId next_timer_id_ = 1;
    std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> timers_;
    std::map<TimerId, Clock::time_point> timer_due_;
    std::function<Clock::time_point()> clock_;
};

}  // namespace vistrel
