// TGameRecording: the relay's recording side. At start-up it opens the data
// folder and brings every recording in it back as a game without a sender
// (through TGameHost); while serving, a sender's game gets its file, and its
// descriptions and packets are written before they are stored or answered.
// Recording is off while no data folder is set (what a frame made by a test
// gets unless it asks).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "disk/recorder.h"

namespace vistrel {

class TActiveGameList;
class TDemoSender;
class TEventLoop;
class TFrontEnd;
class TGameHost;
class TRelayLog;
struct TDiskMetrics;

class TGameRecording {
public:
    TGameRecording(TEventLoop& loop, TRelayLog& log, TFrontEnd& frontEnd, TDiskMetrics& metrics)
        : loop_(loop), log_(log), front_end_(frontEnd), metrics_(metrics) {}

    // Set before Start; the default, an empty data folder, records nothing.
    void SetOptions(const TRecorderOptions& options) { options_ = options; }
    const TRecorderOptions& Options() const noexcept { return options_; }

    // Starts the recorder on the data folder and brings every recording in
    // it back through host. False (reported through the front end) when the
    // folder or the disk I/O cannot be used.
    bool Start(TGameHost& host);
    // Forces what is not yet on the disk and closes the files.
    void Stop() { recorder_.reset(); }

    // Null while recording is off.
    const TRecorder* Recorder() const noexcept { return recorder_.get(); }
    TRecorder* Recorder() noexcept { return recorder_.get(); }
    // The recordings fill the folder's limit (--max-disk).
    bool FillsDisk() const noexcept { return recorder_ && recorder_->FolderFull(); }
    // How far the game's file is on the disk (everything, while off).
    uint64_t DurableEnd(int32_t gameId) const;
    // The game's file is on the disk up to durableEnd.
    std::function<void(int32_t gameId, uint64_t durableEnd)> OnDurable;

    // A new sender's game gets its file.
    void RecordNewGame(const TActiveGameList& game);
    // Appends the game's description after its sender's GAMEINFO.
    void RecordDescription(TDemoSender& sender, const TActiveGameList& game);
    // Writes a packet's record before the packet is stored or acknowledged.
    // True when it was written, or nothing is recorded; durableAt receives
    // the file length that must be on the disk before the answer goes out
    // (0: nothing to wait for). False after a failed write, logged once per
    // sender connection: nothing of the packet may be stored then.
    // ackMs: when it is acknowledged, kept in its record for the broadcast
    // delay after a restart.
    bool RecordPacket(TDemoSender& sender, const TActiveGameList& game, int32_t location, std::string_view packet,
                      int64_t ackMs, uint64_t& durableAt);
    // A deleted game's recording goes with it.
    void RemoveGame(int32_t gameId) {
        if (recorder_) recorder_->RemoveGame(gameId);
    }

private:
    void Restore(TGameHost& host, const std::string& path);

    TEventLoop& loop_;
    TRelayLog& log_;
    TFrontEnd& front_end_;
    TDiskMetrics& metrics_;
    TRecorderOptions options_{"", TFsyncMode::EverySec, 0};
    std::unique_ptr<TRecorder> recorder_;
    // Restored files that could only be opened for reading.
    int read_only_files_ = 0;
};

}  // namespace vistrel
