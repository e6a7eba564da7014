// The recording format: one game as a header followed by records, each
// record carrying its own length and CRC-32. The same record layout frames a
// game's files on disk and the pieces of a game served over HTTP, so a reader
// of one reads the other. Plain bytes here: no files, no sockets.
//
// Every integer is little-endian, as on the wire protocol.
//
//   header (40 bytes)
//     0  16  format name "VistrelRecording"
//    16   4  version (2; version 1 files are read too)
//    20   4  the game's identifier (signed)
//    24   8  when the game was opened, Unix time in milliseconds (signed)
//    32   4  zero (reserved)
//    36   4  CRC-32 of bytes 0..35
//
//   record (12-byte head + payload)
//     0   4  payload length
//     4   4  kind
//     8   4  CRC-32 of bytes 4..7 followed by the payload
//    12   .  payload
//
//   kinds
//     1  description: game type (4, signed), then game name, mod, the
//        sender's user name and the sender's address, each a length byte
//        and that many bytes
//     2  packet: location (4, signed), then the stored DEMOPACKET or
//        DEMORESTART exactly as received, header included (version 1's
//        packets, and the HTTP segments'); acknowledged at 0
//     3  timed packet (version 2): location (4, signed), when the relay
//        acknowledged it (8, signed, Unix time in milliseconds), then the
//        packet as in kind 2
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vistrel {

inline constexpr std::string_view kRecordingFormatName = "VistrelRecording";
inline constexpr uint32_t kRecordingVersion = 2;
// The oldest version this program reads.
inline constexpr uint32_t kOldestRecordingVersion = 1;
inline constexpr size_t kRecordingHeaderSize = 40;
inline constexpr size_t kRecordHeadSize = 12;

enum class TRecordKind : uint32_t {
    Description = 1,
    Packet = 2,
    TimedPacket = 3,
};

// A packet record's payload: its location, then the packet.
inline constexpr size_t kPacketRecordPrefix = 4;
// The largest payload any record may declare: a packet record holding the
// largest packet the relay accepts (16 MiB, header included). A length
// beyond it is damage, never data.
// A timed packet record's payload: its location and acknowledgement time,
// then the packet.
inline constexpr size_t kTimedPacketRecordPrefix = 12;
inline constexpr size_t kMaxRecordPayload = kTimedPacketRecordPrefix + (size_t{16} << 20);

struct TRecordingHeader {
    int32_t GameId = 0;
    int64_t OpenedMs = 0;
};

enum class THeaderStatus {
    Valid,
    Short,               // fewer than kRecordingHeaderSize bytes
    NotARecording,       // the format name is not there
    UnsupportedVersion,  // a recording of a version this program cannot read
    BadCrc,              // the name is there but the header is damaged
};

struct THeaderRead {
    THeaderStatus Status = THeaderStatus::Short;
    // Read when Valid or UnsupportedVersion.
    TRecordingHeader Header;
    uint32_t Version = 0;
};

std::string EncodeRecordingHeader(const TRecordingHeader& header, uint32_t version = kRecordingVersion);
THeaderRead ReadRecordingHeader(std::string_view buf) noexcept;

// A game's description as its records keep it.
struct TGameDescription {
    int32_t GameType = 0;
    std::string Name;
    std::string Mod;
    std::string SenderName;
    std::string SenderAddr;
};

// Whole records, head included. Texts longer than 255 bytes are cut.
std::string EncodeDescriptionRecord(const TGameDescription& description);
std::string EncodePacketRecord(int32_t location, std::string_view packet);
// Appends a packet record to out without building it apart first.
void AppendPacketRecord(std::string& out, int32_t location, std::string_view packet);
// The first kPacketRecordHeadSize bytes of a packet record (the record's
// head and the location); the packet itself follows them unchanged, so a
// writer can hand both pieces to the kernel without copying the packet.
inline constexpr size_t kPacketRecordHeadSize = kRecordHeadSize + kPacketRecordPrefix;
void EncodePacketRecordHead(char (&head)[kPacketRecordHeadSize], int32_t location, std::string_view packet) noexcept;
// The CRC a packet record of this packet at this location carries, and the
// head made from it and the packet's size: a reader that sends the same
// record again and again computes the CRC once.
uint32_t PacketRecordCrc(int32_t location, std::string_view packet) noexcept;
void EncodePacketRecordHead(char (&head)[kPacketRecordHeadSize], int32_t location, size_t packetSize,
                            uint32_t crc) noexcept;
// The same for a timed packet record (kind 3).
inline constexpr size_t kTimedPacketRecordHeadSize = kRecordHeadSize + kTimedPacketRecordPrefix;
void EncodeTimedPacketRecordHead(char (&head)[kTimedPacketRecordHeadSize], int32_t location, int64_t ackMs,
                                 std::string_view packet) noexcept;
std::string EncodeTimedPacketRecord(int32_t location, int64_t ackMs, std::string_view packet);

enum class TRecordStatus {
    Complete,   // Size bytes at the front are one record whose CRC matches
    NeedMore,   // the record is not all there (at a file's end: a torn tail)
    BadCrc,     // a whole record whose CRC does not match (Size: its extent)
    Malformed,  // its declared length exceeds kMaxRecordPayload
};

struct TRecordRead {
    TRecordStatus Status = TRecordStatus::NeedMore;
    size_t Size = 0;  // head plus payload
    uint32_t Kind = 0;
    std::string_view Payload;
};

// Reads the record at the front of buf.
TRecordRead ReadRecord(std::string_view buf) noexcept;

// Reading a file record by record. A file holds the writer's records one
// after another from its header on, and a record's payload holds bytes a
// camera chose: at zlib level 0 its packet can hold a whole record, CRC and
// all. So a reader never looks for records inside the extent that a record's
// head declares: a head a writer makes whose CRC fails is skipped whole, and
// one the file ends inside is a torn tail (the writer stopped mid-record). It
// searches only where a head is one no writer makes (its length field was
// hit), and only for heads a writer makes. A search computes no CRC, and
// every CRC covers an extent that is then stepped over: the work is linear
// in the file, damaged or not.
//
// The bytes a search judges a head by: the head, a timed packet record's
// prefix and the packet's own header.
inline constexpr size_t kRecordProbeSize = kRecordHeadSize + kTimedPacketRecordPrefix + 16;

enum class TRecordStep {
    Record,    // Read is a whole record whose CRC matches
    NeedMore,  // more of the file is needed: Size bytes from here
    Torn,      // the file ends inside a record (or its head): a torn tail
    Skip,      // a record whose CRC fails: its Size bytes are damage
    Search,    // a head no writer makes: damage up to FindRecordHead(rest, 1)
};

struct TRecordStepRead {
    TRecordStep Step = TRecordStep::NeedMore;
    size_t Size = 0;
    TRecordRead Read;
};

// The step for the bytes at the front of rest, the file from where a record
// starts on; atEnd: rest reaches the file's end. A CRC is computed only for
// Record and Skip, over their Size bytes.
TRecordStepRead StepRecord(std::string_view rest, bool atEnd) noexcept;

// The first offset at or after from where a head a writer makes starts
// (judged by the kRecordProbeSize bytes from it, or what is left of buf when
// atEnd), or buf.size() when none does. When !atEnd, an offset with fewer
// than kRecordProbeSize bytes after it is not judged: the search stops there
// and returns it, for the caller to read on and search again from it.
size_t FindRecordHead(std::string_view buf, size_t from, bool atEnd) noexcept;

// Where reading goes on after the record at the front of buf (the rest of a
// file) failed: past it when a writer made its head, else at the next head a
// writer makes, or buf.size().
size_t FindNextRecord(std::string_view buf) noexcept;

// Payload readers. False when the payload is too short or inconsistent.
bool ReadDescriptionPayload(std::string_view payload, TGameDescription& out);
bool ReadPacketPayload(std::string_view payload, int32_t& location, std::string_view& packet) noexcept;
bool ReadTimedPacketPayload(std::string_view payload, int32_t& location, int64_t& ackMs,
                            std::string_view& packet) noexcept;
// Either packet kind (a kind 2 record's time is 0); false for any other kind.
bool ReadAnyPacketRecord(const TRecordRead& record, int32_t& location, int64_t& ackMs,
                         std::string_view& packet) noexcept;

}  // namespace vistrel
