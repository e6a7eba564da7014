// What the load programs share: timing in milliseconds, the calling thread's
// CPU time, a descriptor limit raised for thousands of connections, the way
// a run ends when something it needs fails, connecting a crowd of viewers a
// few at a time, and noise packets and a dropped page cache for the recording
// runs.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/relay_client.h"
#include "core/protocol.h"

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

// A stored DEMOPACKET of 1,200 to 1,599 bytes of noise at location, the size
// of a typical demo packet, as a recording holds it.
inline std::string NoisePacket(int32_t location, std::mt19937& rng) {
    const size_t size = 1200 + rng() % 400;
    std::string packet(size, '\0');
    for (size_t i = 16; i < size; ++i) packet[i] = static_cast<char>(rng() & 0xFF);
    WriteInt32(packet, PacketOffset::Type, PacketType::DEMOPACKET);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(size));
    WriteInt32(packet, PacketOffset::Location, location);
    return packet;
}

// Writes dirty pages back and drops the page cache, so what is read next
// comes from the device; false where this process may not.
inline bool DropCaches() {
    sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    if (!drop) return false;
    drop << "3\n";
    drop.flush();
    return static_cast<bool>(drop);
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
