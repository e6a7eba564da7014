#include "core/recording_format.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core/protocol.h"

namespace vistrel {
namespace {

constexpr size_t kVersionOffset = 16;
constexpr size_t kGameIdOffset = 20;
constexpr size_t kOpenedOffset = 24;
constexpr size_t kHeaderCrcOffset = 36;
constexpr size_t kMaxDescriptionText = 255;

uint32_t Crc(uint32_t crc, std::string_view bytes) noexcept {
    // zlib takes at most uInt bytes at once; records stay far below that.
    return static_cast<uint32_t>(
        crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

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
    if (read.Version < kOldestRecordingVersion || read.Version > kRecordingVersion) {
        read.Status = THeaderStatus::UnsupportedVersion;
        return read;
    }
    read.Header.GameId = static_cast<int32_t>(GetU32(buf.data() + kGameIdOffset));
    read.Header.OpenedMs = static_cast<int64_t>(GetU64(buf.data() + kOpenedOffset));
    read.Status = THeaderStatus::Valid;
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

// Whether a whole record could start at the front of buf, judged by its head
// and the first bytes of its payload alone, so the search after damage
// computes a CRC only where a record is likely.
bool PlausibleRecordHead(std::string_view buf) noexcept {
    if (buf.size() < kRecordHeadSize) return false;
    const size_t payloadSize = GetU32(buf.data());
    if (payloadSize > kMaxRecordPayload || buf.size() - kRecordHeadSize < payloadSize) return false;
    switch (static_cast<TRecordKind>(GetU32(buf.data() + 4))) {
        case TRecordKind::Description: return payloadSize >= 8 && payloadSize <= 4 + 4 * (1 + kMaxDescriptionText);
        case TRecordKind::Packet:
        case TRecordKind::TimedPacket: {
            const size_t prefix = static_cast<TRecordKind>(GetU32(buf.data() + 4)) == TRecordKind::Packet
                                      ? kPacketRecordPrefix
                                      : kTimedPacketRecordPrefix;
            if (payloadSize < prefix + PacketSize::DemoHeader) return false;
            const std::string_view packet = buf.substr(kRecordHeadSize + prefix);
            const int32_t type = PacketTypeOf(packet);
            return (type == PacketType::DEMOPACKET || type == PacketType::DEMORESTART) &&
                   static_cast<size_t>(PacketLengthOf(packet)) == payloadSize - prefix;
        }
    }
    return false;
}

}  // namespace

size_t FindNextRecord(std::string_view buf) noexcept {
    for (size_t at = 1; at < buf.size(); ++at) {
        const std::string_view rest = buf.substr(at);
        if (PlausibleRecordHead(rest) && ReadRecord(rest).Status == TRecordStatus::Complete) return at;
    }
    return buf.size();
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
