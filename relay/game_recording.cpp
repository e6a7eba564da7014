#include "relay/game_recording.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/game_list.h"
#include "core/protocol.h"
#include "disk/recording_scanner.h"
#include "relay/demo_sender.h"
#include "relay/front_end.h"
#include "relay/game_host.h"
#include "relay/relay_limits.h"
#include "relay/relay_log.h"

namespace vistrel {

namespace {

std::string SystemError(int error) { return std::strerror(error); }

// Brings one file back as a game without a sender: its last description, its
// packets in their locations.
class TRestoreVisitor : public TRecordingVisitor {
public:
    TRestoreVisitor(TGameHost& host, const std::string& path, bool readOnly)
        : host_(host), path_(path), read_only_(readOnly) {}

    bool Begin(const TRecordingHeader& header) override {
        begun_ = true;
        header_id_ = header.GameId;
        // An identifier no game can have, or one an earlier file holds: the
        // game comes back under the next free one, packets and all.
        if (header.GameId > 0 && !host_.FindGameById(header.GameId)) id_ = header.GameId;
        opened_ms_ = header.OpenedMs;
        return true;
    }
    void Description(const TGameDescription& description) override {
        if (!game_) {
            Open(description);
        } else {
            host_.DescribeGame(*game_, description);
        }
    }
    // A packet of a version 1 recording: acknowledged long ago.
    void Packet(int32_t location, std::string_view packet, uint64_t offset) override {
        Store(location, 0, packet, offset, kPacketRecordHeadSize + packet.size());
    }
    void TimedPacket(int32_t location, int64_t ackMs, std::string_view packet, uint64_t offset) override {
        Store(location, ackMs, packet, offset, kTimedPacketRecordHeadSize + packet.size());
    }
    void Store(int32_t location, int64_t ackMs, std::string_view packet, uint64_t offset, size_t size) {
        Game();
        // The packet stays in the file: it comes back paged out and is read
        // when a viewer reaches it, so the restore reads and checks the file
        // but copies nothing.
        if (game_ && game_->CheckLocation(location) == TLocationCheck::Fits) {
            // With its acknowledgement time: a restart never shortens the delay.
            game_->StorePagedOutAt(location,
                                   PacketTypeOf(packet) == PacketType::DEMORESTART ? kTagDemoRestart : kTagDemoPacket,
                                   ackMs);
            ++packets_;
            if (records_.size() <= static_cast<size_t>(location)) records_.resize(static_cast<size_t>(location) + 1);
            records_[static_cast<size_t>(location)] = TRecordRef{offset, static_cast<uint32_t>(size)};
        } else {
            ++refused_;
        }
    }
    void Damaged(uint64_t offset, uint64_t bytes) override {
        host_.ServerLog("Recording " + path_ + ": " + std::to_string(bytes) + " damaged bytes at byte " +
                                   std::to_string(offset) + " were skipped");
    }
    void TornTail(uint64_t offset, uint64_t bytes) override {
        host_.ServerLog("Recording " + path_ + ": a torn last record of " + std::to_string(bytes) + " bytes at byte " +
                        std::to_string(offset) +
                        (read_only_ ? " is passed over (the file cannot be written)" : " was cut off"));
    }
    // The game, opened with an empty description if no record described it.
    TActiveGameList* Game() {
        if (!game_ && begun_) Open(TGameDescription{});
        return game_;
    }

    bool Begun() const noexcept { return begun_; }
    // The identifier the file's header holds, and whether the game came back
    // under another one.
    int32_t HeaderId() const noexcept { return header_id_; }
    bool Renumbered() const noexcept { return game_ && id_ != header_id_; }
    int32_t Id() const noexcept { return id_; }
    int64_t OpenedMs() const noexcept { return opened_ms_; }
    bool Taken() const noexcept { return taken_; }
    uint64_t Packets() const noexcept { return packets_; }
    uint64_t Refused() const noexcept { return refused_; }
    std::vector<TRecordRef>& Records() noexcept { return records_; }

private:
    void Open(const TGameDescription& description) {
        game_ = host_.OpenDetachedGame(id_, description);
        if (!game_) return;
        id_ = game_->Identifier();
        // The game is the one that was opened then, for caches and edges too.
        game_->SetOpenedMs(opened_ms_);
    }

