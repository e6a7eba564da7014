#include "web/process_metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "web/metrics_text.h"

namespace vistrel {

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Virtual and resident sizes in bytes, from /proc/self/statm (in pages);
// zeros where it cannot be read.
void MemorySizes(uint64_t& virtualBytes, uint64_t& residentBytes) {
    virtualBytes = residentBytes = 0;
    FILE* statm = std::fopen("/proc/self/statm", "re");
    if (!statm) return;
    unsigned long long pages = 0, resident = 0;
    if (std::fscanf(statm, "%llu %llu", &pages, &resident) == 2) {
        const auto pageSize = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        virtualBytes = pages * pageSize;
        residentBytes = resident * pageSize;
    }
    std::fclose(statm);
}

// Descriptors open now, not counting the one that reads the list.
uint64_t OpenDescriptors() {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return 0;
    uint64_t count = 0;
    while (const dirent* entry = readdir(fds))
        if (entry->d_name[0] != '.') ++count;
    closedir(fds);
    return count > 0 ? count - 1 : 0;
}

}  // namespace

void AppendProcessMetrics(TMetricsText& out, std::string_view version, std::chrono::system_clock::time_point started) {
    out.Family("vistrel_build_info", "gauge", "The relay's version, as a label; the value is always 1.");
    out.Sample("vistrel_build_info", {{"version", version}}, uint64_t{1});

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out.Family("process_cpu_seconds_total", "counter", "User and system CPU time spent, in seconds.");
    out.Sample("process_cpu_seconds_total", Seconds(usage.ru_utime) + Seconds(usage.ru_stime));
    uint64_t virtualBytes = 0, residentBytes = 0;
    MemorySizes(virtualBytes, residentBytes);
    out.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out.Sample("process_resident_memory_bytes", residentBytes);
    out.Family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
    out.Sample("process_virtual_memory_bytes", virtualBytes);
    out.Family("process_open_fds", "gauge", "Open file descriptors.");
    out.Sample("process_open_fds", OpenDescriptors());
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    out.Family("process_max_fds", "gauge", "The limit of open file descriptors.");
    out.Sample("process_max_fds", static_cast<uint64_t>(limit.rlim_cur));
    out.Family("process_start_time_seconds", "gauge", "When the process started, in seconds since the Unix epoch.");
    out.Sample("process_start_time_seconds",
               static_cast<double>(
                   std::chrono::duration_cast<std::chrono::seconds>(started.time_since_epoch()).count()));
}

}  // namespace vistrel
