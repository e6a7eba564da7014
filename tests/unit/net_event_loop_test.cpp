// Event loop ordering, re-entry, deadlines and the periodic timer.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/event_loop.h"
#include "net/timer.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) close(r);
        if (w >= 0) close(w);
    }
    void Fill() { EXPECT_EQ(write(w, "x", 1), 1); }
};

TEST(EventLoopTest, NoticesRunAfterTheDispatchThatPostedThemInOrder) {
    TEventLoop loop;
    Pipe a, b;
    std::vector<std::string> seen;
    ASSERT_EQ(loop.Watch(a.r, TEventLoop::kReadable, [&](uint32_t) {
        seen.push_back("a");
        loop.Post([&] {
            seen.push_back("n1");
            loop.Post([&] { seen.push_back("n3"); });  // a notice's notice: next step
        });
        loop.Post([&] { seen.push_back("n2"); });
        char c;
        EXPECT_EQ(read(a.r, &c, 1), 1);
    }), 0);
    ASSERT_EQ(loop.Watch(b.r, TEventLoop::kReadable, [&](uint32_t) {
        seen.push_back("b");
        char c;
        EXPECT_EQ(read(b.r, &c, 1), 1);
    }), 0);
    a.Fill();
    b.Fill();
    EXPECT_TRUE(loop.RunOnce(1000));
    // Both readiness events of the batch, then the notices, FIFO.
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2], "n1");
    EXPECT_EQ(seen[3], "n2");
    EXPECT_EQ(loop.NextTimeout(), 0);  // n3 is pending
    // The backend descriptor is readable so an embedding toolkit comes back.
    EXPECT_TRUE(loop.RunUntil([&] { return seen.size() == 5; }, 1s));
    EXPECT_EQ(seen.back(), "n3");
    EXPECT_EQ(loop.NextTimeout(), -1);
}

TEST(EventLoopTest, UnwatchedDescriptorGetsNoStaleEventAndStepsDoNotNest) {
    TEventLoop loop;
    Pipe a, b;
    int calls = 0;
    bool nested = true;
    auto handler = [&](uint32_t) {
        ++calls;
        nested = loop.RunOnce(0);  // re-entry is refused
        loop.Unwatch(a.r);
        loop.Unwatch(b.r);
    };
    ASSERT_EQ(loop.Watch(a.r, TEventLoop::kReadable, handler), 0);
    ASSERT_EQ(loop.Watch(b.r, TEventLoop::kReadable, handler), 0);
    a.Fill();
    b.Fill();
    EXPECT_TRUE(loop.RunOnce(1000));
    // Whichever ran first removed the other; its event of the same batch is dropped.
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(nested);
    EXPECT_FALSE(loop.IsWatched(a.r));
}

TEST(EventLoopTest, DeadlinesFollowTheLoopClock) {
    TEventLoop loop;
    auto now = TEventLoop::Clock::now();
    loop.SetClock([&] { return now; });
    int fired = 0;
    loop.AddTimer(100ms, [&] { ++fired; });
    auto cancelled = loop.AddTimer(50ms, [&] { fired += 100; });
    loop.CancelTimer(cancelled);
    EXPECT_EQ(loop.NextTimeout(), 100);
    loop.RunOnce(0);
    EXPECT_EQ(fired, 0);
    now += 100ms;
    EXPECT_EQ(loop.NextTimeout(), 0);
    loop.RunOnce(0);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(loop.NextTimeout(), -1);
}

// A flushable that records when the loop flushes it.
struct TRecordingFlush : TFlushable {
    std::vector<std::string>& seen;
    std::string name;
    size_t slot = TEventLoop::kNotEnlisted;
    TRecordingFlush(std::vector<std::string>& s, std::string n) : seen(s), name(std::move(n)) {}
    void FlushOutput() override {
        slot = TEventLoop::kNotEnlisted;
        seen.push_back(name);
    }
};

TEST(EventLoopTest, OutputIsFlushedOnceAfterEverythingElseOfTheStep) {
    TEventLoop loop;
    auto now = TEventLoop::Clock::now();
    loop.SetClock([&] { return now; });
    Pipe a;
    std::vector<std::string> seen;
    TRecordingFlush out(seen, "flush"), gone(seen, "gone");
    ASSERT_EQ(loop.Watch(a.r, TEventLoop::kReadable, [&](uint32_t) {
        char c;
        EXPECT_EQ(read(a.r, &c, 1), 1);
        seen.push_back("event");
        out.slot = loop.EnlistFlush(out);
        // Enlisted, then gone before the end of the step: never flushed.
        gone.slot = loop.EnlistFlush(gone);
        loop.DelistFlush(gone.slot);
        loop.AddTimer(0ms, [&] { seen.push_back("deadline"); });
        loop.Post([&] {
            seen.push_back("notice");
            // Enlisted again in the same step: still one flush.
            if (out.slot == TEventLoop::kNotEnlisted) out.slot = loop.EnlistFlush(out);
        });
    }), 0);
    a.Fill();
    EXPECT_TRUE(loop.RunOnce(1000));
    EXPECT_EQ(seen, (std::vector<std::string>{"event", "deadline", "notice", "flush"}));
    EXPECT_EQ(loop.PendingFlushes(), 0u);
    EXPECT_EQ(loop.NextTimeout(), -1);
}