    TGameHost& host_;
    const std::string& path_;
    const bool read_only_;
    TActiveGameList* game_ = nullptr;
    bool begun_ = false;
    int32_t header_id_ = 0;
    int32_t id_ = 0;
    int64_t opened_ms_ = 0;
    bool taken_ = false;
    uint64_t packets_ = 0;
    uint64_t refused_ = 0;
    std::vector<TRecordRef> records_;
};

}  // namespace

bool TGameRecording::Start(TGameHost& host) {
    recorder_.reset();
    if (options_.DataDir.empty()) return true;
    auto recorder = std::make_unique<TRecorder>(loop_, options_, metrics_);
    try {
        recorder->Open();
    } catch (const std::exception& e) {
        front_end_.ReportError(e);
        return false;
    }
    recorder->OnDurable = [this](int32_t id, uint64_t end) {
        if (OnDurable) OnDurable(id, end);
    };
    recorder->OnError = [this](const std::string& line) { log_.Line(line); };
    recorder_ = std::move(recorder);
    std::string line = "Recording games to " + recorder_->DataDir() + " (fsync " + FsyncModeName(options_.Fsync);
    if (options_.MaxDisk != 0) line += ", at most " + FormatByteSize(options_.MaxDisk);
    log_.Line(line + ", through " + recorder_->IoKind() + ")");

    const auto started = std::chrono::steady_clock::now();
    const TGameList& games = *host.Games();
    const int32_t gamesBefore = games.Count();
    uint64_t packetsBefore = 0;
    for (int32_t i = 0; i < games.Count(); ++i) packetsBefore += static_cast<uint64_t>(games.At(i).Count());
    const std::vector<std::string> paths = recorder_->ListFolder();
    // Every identifier a file holds first, so that a game renumbered below
    // never takes one a later file holds, and no new game ever does.
    for (const std::string& path : paths) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        char bytes[kRecordingHeaderSize];
        const ssize_t got = pread(fd, bytes, sizeof bytes, 0);
        close(fd);
        if (got != static_cast<ssize_t>(sizeof bytes)) continue;
        const THeaderRead header = ReadRecordingHeader(std::string_view(bytes, sizeof bytes));
        if (header.Status == THeaderStatus::Valid || header.Status == THeaderStatus::UnsupportedVersion)
            host.HoldGameId(header.Header.GameId);
    }
    read_only_files_ = 0;
    for (const std::string& path : paths) Restore(host, path);
    // Said once: each file is served as it is, and every new packet is
    // refused (ACKNAK 1) as its record cannot be written.
    if (access(recorder_->DataDir().c_str(), W_OK) != 0)
        log_.Line("The data folder " + recorder_->DataDir() + " cannot be written (" + SystemError(errno) +
                  "): its recordings are served as they are (" + std::to_string(read_only_files_) +
                  " files opened for reading only); new packets are refused");
    else if (read_only_files_ > 0)
        log_.Line("Recordings in " + recorder_->DataDir() + " that cannot be written are served as they are (" +
                  std::to_string(read_only_files_) + " files)");
    const int32_t restored = games.Count() - gamesBefore;
    if (restored > 0) {
        uint64_t packets = 0;
        for (int32_t i = 0; i < games.Count(); ++i) packets += static_cast<uint64_t>(games.At(i).StoredCount());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        char took[32];
        std::snprintf(took, sizeof took, "%.2f", seconds);
        log_.Line("Restored " + std::to_string(restored) + " games with " + std::to_string(packets - packetsBefore) +
                             " packets in " + took + " s");
    }
    return true;
}

