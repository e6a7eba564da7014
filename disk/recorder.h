// TRecorder: every game's recording in the data folder, one append-only file
// per game (docs/recording-format.md), named game-<id>.vrec.
//
// Writing happens on the loop's thread with plain pwrite(2) calls, which hand
// the bytes to the kernel without waiting for a disk: once a write returned,
// a crash of the process loses nothing of it. A write that fails (a full
// disk, a file size limit, an I/O error) leaves nothing of itself in the
// file: the file is cut back to where the write began.
//
// Forcing the files to the disk (fsync) never runs on the loop's thread: it
// goes to the kernel through TDiskIo, and its completion comes back as a
// callback in a later step. When that happens is the fsync policy:
//   always    every write is followed by a forced write (one at a time per
//             file; writes made meanwhile are forced by the next one), and
//             OnDurable tells the relay how far each file is forced;
//   everysec  once a second, every file written since its last forced write;
//   no        never (the system writes the files back in its own time).
//
// Owned by TMainForm while recording is on; one thread, nothing locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/recording_format.h"
#include "disk/disk_io.h"
#include "disk/disk_metrics.h"
#include "net/event_loop.h"
#include "net/timer.h"

struct iovec;

namespace vistrel {

enum class TFsyncMode { Always, EverySec, No };

// "always", "everysec", "no"; false for anything else.
bool ParseFsyncMode(std::string_view text, TFsyncMode& mode);
const char* FsyncModeName(TFsyncMode mode);

struct TRecorderOptions {
    // The data folder; empty: nothing is recorded.
    std::string DataDir;
    TFsyncMode Fsync = TFsyncMode::EverySec;
    // The folder's recordings may hold this many bytes together; 0: no limit.
    uint64_t MaxDisk = 0;
};

// Where a packet's record lies in its game's file.
struct TRecordRef {
    uint64_t Offset = 0;  // 0: no record (the header comes first)
    uint32_t Size = 0;    // head and payload
};

// A run of packets read back from a game's file: each packet with its
// location, in location order.
struct TPageRun {
    int32_t GameId = 0;
    std::vector<std::pair<int32_t, std::string_view>> Packets;
    // The bytes the views point into; valid while the run lives.
    std::unique_ptr<char[]> Buffer;
    // 0, or minus the errno of a failed read.
    int Error = 0;
};

// The outcome of one write: 0, or the errno that made it fail; End is the
// file's length after a successful write.
struct TDiskWrite {
    int Error = 0;
    uint64_t End = 0;
};

class TRecorder {
public:
    static constexpr uint32_t kEverySecMs = 1000;

    TRecorder(TEventLoop& loop, TRecorderOptions options, TDiskMetrics& metrics);
    // Forces every file written since its last forced write to the disk
    // (unless the policy is no) and closes them all.
    ~TRecorder();
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // Creates the folder (mode 0700, its parents too) and starts the disk I/O;
    // EDiskError when either cannot be done.
    void Open();
    const TRecorderOptions& Options() const noexcept { return options_; }
    const std::string& DataDir() const noexcept { return options_.DataDir; }

    // The file name a game's recording gets: "game-<id>.vrec".
    static std::string FileNameFor(int32_t id);

    // --- Start-up ---------------------------------------------------------------
    // Every regular file in the folder, by name, as full paths.
    std::vector<std::string> ListFolder() const;
    // Takes a restored file as game id's recording; size is its length,
    // records where each location's packet record lies.
    void Adopt(int32_t id, const std::string& path, uint64_t size, int64_t openedMs,
               std::vector<TRecordRef> records = {});

    // --- A game's file ----------------------------------------------------------
    // Starts game id's recording: a new file with the header and the
    // description. Returns 0 or the errno of the failure; after a failure the
    // game is still known, and its next write tries to make the file again.
    int OpenGame(int32_t id, int64_t openedMs, const TGameDescription& description);
    // Appends a description record (and remembers it for a file made later).
    TDiskWrite WriteDescription(int32_t id, const TGameDescription& description);
    // Appends a timed packet record (acknowledged at ackMs). ENOENT for a
    // game that is not recorded.
    TDiskWrite WritePacket(int32_t id, int32_t location, std::string_view packet, int64_t ackMs = 0);
    // Deletes game id's file and forgets it; nothing for an unknown game.
    void RemoveGame(int32_t id);
    bool Has(int32_t id) const { return files_.count(id) != 0; }
    // The file of game id ("" when unknown or not made yet).
    std::string PathOf(int32_t id) const;
    // A descriptor for reading game id's file from its start, and its length
    // now; -1 (errno set) when there is none. The caller closes it.
    int OpenForReading(int32_t id, uint64_t& size) const;

    // --- Reading back (paging) ---------------------------------------------------
    // Where location's packet record lies in game id's file (Offset 0: none).
    TRecordRef RecordOf(int32_t id, int32_t location) const;
    // Reads the records of locations first .. first + count - 1 of game id
    // that have one, as one read off the loop's thread (fewer when their
    // records do not lie in order or span more than kMaxPageRead); done
    // receives the run in a later step. False when nothing is to be read
    // (an unknown game, no record in the range).
    static constexpr size_t kMaxPageRead = size_t{4} << 20;
    bool ReadRun(int32_t id, int32_t first, int32_t count, std::function<void(TPageRun& run)> done);
    size_t ReadsInFlight() const noexcept { return reads_in_flight_; }

    // --- Space ------------------------------------------------------------------
    // The recordings' bytes together.
    uint64_t TotalBytes() const noexcept { return total_bytes_; }
    // MaxDisk is set and reached.
    bool FolderFull() const noexcept { return options_.MaxDisk != 0 && total_bytes_ >= options_.MaxDisk; }

    // --- Forcing to the disk --------------------------------------------------------
    // How much of game id's file is known to be on the disk (its length for
    // an unknown game, so nothing waits for it).
    uint64_t DurableEnd(int32_t id) const;
    // With the policy always: game id's file is forced up to durableEnd.
    std::function<void(int32_t id, uint64_t durableEnd)> OnDurable;
    // A forced write failed: one line for the log.
    std::function<void(const std::string& line)> OnError;
    // The everysec timer (tests fire it).
    TTimer& FsyncTimer() noexcept { return fsync_timer_; }
    TDiskIo& Io() noexcept { return *io_; }
    // How forced writes and reads reach the disk ("io_uring", "an I/O thread").
    const char* IoKind() const noexcept { return io_ ? io_->Kind() : "none"; }
    // Forced writes in flight.
    size_t FsyncsInFlight() const noexcept { return io_ ? io_->InFlight() : 0; }

private:
    struct TGameFile;
    using TFilePtr = std::shared_ptr<TGameFile>;

    int MakeFile(TGameFile& file);
    TDiskWrite Append(TGameFile& file, const ::iovec* pieces, int count, size_t bytes);
    void ForceSoon(const TFilePtr& file);
    void Force(const TFilePtr& file);
    void Forced(const TFilePtr& file, uint64_t end, int result);
    void ForceEverySecond();

    TEventLoop& loop_;
    TRecorderOptions options_;
    TDiskMetrics& metrics_;
    std::unordered_map<int32_t, TFilePtr> files_;
    uint64_t total_bytes_ = 0;
    size_t reads_in_flight_ = 0;
    int dir_fd_ = -1;
    TTimer fsync_timer_;
    // Last: destroyed first, waiting for what is in flight.
    std::unique_ptr<TDiskIo> io_;
};

}  // namespace vistrel
