// What the load programs share: timing in milliseconds, the calling thread's
// CPU time, a descriptor limit raised for thousands of connections, and the
// way a run ends when something it needs fails.
#pragma once

#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

}  // namespace vistrel::load
