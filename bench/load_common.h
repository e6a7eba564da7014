// What the load programs share: timing in milliseconds, the calling thread's
// CPU time, a descriptor limit raised for thousands of connections, the way
// a run ends when something it needs fails, and connecting a crowd of viewers
// a few at a time.
#pragma once

#include <poll.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "client/relay_client.h"

namespace vistrel::load {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

inline double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Ends the run at once, naming the program, what failed and errno.
[[noreturn]] inline void FailRun(const char* program, const char* what) {
    std::fprintf(stderr, "%s: %s (%s)\n", program, what, std::strerror(errno));
    std::_Exit(1);
}

inline void RaiseDescriptorLimit() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
}

// Connects count clients to the relay on loopback port, at most 4 waiting for
// their greeting at once (so a small listen backlog never drops one), and
// hands each to greeted once its greeting has arrived and been taken. The
// run ends (naming program) if a connection fails or is closed first.
template <typename Greeted>
void ConnectGreeted(const char* program, uint16_t port, int32_t count, Greeted&& greeted) {
    using client::TRelayClient;
    std::vector<std::unique_ptr<TRelayClient>> pending;
    int32_t started = 0;
    while (started < count || !pending.empty()) {
        while (started < count && pending.size() < 4) {
            pending.push_back(std::make_unique<TRelayClient>(port));
            if (!pending.back()->Connected()) {
                errno = pending.back()->ConnectError();
                FailRun(program, "connect");
            }
            ++started;
        }
        for (size_t i = 0; i < pending.size();) {
            TRelayClient& client = *pending[i];
            pollfd p{client.Handle(), POLLIN, 0};
            poll(&p, 1, i == 0 ? 5 : 0);
            client.Pump();
            if (client.Ended()) FailRun(program, "a viewer was closed before its greeting");
            if (client.Unread().size() < client::kGreetingSize) {
                ++i;
                continue;
            }
            client.Take(client::kGreetingSize);
            greeted(std::move(pending[i]));
            pending.erase(pending.begin() + static_cast<long>(i));
        }
    }
}

}  // namespace vistrel::load
