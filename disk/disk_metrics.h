// TDiskMetrics: the recorder's running counts for the metrics page: bytes
// handed to the kernel, forced writes (fsync) done, and writes or forced
// writes that failed. Plain numbers on the loop's thread; they only grow.
#pragma once

#include <cstdint>

namespace vistrel {

struct TDiskMetrics {
    // Bytes of headers and records written to the recordings.
    uint64_t BytesWritten = 0;
    // Forced writes (fsync) that completed, and those that failed.
    uint64_t Fsyncs = 0;
    uint64_t FsyncErrors = 0;
    // Writes that failed (nothing of them stays in the file).
    uint64_t WriteErrors = 0;
    // Bytes read back from the recordings after start-up (paging).
    uint64_t BytesRead = 0;
};

}  // namespace vistrel