TEST(EventLoopTest, ALargeFlushRunsInKeyOrderAndWhatItEnlistsRunsAfter) {
    TEventLoop loop;
    std::vector<std::string> seen;
    const size_t n = TEventLoop::kOrderedFlushes + 6;
    std::vector<std::unique_ptr<TRecordingFlush>> flushes;
    for (size_t i = 0; i < n; ++i) flushes.push_back(std::make_unique<TRecordingFlush>(seen, std::to_string(i)));
    TRecordingFlush late(seen, "late");
    // Enlisted in a strided order (as a tick walks game by game), keyed by
    // their number; one goes away before the pass.
    for (size_t step = 0; step < 3; ++step)
        for (size_t i = step; i < n; i += 3) flushes[i]->slot = loop.EnlistFlush(*flushes[i], static_cast<uint32_t>(i));
    loop.DelistFlush(flushes[5]->slot);
    struct TEnlisting : TFlushable {
        TEventLoop& loop;
        TRecordingFlush& other;
        explicit TEnlisting(TEventLoop& l, TRecordingFlush& o) : loop(l), other(o) {}
        void FlushOutput() override { other.slot = loop.EnlistFlush(other, 0); }
    } enlisting(loop, late);
    loop.EnlistFlush(enlisting, 3);
    loop.FlushOutputs();
    std::vector<std::string> expected;
    for (size_t i = 0; i < n; ++i)
        if (i != 5) expected.push_back(std::to_string(i));
    expected.push_back("late");  // lowest key, but enlisted during the pass
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(loop.PendingFlushes(), 0u);
}

TEST(EventLoopTest, OutputQueuedOutsideAStepWakesTheLoop) {
    TEventLoop loop;
    std::vector<std::string> seen;
    TRecordingFlush out(seen, "flush");
    EXPECT_EQ(loop.NextTimeout(), -1);
    out.slot = loop.EnlistFlush(out);
    // An embedding toolkit sees work at once: no wait, a readable backend.
    EXPECT_EQ(loop.NextTimeout(), 0);
    pollfd backend{loop.BackendFd(), POLLIN, 0};
    EXPECT_EQ(poll(&backend, 1, 0), 1);
    EXPECT_TRUE(loop.RunOnce(0));
    EXPECT_EQ(seen, std::vector<std::string>{"flush"});
    EXPECT_EQ(loop.NextTimeout(), -1);
    EXPECT_EQ(poll(&backend, 1, 0), 0);  // nothing left to wake for
}

TEST(TTimerTest, TicksWhileEnabledAndFiresOnDemand) {
    TEventLoop loop;
    TTimer timer(loop, 5);
    int ticks = 0;
    timer.OnTimer = [&] { ++ticks; };
    timer.Fire();  // runs now, enabled or not
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(timer.Enabled());
    EXPECT_EQ(loop.NextTimeout(), -1);

    timer.SetEnabled(true);
    EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 3; }, 2s));
    // A handler that disables its timer stops it.
    timer.OnTimer = [&] {
        ++ticks;
        timer.SetEnabled(false);
    };
    int before = ticks;
    EXPECT_TRUE(loop.RunUntil([&] { return ticks == before + 1; }, 2s));
    EXPECT_EQ(loop.NextTimeout(), -1);

    // An exception from a tick is reported, the loop goes on.
    std::string reported;
    loop.OnUnhandledException = [&](const std::exception& e) { reported = e.what(); };
    timer.OnTimer = [] { throw std::runtime_error("tick failed"); };
    timer.SetEnabled(true);
    EXPECT_TRUE(loop.RunUntil([&] { return !reported.empty(); }, 2s));
    EXPECT_EQ(reported, "tick failed");
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(loop.UnhandledErrors(), 1u);

    // One of no standard type reaches the hook too; a failing hook loses
    // nothing of the count.
    reported.clear();
    timer.OnTimer = [] { throw 42; };
    EXPECT_TRUE(loop.RunUntil([&] { return !reported.empty(); }, 2s));
    EXPECT_EQ(reported, "Unknown exception");
    loop.OnUnhandledException = [&](const std::exception&) { throw std::runtime_error("hook failed"); };
    const uint64_t counted = loop.UnhandledErrors();
    EXPECT_TRUE(loop.RunUntil([&] { return loop.UnhandledErrors() > counted; }, 2s));
}

}  // namespace
}  // namespace vistrel
