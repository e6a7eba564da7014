// Recording to disk: the recorder's start with the restore of every
// recording in the data folder, a sender's game's file, its description and
// packet records written before the packets are stored or acknowledged, and
// the answers held until their records are forced to the disk.
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
#include "relay/main_form.h"

namespace vistrel {

namespace {

std::string SystemError(int error) { return std::strerror(error); }

}  // namespace

// Brings one file back as a game without a sender: its last description, its
// packets in their locations.
class TRestoreVisitor : public TRecordingVisitor {
public:
    TRestoreVisitor(TMainForm& form, const std::string& path) : form_(form), path_(path) {}

    bool Begin(const TRecordingHeader& header) override {
        if (header.GameId <= 0 || form_.games_->FindById(header.GameId)) {
            taken_ = true;
            return false;
        }
        id_ = header.GameId;
        opened_ms_ = header.OpenedMs;
        return true;
    }
    void Description(const TGameDescription& description) override {
        if (!game_) {
            game_ = form_.OpenDetachedGame(id_, description);
            if (game_) game_->SetOpenedMs(opened_ms_);
        } else {
            form_.DescribeGame(*game_, description);
        }
    }
    void Packet(int32_t location, std::string_view packet, uint64_t offset) override {
        Game();
        // The packet stays in the file: it comes back paged out and is read
        // when a viewer reaches it, so the restore reads and checks the file
        // but copies nothing.
        if (game_ && game_->CheckLocation(location) == TLocationCheck::Fits) {
            game_->StorePagedOutAt(location,
                                   PacketTypeOf(packet) == PacketType::DEMORESTART ? kTagDemoRestart : kTagDemoPacket);
            ++packets_;
            if (records_.size() <= static_cast<size_t>(location)) records_.resize(static_cast<size_t>(location) + 1);
            records_[static_cast<size_t>(location)] =
                TRecordRef{offset, static_cast<uint32_t>(kPacketRecordHeadSize + packet.size())};
        } else {
            ++refused_;
        }
    }
    void Damaged(uint64_t offset, uint64_t bytes) override {
        form_.ServerLog(false, "Recording " + path_ + ": " + std::to_string(bytes) + " damaged bytes at byte " +
                                   std::to_string(offset) + " were skipped");
    }
    void TornTail(uint64_t offset, uint64_t bytes) override {
        form_.ServerLog(false, "Recording " + path_ + ": a torn last record of " + std::to_string(bytes) +
                                   " bytes at byte " + std::to_string(offset) + " was cut off");
    }
    // The game, opened with an empty description if no record described it.
    TActiveGameList* Game() {
        if (!game_ && id_ > 0) {
            game_ = form_.OpenDetachedGame(id_, TGameDescription{});
            // The game is the one that was opened then, for caches and edges too.
            if (game_) game_->SetOpenedMs(opened_ms_);
        }
        return game_;
    }

