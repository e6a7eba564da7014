#include "disk/recording_scanner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "core/demo_verify.h"
#include "core/protocol.h"

namespace vistrel {

namespace {

// What one read asks for while the records are sound: small enough that the
// bytes are still in the processor's cache while their CRC is checked and
// their packets are copied out.
constexpr size_t kReadRun = size_t{256} << 10;

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

// A packet found after a search passes the check a camera's packet passes
// before the relay writes it (a restart gets none there either).
bool Checked(std::string_view packet) {
    if (PacketTypeOf(packet) != PacketType::DEMOPACKET) return true;
    const std::string_view payload = DemoPayloadOf(packet);
    // What does not start as a zlib stream (deflate, a window the format
    // allows, no preset dictionary, the header's check) fails at once: a
    // file's worth of such bytes costs no engine error each.
    if (payload.size() < 2) return false;
    const auto cmf = static_cast<unsigned char>(payload[0]);
    const auto flg = static_cast<unsigned char>(payload[1]);
    if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || (flg & 0x20) != 0 || ((cmf << 8) | flg) % 31 != 0) return false;
    return CheckDemoPayload(payload, PacketCheckOf(packet)).Outcome == TVerifyOutcome::Verified;
}

}  // namespace

TScanResult ScanRecording(int fd, TRecordingVisitor& visitor, bool cutTornTail) {
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
    const auto beginDamage = [&] {
        if (damageStart == kNoDamage) damageStart = window.Position();
    };
    const auto endDamage = [&] {
        if (damageStart == kNoDamage) return;
        visitor.Damaged(damageStart, window.Position() - damageStart);
        damageStart = kNoDamage;
    };
    // The file from cutAt on is a torn tail: cut off (unless the file may
    // not be changed), so that later appends follow a sound record. The
    // window holds the file's end.
    const auto cutFrom = [&](uint64_t cutAt) {
        const uint64_t end = window.Position() + window.View().size();
        if (damageStart >= cutAt) damageStart = kNoDamage;
        if (damageStart != kNoDamage) visitor.Damaged(damageStart, cutAt - damageStart);
        if (cutTornTail && ftruncate(fd, static_cast<off_t>(cutAt)) != 0) {
            result.Outcome = TScanOutcome::Unreadable;
            result.Error = errno;
            return result;
        }
        visitor.TornTail(cutAt, end - cutAt);
        result.Size = cutAt;
        result.Outcome = TScanOutcome::Read;
        return result;
    };
    // Every record so far began where the one before it ended, from the
    // header on: each is one the relay wrote, and it checked each packet
    // before writing it. After a search, a record may be bytes a camera put
    // inside a record whose head was hit: its packet is checked as a
    // camera's is before it is taken.
    bool chained = true;

    for (;;) {
        if (!window.Ensure(kRecordProbeSize)) return unreadable();
        if (window.View().empty()) break;
        TRecordStepRead step = StepRecord(window.View(), window.AtEnd());
        while (step.Step == TRecordStep::NeedMore) {
            if (!window.Ensure(step.Size)) return unreadable();
            step = StepRecord(window.View(), window.AtEnd());
        }
        switch (step.Step) {
            case TRecordStep::NeedMore:
            case TRecordStep::Torn: return cutFrom(window.Position());
            case TRecordStep::Skip:
                // A head the relay wrote, a CRC that fails: the extent it
                // declares is skipped whole, never searched.
                beginDamage();
                window.Advance(step.Size);
                continue;
            case TRecordStep::Search: {
                beginDamage();
                chained = false;
                // On to the next head a writer makes; no CRC on the way.
                const uint64_t searchStart = window.Position();
                size_t from = 1;
                for (;;) {
                    if (!window.Ensure(from + kReadRun)) return unreadable();
                    const std::string_view view = window.View();
                    const size_t at = FindRecordHead(view, from, window.AtEnd());
                    if (at >= view.size()) {
                        // Nothing a writer made lies in the rest: a torn
                        // tail from where the search began.
                        window.Advance(view.size());
                        return cutFrom(searchStart);
                    }
                    window.Advance(at);
                    if (window.AtEnd() || view.size() - at >= kRecordProbeSize) break;
                    from = 0;
                }
                continue;
            }
            case TRecordStep::Record: break;
        }
        const TRecordRead& record = step.Read;
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
                sound = sound && (chained || Checked(packet));
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
                sound = sound && (chained || Checked(packet));
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
