#include "disk/recording_scanner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

namespace vistrel {

namespace {

// What one read asks for while the records are sound: small enough that the
// bytes are still in the processor's cache while their CRC is checked and
// their packets are copied out.
constexpr size_t kReadRun = size_t{256} << 10;
// The largest record, head included.
constexpr size_t kMaxRecordSize = kRecordHeadSize + kMaxRecordPayload;
// After damage, the search for the next sound record looks at this much at
// once: any record that starts within its first half lies wholly inside it.
constexpr size_t kResyncWindow = 2 * kMaxRecordSize;

// The file from a given offset on, read in runs into one buffer that is
// never shrunk; bytes already used are dropped from its front as it refills.
class TFileWindow {
public:
    explicit TFileWindow(int fd) : fd_(fd) {}

    // Bytes available from the current position.
    std::string_view View() const noexcept { return std::string_view(buf_.get() + begin_, end_ - begin_); }
    uint64_t Position() const noexcept { return position_; }
    bool AtEnd() const noexcept { return eof_; }
    int Error() const noexcept { return error_; }

    void Advance(size_t bytes) noexcept {
        begin_ += bytes;
        position_ += bytes;
    }
    // Makes at least `wanted` bytes available from the current position, or
    // all that is left of the file. False on a read error.
    bool Ensure(size_t wanted) {
        while (end_ - begin_ < wanted && !eof_) {
            const size_t held = end_ - begin_;
            const size_t capacity = std::max({wanted, kReadRun, capacity_});
            if (capacity != capacity_ || capacity_ - end_ < std::min(kReadRun, wanted - held)) {
                // Move what is held to the front of a buffer big enough.
                if (capacity != capacity_) {
                    std::unique_ptr<char[]> grown(new char[capacity]);
                    std::copy(buf_.get() + begin_, buf_.get() + end_, grown.get());
                    buf_ = std::move(grown);
                    capacity_ = capacity;
                } else {
                    std::copy(buf_.get() + begin_, buf_.get() + end_, buf_.get());
                }
                begin_ = 0;
                end_ = held;
            }
            const ssize_t got = read(fd_, buf_.get() + end_, capacity_ - end_);
            if (got < 0) {
                if (errno == EINTR) continue;
                error_ = errno;
                return false;
            }
            if (got == 0) eof_ = true;
            end_ += static_cast<size_t>(got);
        }
        return true;
    }

private:
    int fd_;
    std::unique_ptr<char[]> buf_;
    size_t capacity_ = 0;
    size_t begin_ = 0;
    size_t end_ = 0;
    uint64_t position_ = 0;
    bool eof_ = false;
    int error_ = 0;
};

}  // namespace

TScanResult ScanRecording(int fd, TRecordingVisitor& visitor) {
    TScanResult result;
    if (lseek(fd, 0, SEEK_SET) < 0) {
        result.Error = errno;
        return result;
    }
    TFileWindow window(fd);
    const auto unreadable = [&] {
        result.Outcome = TScanOutcome::Unreadable;
        result.Error = window.Error();
        return result;
    };
    if (!window.Ensure(kRecordingHeaderSize)) return unreadable();
    const THeaderRead header = ReadRecordingHeader(window.View().substr(0, kRecordingHeaderSize));
    switch (header.Status) {
        case THeaderStatus::Valid: break;
        case THeaderStatus::NotARecording: result.Outcome = TScanOutcome::NotARecording; return result;
        case THeaderStatus::Short: result.Outcome = TScanOutcome::TooShort; return result;
        case THeaderStatus::BadCrc: result.Outcome = TScanOutcome::DamagedHeader; return result;
        case THeaderStatus::UnsupportedVersion:
            result.Outcome = TScanOutcome::NewerVersion;
            result.Version = header.Version;
            return result;
    }
    if (!visitor.Begin(header.Header)) {
        result.Outcome = TScanOutcome::LeftAlone;
        return result;
    }
    window.Advance(kRecordingHeaderSize);

    // Where a run of damage began (it is reported once, when a sound record
    // or the end is reached), or none.
    constexpr uint64_t kNoDamage = ~uint64_t{0};
    uint64_t damageStart = kNoDamage;
    const auto endDamage = [&] {
        if (damageStart == kNoDamage) return;
        visitor.Damaged(damageStart, window.Position() - damageStart);
        damageStart = kNoDamage;
    };
    // Skips the damage at the current position: on to the next offset at
    // which a whole sound record starts, or to the end.
    const auto skipDamage = [&]() -> bool {
        if (damageStart == kNoDamage) damageStart = window.Position();
        if (!window.Ensure(kResyncWindow)) return false;
        const std::string_view view = window.View();
        const size_t next = FindNextRecord(view);
        if (next < view.size() || window.AtEnd()) {
            window.Advance(next);
            return true;
        }
        // No record lies wholly in the window: none starts in its first
        // half. Go on from there.
        window.Advance(std::max<size_t>(1, view.size() - kMaxRecordSize));
        return true;
    };

    for (;;) {
        if (!window.Ensure(kRecordHeadSize)) return unreadable();
        std::string_view view = window.View();
        if (view.empty()) break;
        TRecordRead record = ReadRecord(view);
        if (record.Status == TRecordStatus::NeedMore && !window.AtEnd() && view.size() >= kRecordHeadSize) {
            // The record's head is here; read on to its end.
            const size_t size = kRecordHeadSize + (static_cast<size_t>(static_cast<unsigned char>(view[0])) |
                                                   static_cast<size_t>(static_cast<unsigned char>(view[1])) << 8 |
                                                   static_cast<size_t>(static_cast<unsigned char>(view[2])) << 16 |
                                                   static_cast<size_t>(static_cast<unsigned char>(view[3])) << 24);
            if (!window.Ensure(size)) return unreadable();
            view = window.View();
            record = ReadRecord(view);
        }
        if (record.Status == TRecordStatus::NeedMore) {
            // At the end of the file. A torn tail, unless a sound record
            // follows: then this record's length was damaged.
            if (FindNextRecord(view) < view.size()) {
                if (!skipDamage()) return unreadable();
                continue;
            }
            endDamage();
            const uint64_t cutAt = window.Position();
            if (ftruncate(fd, static_cast<off_t>(cutAt)) != 0) {
                result.Outcome = TScanOutcome::Unreadable;
                result.Error = errno;
                return result;
            }
            visitor.TornTail(cutAt, view.size());
            window.Advance(view.size());
            result.Size = cutAt;
            result.Outcome = TScanOutcome::Read;
            return result;
        }
        if (record.Status != TRecordStatus::Complete) {
            if (!skipDamage()) return unreadable();
            continue;
        }
        bool sound = true;
        switch (static_cast<TRecordKind>(record.Kind)) {
            case TRecordKind::Description: {
                TGameDescription description;
                sound = ReadDescriptionPayload(record.Payload, description);
                if (sound) {
                    endDamage();
                    visitor.Description(description);
                }
                break;
            }
            case TRecordKind::Packet: {
                int32_t location = 0;
                std::string_view packet;
                sound = ReadPacketPayload(record.Payload, location, packet);
                if (sound) {
                    endDamage();
                    visitor.Packet(location, packet, window.Position());
                }
                break;
            }
            case TRecordKind::TimedPacket: {
                int32_t location = 0;
                int64_t ackMs = 0;
                std::string_view packet;
                sound = ReadTimedPacketPayload(record.Payload, location, ackMs, packet);
                if (sound) {
                    endDamage();
                    visitor.TimedPacket(location, ackMs, packet, window.Position());
                }
                break;
            }
            default:
                // A kind of a later version: skipped, not damage.
                endDamage();
                break;
        }
        if (!sound) {
            // A sound CRC over a payload that is not its kind's: damage,
            // skipped whole.
            if (damageStart == kNoDamage) damageStart = window.Position();
        }
        window.Advance(record.Size);
    }
    endDamage();
    result.Size = window.Position();
    result.Outcome = TScanOutcome::Read;
    return result;
}

}  // namespace vistrel