void TGameRecording::Restore(TGameHost& host, const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    const bool readOnly = fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM);
    // A file that may not be written is still served: read as it is.
    if (readOnly) fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        log_.Line("Cannot read " + path + ": " + SystemError(errno) + "; left alone");
        return;
    }
    TRestoreVisitor visitor(host, path, readOnly);
    const TScanResult result = ScanRecording(fd, visitor, !readOnly);
    switch (result.Outcome) {
        case TScanOutcome::Read: break;
        case TScanOutcome::LeftAlone:
            close(fd);
            log_.Line(path + " records a game whose identifier another recording holds; left alone");
            return;
        case TScanOutcome::NotARecording:
            close(fd);
            log_.Line(path + " is not a recording; left alone");
            return;
        case TScanOutcome::TooShort:
            close(fd);
            log_.Line(path + " is too short to be a recording; left alone");
            return;
        case TScanOutcome::DamagedHeader:
            close(fd);
            log_.Line(path + " is a recording with a damaged header; left alone");
            return;
        case TScanOutcome::NewerVersion:
            close(fd);
            log_.Line(path + " is a recording of version " + std::to_string(result.Version) +
                      ", which this program cannot read; left alone");
            return;
        case TScanOutcome::Unreadable:
            log_.Line("Cannot read " + path + ": " + SystemError(result.Error) +
                      (visitor.Begun() ? "; what was read before is kept" : "; left alone"));
            if (!visitor.Begun()) {
                close(fd);
                return;
            }
            break;
    }
    if (!visitor.Game()) {
        close(fd);
        return;
    }
    if (readOnly) ++read_only_files_;
    if (visitor.Renumbered()) {
        // The header says so from now on (40 bytes in place, whole or not at
        // all to a process that dies), so the game keeps its new identifier
        // over restarts; a file that cannot be written is renumbered again
        // at each start.
        const std::string header = EncodeRecordingHeader(TRecordingHeader{visitor.Id(), visitor.OpenedMs()});
        const bool rewritten =
            !readOnly && pwrite(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
        log_.Line("Recording " + path + " holds game " + std::to_string(visitor.HeaderId()) +
                  (visitor.HeaderId() > 0 ? ", an identifier an earlier recording holds"
                                          : ", an identifier no game can have") +
                  "; it is restored as game " + std::to_string(visitor.Id()) +
                  (rewritten ? "" : " (its header is not changed)"));
    }
    close(fd);
    if (visitor.Refused() > 0)
        log_.Line("Recording " + path + ": " + std::to_string(visitor.Refused()) +
                  " packets at locations its game cannot take were skipped");
    uint64_t size = result.Size;
    if (result.Outcome == TScanOutcome::Unreadable) {
        const int again = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (again >= 0) {
            const off_t end = lseek(again, 0, SEEK_END);
            size = end > 0 ? static_cast<uint64_t>(end) : 0;
            close(again);
        }
    }
    recorder_->Adopt(visitor.Id(), path, size, visitor.OpenedMs(), std::move(visitor.Records()));
}

void TGameRecording::RecordNewGame(const TActiveGameList& game) {
    if (!recorder_) return;
    TGameDescription description;
    description.SenderAddr = game.SenderAddr();
    if (const int error = recorder_->OpenGame(game.Identifier(), game.OpenedMs(), description); error != 0)
        log_.Line("Cannot record game " + std::to_string(game.Identifier()) + " in " + recorder_->DataDir() +
                             ": " + SystemError(error));
}

void TGameRecording::RecordDescription(TDemoSender& sender, const TActiveGameList& game) {
    if (!recorder_) return;
    TGameDescription description;
    description.GameType = game.GameType();
    description.Name = game.Name();
    description.Mod = game.Mod();
    description.SenderName = sender.UserName;
    description.SenderAddr = game.SenderAddr();
    const TDiskWrite written = recorder_->WriteDescription(game.Identifier(), description);
    if (written.Error != 0 && !sender.DiskErrorLogged) {
        sender.DiskErrorLogged = true;
        log_.Line("Cannot record game " + std::to_string(game.Identifier()) + " of " + sender.PeerAddr() +
                             ": " + SystemError(written.Error));
    }
}

bool TGameRecording::RecordPacket(TDemoSender& sender, const TActiveGameList& game, int32_t location,
                                  std::string_view packet, int64_t ackMs, uint64_t& durableAt) {
    durableAt = 0;
    if (!recorder_) return true;
    const TDiskWrite written = recorder_->WritePacket(game.Identifier(), location, packet, ackMs);
    if (written.Error != 0) {
        if (!sender.DiskErrorLogged) {
            sender.DiskErrorLogged = true;
            log_.Line("Cannot record the packets of " + sender.PeerAddr() + " for game " +
                                 std::to_string(game.Identifier()) + ": " + SystemError(written.Error) +
                                 "; they are refused");
        }
        return false;
    }
    if (options_.Fsync == TFsyncMode::Always) durableAt = written.End;
    return true;
}

uint64_t TGameRecording::DurableEnd(int32_t gameId) const {
    return recorder_ ? recorder_->DurableEnd(gameId) : UINT64_MAX;
}

}  // namespace vistrel
