#include "core/recording_format.h"

#include <algorithm>
#include <cstring>

#include "core/crc32.h"
#include "core/protocol.h"

namespace vistrel {
namespace {

constexpr size_t kVersionOffset = 16;
constexpr size_t kGameIdOffset = 20;
constexpr size_t kOpenedOffset = 24;
constexpr size_t kHeaderCrcOffset = 36;
constexpr size_t kMaxDescriptionText = 255;
// The highest kind a head may carry: later versions add kinds, not thousands.
constexpr uint32_t kMaxRecordKind = 255;

uint32_t Crc(uint32_t crc, std::string_view bytes) noexcept { return Crc32(crc, bytes); }

void PutU32(char* at, uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t GetU32(const char* at) noexcept {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(at[i])) << (8 * i);
    return value;
}

void PutU64(char* at, uint64_t value) noexcept {
    PutU32(at, static_cast<uint32_t>(value));
    PutU32(at + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t GetU64(const char* at) noexcept {
    return static_cast<uint64_t>(GetU32(at)) | (static_cast<uint64_t>(GetU32(at + 4)) << 32);
}

// The CRC a record's head carries: over its kind field and its payload.
uint32_t RecordCrc(const char* kindField, std::string_view payload) noexcept {
    return Crc(Crc(0, std::string_view(kindField, 4)), payload);
}

void AppendRecord(std::string& out, TRecordKind kind, std::string_view payload) {
    const size_t at = out.size();
    out.resize(at + kRecordHeadSize);
    out.append(payload);
    char* head = out.data() + at;
    PutU32(head, static_cast<uint32_t>(payload.size()));
    PutU32(head + 4, static_cast<uint32_t>(kind));
    PutU32(head + 8, RecordCrc(head + 4, payload));
}

void AppendText(std::string& out, std::string_view text) {
    text = text.substr(0, kMaxDescriptionText);
    out.push_back(static_cast<char>(text.size()));
    out.append(text);
}

bool TakeText(std::string_view& rest, std::string& out) {
    if (rest.empty()) return false;
    const size_t size = static_cast<unsigned char>(rest.front());
    if (rest.size() < 1 + size) return false;
    out.assign(rest.substr(1, size));
    rest.remove_prefix(1 + size);
    return true;
}

}  // namespace

std::string EncodeRecordingHeader(const TRecordingHeader& header, uint32_t version) {
    std::string out(kRecordingHeaderSize, '\0');
    std::memcpy(out.data(), kRecordingFormatName.data(), kRecordingFormatName.size());
    PutU32(out.data() + kVersionOffset, version);
    PutU32(out.data() + kGameIdOffset, static_cast<uint32_t>(header.GameId));
    PutU64(out.data() + kOpenedOffset, static_cast<uint64_t>(header.OpenedMs));
    PutU32(out.data() + kHeaderCrcOffset, Crc(0, std::string_view(out).substr(0, kHeaderCrcOffset)));
    return out;
}

THeaderRead ReadRecordingHeader(std::string_view buf) noexcept {
    THeaderRead read;
    const size_t nameSize = kRecordingFormatName.size();
    if (buf.substr(0, nameSize) != kRecordingFormatName.substr(0, std::min(nameSize, buf.size()))) {
        read.Status = THeaderStatus::NotARecording;
        return read;
    }
    if (buf.size() < kRecordingHeaderSize) {
        read.Status = THeaderStatus::Short;
        return read;
    }
    if (Crc(0, buf.substr(0, kHeaderCrcOffset)) != GetU32(buf.data() + kHeaderCrcOffset)) {
        read.Status = THeaderStatus::BadCrc;
        return read;
    }
    read.Version = GetU32(buf.data() + kVersionOffset);
    // Also for a version this program cannot read: the file still holds its
    // game's identifier.
    read.Header.GameId = static_cast<int32_t>(GetU32(buf.data() + kGameIdOffset));
    read.Header.OpenedMs = static_cast<int64_t>(GetU64(buf.data() + kOpenedOffset));
    read.Status = read.Version < kOldestRecordingVersion || read.Version > kRecordingVersion
                      ? THeaderStatus::UnsupportedVersion
                      : THeaderStatus::Valid;
    return read;
}

std::string EncodeDescriptionRecord(const TGameDescription& description) {
    std::string payload(4, '\0');
    PutU32(payload.data(), static_cast<uint32_t>(description.GameType));
    AppendText(payload, description.Name);
    AppendText(payload, description.Mod);
    AppendText(payload, description.SenderName);
    AppendText(payload, description.SenderAddr);
    std::string out;
    AppendRecord(out, TRecordKind::Description, payload);
    return out;
}

void AppendPacketRecord(std::string& out, int32_t location, std::string_view packet) {
    const size_t at = out.size();
    out.resize(at + kRecordHeadSize + kPacketRecordPrefix);
    out.append(packet);
    char* head = out.data() + at;
    const size_t payloadSize = kPacketRecordPrefix + packet.size();
    PutU32(head, static_cast<uint32_t>(payloadSize));
    PutU32(head + 4, static_cast<uint32_t>(TRecordKind::Packet));
    PutU32(head + kRecordHeadSize, static_cast<uint32_t>(location));
    PutU32(head + 8, RecordCrc(head + 4, std::string_view(head + kRecordHeadSize, payloadSize)));
}

void EncodePacketRecordHead(char (&head)[kPacketRecordHeadSize], int32_t location, std::string_view packet) noexcept {
    EncodePacketRecordHead(head, location, packet.size(), PacketRecordCrc(location, packet));
}

uint32_t PacketRecordCrc(int32_t location, std::string_view packet) noexcept {
    // Over the kind, the location and the packet, as RecordCrc reads them.
    char fields[8];
    PutU32(fields, static_cast<uint32_t>(TRecordKind::Packet));
    PutU32(fields + 4, static_cast<uint32_t>(location));
    return Crc(Crc(0, std::string_view(fields, sizeof fields)), packet);
}

void EncodePacketRecordHead(char (&head)[kPacketRecordHeadSize], int32_t location, size_t packetSize,
                            uint32_t crc) noexcept {
    PutU32(head, static_cast<uint32_t>(kPacketRecordPrefix + packetSize));
    PutU32(head + 4, static_cast<uint32_t>(TRecordKind::Packet));
    PutU32(head + kRecordHeadSize, static_cast<uint32_t>(location));
    PutU32(head + 8, crc);
}

void EncodeTimedPacketRecordHead(char (&head)[kTimedPacketRecordHeadSize], int32_t location, int64_t ackMs,
                                 std::string_view packet) noexcept {
    const size_t payloadSize = kTimedPacketRecordPrefix + packet.size();
    PutU32(head, static_cast<uint32_t>(payloadSize));
    PutU32(head + 4, static_cast<uint32_t>(TRecordKind::TimedPacket));
    PutU32(head + kRecordHeadSize, static_cast<uint32_t>(location));
    PutU64(head + kRecordHeadSize + 4, static_cast<uint64_t>(ackMs));
    const uint32_t crc = Crc(Crc(Crc(0, std::string_view(head + 4, 4)),
                                 std::string_view(head + kRecordHeadSize, kTimedPacketRecordPrefix)),
                             packet);
    PutU32(head + 8, crc);
}

std::string EncodeTimedPacketRecord(int32_t location, int64_t ackMs, std::string_view packet) {
    char head[kTimedPacketRecordHeadSize];
    EncodeTimedPacketRecordHead(head, location, ackMs, packet);
    std::string out(head, sizeof head);
    out.append(packet);
    return out;
}

std::string EncodePacketRecord(int32_t location, std::string_view packet) {
    std::string out;
    out.reserve(kRecordHeadSize + kPacketRecordPrefix + packet.size());
    AppendPacketRecord(out, location, packet);
    return out;
}

TRecordRead ReadRecord(std::string_view buf) noexcept {
    TRecordRead read;
    if (buf.size() < kRecordHeadSize) return read;
    const size_t payloadSize = GetU32(buf.data());
    if (payloadSize > kMaxRecordPayload) {
        read.Status = TRecordStatus::Malformed;
        return read;
    }
    if (buf.size() - kRecordHeadSize < payloadSize) return read;
    read.Size = kRecordHeadSize + payloadSize;
    read.Kind = GetU32(buf.data() + 4);
    read.Payload = buf.substr(kRecordHeadSize, payloadSize);
    read.Status =
        RecordCrc(buf.data() + 4, read.Payload) == GetU32(buf.data() + 8) ? TRecordStatus::Complete : TRecordStatus::BadCrc;
    return read;
}

namespace {

enum class THeadShape {
    Unsound,  // no writer makes it: a length beyond any record, or one its kind cannot have
    Sound,    // a kind this format has, its fields agreeing with the bytes present
    Unknown,  // a kind of a later version (4 .. kMaxRecordKind), of a length within the limit
};

// How the head at the front of buf reads (buf holds at least its 12 bytes),
// judged by what buf holds of the first kRecordProbeSize bytes.
THeadShape ShapeOf(std::string_view buf) noexcept {
    const size_t payloadSize = GetU32(buf.data());
    if (payloadSize > kMaxRecordPayload) return THeadShape::Unsound;
    const uint32_t kind = GetU32(buf.data() + 4);
    switch (static_cast<TRecordKind>(kind)) {
        case TRecordKind::Description:
            return payloadSize >= 8 && payloadSize <= 4 + 4 * (1 + kMaxDescriptionText) ? THeadShape::Sound
                                                                                        : THeadShape::Unsound;
        case TRecordKind::Packet:
        case TRecordKind::TimedPacket: {
            const size_t prefix =
                static_cast<TRecordKind>(kind) == TRecordKind::Packet ? kPacketRecordPrefix : kTimedPacketRecordPrefix;
            if (payloadSize < prefix + PacketSize::DemoHeader) return THeadShape::Unsound;
            const std::string_view payload = buf.substr(kRecordHeadSize);
            if (payload.size() >= 4 && static_cast<int32_t>(GetU32(payload.data())) < 0) return THeadShape::Unsound;
            if (payload.size() < prefix + 8) return THeadShape::Sound;
            const std::string_view packet = payload.substr(prefix);
            const int32_t type = PacketTypeOf(packet);
            return (type == PacketType::DEMOPACKET || type == PacketType::DEMORESTART) &&
                           static_cast<size_t>(static_cast<uint32_t>(PacketLengthOf(packet))) == payloadSize - prefix
                       ? THeadShape::Sound
                       : THeadShape::Unsound;
        }
    }
    // Later versions number their kinds on from these; zeros (what a file
    // system may leave after a crash) are never a head.
    return kind > static_cast<uint32_t>(TRecordKind::TimedPacket) && kind <= kMaxRecordKind ? THeadShape::Unknown
                                                                                            : THeadShape::Unsound;
}

}  // namespace

TRecordStepRead StepRecord(std::string_view rest, bool atEnd) noexcept {
    TRecordStepRead step;
    if (rest.size() < kRecordProbeSize && !atEnd) {
        step.Size = kRecordProbeSize;
        return step;
    }
    if (rest.size() < kRecordHeadSize) {
        step.Step = TRecordStep::Torn;
        return step;
    }
    if (ShapeOf(rest) == THeadShape::Unsound) {
        step.Step = TRecordStep::Search;
        return step;
    }
    const size_t size = kRecordHeadSize + GetU32(rest.data());
    if (rest.size() < size) {
        step.Step = atEnd ? TRecordStep::Torn : TRecordStep::NeedMore;
        step.Size = size;
        return step;
    }
    step.Read = ReadRecord(rest);
    step.Size = size;
    step.Step = step.Read.Status == TRecordStatus::Complete ? TRecordStep::Record : TRecordStep::Skip;
    return step;
}

size_t FindRecordHead(std::string_view buf, size_t from, bool atEnd) noexcept {
    for (size_t at = from; at < buf.size(); ++at) {
        const size_t left = buf.size() - at;
        if (left < kRecordProbeSize && !atEnd) return at;
        if (left < kRecordHeadSize) break;
        // A search lands only on kinds this format has: a head of a later
        // kind is a writer's only where a record is known to start.
        if (ShapeOf(buf.substr(at)) == THeadShape::Sound) return at;
    }
    return buf.size();
}

size_t FindNextRecord(std::string_view buf) noexcept {
    const TRecordStepRead step = StepRecord(buf, true);
    if (step.Step == TRecordStep::Skip || step.Step == TRecordStep::Record) return step.Size;
    return FindRecordHead(buf, 1, true);
}

bool ReadDescriptionPayload(std::string_view payload, TGameDescription& out) {
    if (payload.size() < 4) return false;
    out.GameType = static_cast<int32_t>(GetU32(payload.data()));
    payload.remove_prefix(4);
    return TakeText(payload, out.Name) && TakeText(payload, out.Mod) && TakeText(payload, out.SenderName) &&
           TakeText(payload, out.SenderAddr);
}

bool ReadPacketPayload(std::string_view payload, int32_t& location, std::string_view& packet) noexcept {
    if (payload.size() < kPacketRecordPrefix + PacketSize::DemoHeader) return false;
    location = static_cast<int32_t>(GetU32(payload.data()));
    packet = payload.substr(kPacketRecordPrefix);
    const int32_t type = PacketTypeOf(packet);
    // Only what the relay stores: a demo packet or a restart whose length
    // field is its own size.
    if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART) return false;
    return location >= 0 && static_cast<size_t>(PacketLengthOf(packet)) == packet.size();
}

bool ReadTimedPacketPayload(std::string_view payload, int32_t& location, int64_t& ackMs,
                            std::string_view& packet) noexcept {
    if (payload.size() < kTimedPacketRecordPrefix + PacketSize::DemoHeader) return false;
    ackMs = static_cast<int64_t>(GetU64(payload.data() + 4));
    location = static_cast<int32_t>(GetU32(payload.data()));
    packet = payload.substr(kTimedPacketRecordPrefix);
    // The same rules as for a kind 2 payload.
    const int32_t type = PacketTypeOf(packet);
    if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART) return false;
    return location >= 0 && static_cast<size_t>(PacketLengthOf(packet)) == packet.size();
}

bool ReadAnyPacketRecord(const TRecordRead& record, int32_t& location, int64_t& ackMs,
                         std::string_view& packet) noexcept {
    switch (static_cast<TRecordKind>(record.Kind)) {
        case TRecordKind::Packet: ackMs = 0; return ReadPacketPayload(record.Payload, location, packet);
        case TRecordKind::TimedPacket: return ReadTimedPacketPayload(record.Payload, location, ackMs, packet);
        default: return false;
    }
}

}  // namespace vistrel