    int32_t Id() const noexcept { return id_; }
    int64_t OpenedMs() const noexcept { return opened_ms_; }
    bool Taken() const noexcept { return taken_; }
    uint64_t Packets() const noexcept { return packets_; }
    uint64_t Refused() const noexcept { return refused_; }
    std::vector<TRecordRef>& Records() noexcept { return records_; }

private:
    TMainForm& form_;
    const std::string& path_;
    TActiveGameList* game_ = nullptr;
    int32_t id_ = 0;
    int64_t opened_ms_ = 0;
    bool taken_ = false;
    uint64_t packets_ = 0;
    uint64_t refused_ = 0;
    std::vector<TRecordRef> records_;
};

bool TMainForm::StartRecording() {
    recorder_.reset();
    if (recording_.DataDir.empty()) return true;
    auto recorder = std::make_unique<TRecorder>(loop_, recording_, metrics_.Disk);
    try {
        recorder->Open();
    } catch (const std::exception& e) {
        front_end_.ReportError(e);
        return false;
    }
    recorder->OnDurable = [this](int32_t id, uint64_t end) { ReleaseAnswers(id, end); };
    recorder->OnError = [this](const std::string& line) { ServerLog(false, line); };
    recorder_ = std::move(recorder);
    std::string line = "Recording games to " + recorder_->DataDir() + " (fsync " + FsyncModeName(recording_.Fsync);
    if (recording_.MaxDisk != 0) line += ", at most " + FormatByteSize(recording_.MaxDisk);
    ServerLog(false, line + ", through " + recorder_->IoKind() + ")");

    const auto started = std::chrono::steady_clock::now();
    const int32_t gamesBefore = games_->Count();
    uint64_t packetsBefore = 0;
    for (int32_t i = 0; i < games_->Count(); ++i) packetsBefore += static_cast<uint64_t>(games_->At(i).Count());
    for (const std::string& path : recorder_->ListFolder()) RestoreRecording(path);
    const int32_t restored = games_->Count() - gamesBefore;
    if (restored > 0) {
        uint64_t packets = 0;
        for (int32_t i = 0; i < games_->Count(); ++i)
            packets += static_cast<uint64_t>(games_->At(i).Count() - games_->At(i).Gaps());
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        char took[32];
        std::snprintf(took, sizeof took, "%.2f", seconds);
        ServerLog(false, "Restored " + std::to_string(restored) + " games with " + std::to_string(packets - packetsBefore) +
                             " packets in " + took + " s");
    }
    return true;
}

void TMainForm::RestoreRecording(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        ServerLog(false, "Cannot read " + path + ": " + SystemError(errno) + "; left alone");
        return;
    }
    TRestoreVisitor visitor(*this, path);
    const TScanResult result = ScanRecording(fd, visitor);
    close(fd);
    switch (result.Outcome) {
        case TScanOutcome::Read: break;
        case TScanOutcome::LeftAlone:
            ServerLog(false, path + " records a game whose identifier another recording holds; left alone");
            return;
        case TScanOutcome::NotARecording: ServerLog(false, path + " is not a recording; left alone"); return;
        case TScanOutcome::TooShort:
            ServerLog(false, path + " is too short to be a recording; left alone");
            return;
        case TScanOutcome::DamagedHeader:
            ServerLog(false, path + " is a recording with a damaged header; left alone");
            return;
        case TScanOutcome::NewerVersion:
            ServerLog(false, path + " is a recording of version " + std::to_string(result.Version) +
                                 ", which this program cannot read; left alone");
            return;
        case TScanOutcome::Unreadable:
            ServerLog(false, "Cannot read " + path + ": " + SystemError(result.Error) +
                                 (visitor.Id() > 0 ? "; what was read before is kept" : "; left alone"));
            if (visitor.Id() <= 0) return;
            break;
    }
    if (!visitor.Game()) return;
    if (visitor.Refused() > 0)
        ServerLog(false, "Recording " + path + ": " + std::to_string(visitor.Refused()) +
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

void TMainForm::RecordNewGame(const TActiveGameList& game) {
    if (!recorder_) return;
    TGameDescription description;
    description.SenderAddr = game.SenderAddr();
    if (const int error = recorder_->OpenGame(game.Identifier(), game.OpenedMs(), description); error != 0)
        ServerLog(false, "Cannot record game " + std::to_string(game.Identifier()) + " in " + recorder_->DataDir() +
                             ": " + SystemError(error));
}

void TMainForm::RecordDescription(TDemoSender& sender, const TActiveGameList& game) {
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
        ServerLog(false, "Cannot record game " + std::to_string(game.Identifier()) + " of " + sender.PeerAddr() +
                             ": " + SystemError(written.Error));
    }
}

bool TMainForm::RecordPacket(TDemoSender& sender, const TActiveGameList& game, int32_t location,
                             std::string_view packet, uint64_t& durableAt) {
    durableAt = 0;
    if (!recorder_) return true;
    const TDiskWrite written = recorder_->WritePacket(game.Identifier(), location, packet);
    if (written.Error != 0) {
        if (!sender.DiskErrorLogged) {
            sender.DiskErrorLogged = true;
            ServerLog(false, "Cannot record the packets of " + sender.PeerAddr() + " for game " +
                                 std::to_string(game.Identifier()) + ": " + SystemError(written.Error) +
                                 "; they are refused");
        }
        return false;
    }
    if (recording_.Fsync == TFsyncMode::Always) durableAt = written.End;
    return true;
}

void TMainForm::AnswerWhenDurable(TDemoSender& sender, uint64_t durableAt, std::string packet) {
    if (sender.State() != wsConnected) return;
    if (durableAt == 0 || !recorder_ || recorder_->DurableEnd(sender.GameId) >= durableAt) {
        SendToSender(sender, packet);
        return;
    }
    sender.HeldAnswers.emplace_back(durableAt, std::move(packet));
}

void TMainForm::ReleaseAnswers(int32_t gameId, uint64_t durableEnd) {
    TActiveGameList* game = games_ ? games_->FindById(gameId) : nullptr;
    if (!game || !game->Sender()) return;
    auto& sender = static_cast<TDemoSender&>(*game->Sender());
    bool released = false;
    while (!sender.HeldAnswers.empty() && sender.HeldAnswers.front().first <= durableEnd) {
        const std::string packet = std::move(sender.HeldAnswers.front().second);
        sender.HeldAnswers.pop_front();
        SendToSenderNow(sender, packet);
        released = true;
    }
    (void)released;
}

}  // namespace vistrel
