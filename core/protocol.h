// The wire protocol spoken on both ports: every type code, size, field offset,
// port number and greeting text lives here and nowhere else. Packets are byte
// strings; fields are read in place from a receive buffer (a string_view of
// it) and written through the helpers below, never by casting structs.
// Called by the sender and viewer handling, the distribution and the operator
// commands. Pure functions, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/exception.h"

namespace vistrel {

class TActiveGameList;

// A field write that does not fit its buffer (a programming error, not input).
class EProtocolError : public Exception {
public:
    explicit EProtocolError(const std::string& message) : Exception("EProtocolError", message) {}
};

// Ports and the texts sent before any packet (each followed by CR LF).
inline constexpr uint16_t kSenderPort = 38963;
inline constexpr uint16_t kViewerPort = 38962;
inline constexpr std::string_view kBanner = "Welcome to TcpSrv";
inline constexpr std::string_view kBannerTooBusy = "Sorry, too many clients";
inline constexpr std::string_view kLineEnd = "\r\n";

// Packet type codes (header offset 0).
namespace PacketType {
inline constexpr int32_t GAMEINFO = 0;
inline constexpr int32_t DATAPACKET = 1;
inline constexpr int32_t WATCHINGTHIS = 2;
inline constexpr int32_t GAMEINFODETAILED = 3;
inline constexpr int32_t ACKNAK = 4;
inline constexpr int32_t WAITFORGAME = 5;
inline constexpr int32_t SENDTEXT = 6;
inline constexpr int32_t LEAVEGAME = 7;
inline constexpr int32_t USERINFO = 8;
inline constexpr int32_t DEMOPACKET = 9;
inline constexpr int32_t GAMEREMOVED = 10;
inline constexpr int32_t DEMORESTART = 11;
inline constexpr int32_t USERENTERED = 12;
inline constexpr int32_t USERLEFT = 13;
}  // namespace PacketType

// Sizes in bytes. Fixed-size types are framed by these, never by their length
// field; DEMOPACKET and DEMORESTART are framed by their length field.
namespace PacketSize {
inline constexpr size_t Header = 12;
inline constexpr size_t GAMEINFO = 100;
inline constexpr size_t GAMEINFODETAILED = 80;
inline constexpr size_t ACKNAK = 16;
inline constexpr size_t WAITFORGAME = 16;
inline constexpr size_t SENDTEXT = 288;
inline constexpr size_t LEAVEGAME = 12;
// A USERINFO is acted on once this much is buffered ...
inline constexpr size_t USERINFO = 32;
// ... and then this much (or the whole buffer, if less) is consumed.
inline constexpr size_t USERINFO_CONSUMED = 288;
inline constexpr size_t GAMEREMOVED = 16;
inline constexpr size_t USERENTERED = 32;
inline constexpr size_t USERLEFT = 32;
// Header plus location: the smallest sound DEMOPACKET / DEMORESTART.
inline constexpr size_t DemoHeader = 16;
}  // namespace PacketSize

// Header fields and the int32 fields that follow it.
namespace PacketOffset {
inline constexpr size_t Type = 0;
inline constexpr size_t Length = 4;
inline constexpr size_t Check = 8;
inline constexpr size_t Location = 12;     // DEMOPACKET, DEMORESTART
inline constexpr size_t Payload = 16;      // DEMOPACKET payload, DEMORESTART body
inline constexpr size_t GameType = 12;     // GAMEINFO
inline constexpr size_t GameId = 12;       // WAITFORGAME, GAMEREMOVED, GAMEINFODETAILED
inline constexpr size_t AckValue = 12;     // ACKNAK
inline constexpr size_t DetailedType = 52; // GAMEINFODETAILED
inline constexpr size_t DetailedViewers = 56;
}  // namespace PacketOffset

// A fixed-width NUL-terminated 8-bit text field.
struct TTextSlot {
    size_t Offset;
    size_t Width;
};

namespace Slot {
inline constexpr TTextSlot GameInfoMod{16, 17};
inline constexpr TTextSlot GameInfoUserName{33, 17};
inline constexpr TTextSlot GameInfoPassword{50, 17};
inline constexpr TTextSlot GameInfoGameName{67, 33};
inline constexpr TTextSlot DetailedName{16, 33};
inline constexpr TTextSlot DetailedMod{60, 17};
inline constexpr TTextSlot SendTextName{12, 17};
inline constexpr TTextSlot SendTextLine{29, 259};
inline constexpr TTextSlot UserInfoName{12, 17};
inline constexpr TTextSlot UserNotice{12, 18};  // USERENTERED, USERLEFT
}  // namespace Slot

// Tags of stored entries: opened for a DEMOPACKET / for a DEMORESTART.
inline constexpr int32_t kTagDemoPacket = 6;
inline constexpr int32_t kTagDemoRestart = 10;

// Server notices carry at most this many characters.
inline constexpr size_t kNoticeMaxChars = 255;

// Label of a type code for debug log lines; "UNKNOWN" outside the table.
std::string_view PacketLabel(int32_t code);

// "Quake 2" for 0, "Quake 3" for 1, empty for any other game type.
std::string_view GameLabel(int32_t gameType);

// --- Field helpers ------------------------------------------------------
// Reads never fail: bytes beyond the end of the buffer read as zero, so a
// short buffer yields a defined value. Writes must fit inside the buffer;
// one that does not throws EProtocolError and changes nothing.

int32_t ReadInt32(std::string_view buf, size_t offset) noexcept;
uint32_t ReadUInt32(std::string_view buf, size_t offset) noexcept;
void WriteInt32(std::string& buf, size_t offset, int32_t value);

// Characters up to the first NUL, the slot's width or the buffer's end.
std::string ReadTextSlot(std::string_view buf, TTextSlot slot);
// At most width-1 characters, then a NUL; the slot's later bytes are left.
void WriteTextSlot(std::string& buf, TTextSlot slot, std::string_view text);
// The text as a slot of that width would hold it (at most width-1 chars).
std::string_view CutToSlot(std::string_view text, size_t width) noexcept;

// --- Readers of received packets (in place, from the receive buffer) ----

inline int32_t PacketTypeOf(std::string_view buf) noexcept { return ReadInt32(buf, PacketOffset::Type); }
inline int32_t PacketLengthOf(std::string_view buf) noexcept { return ReadInt32(buf, PacketOffset::Length); }
inline uint32_t PacketCheckOf(std::string_view buf) noexcept { return ReadUInt32(buf, PacketOffset::Check); }
inline int32_t PacketLocationOf(std::string_view buf) noexcept { return ReadInt32(buf, PacketOffset::Location); }

// DEMOPACKET payload: bytes 16 up to the length field, clipped to the buffer;
// empty when the length is 16 or less.
std::string_view DemoPayloadOf(std::string_view buf) noexcept;

inline int32_t GameInfoTypeOf(std::string_view buf) noexcept { return ReadInt32(buf, PacketOffset::GameType); }
inline std::string GameInfoModOf(std::string_view buf) { return ReadTextSlot(buf, Slot::GameInfoMod); }
inline std::string GameInfoUserNameOf(std::string_view buf) { return ReadTextSlot(buf, Slot::GameInfoUserName); }
inline std::string GameInfoPasswordOf(std::string_view buf) { return ReadTextSlot(buf, Slot::GameInfoPassword); }
inline std::string GameInfoGameNameOf(std::string_view buf) { return ReadTextSlot(buf, Slot::GameInfoGameName); }

inline int32_t WaitForGameIdOf(std::string_view buf) noexcept { return ReadInt32(buf, PacketOffset::GameId); }
inline std::string UserInfoNameOf(std::string_view buf) { return ReadTextSlot(buf, Slot::UserInfoName); }

// Relaying a SENDTEXT stamps the name the server knows for its origin.
inline void SetSendTextName(std::string& buf, std::string_view name) { WriteTextSlot(buf, Slot::SendTextName, name); }

// --- Builders: complete zero-filled packets, type and length set, check 0 --

// Any type at any size: the length field says the size.
std::string BuildPacket(int32_t type, size_t size);
std::string BuildAckNak(int32_t value);
std::string BuildGameInfoDetailed(const TActiveGameList& game);
std::string BuildGameRemoved(int32_t gameId);
// SENDTEXT with an empty name slot and the text cut to 255 characters.
std::string BuildNotice(std::string_view text);
std::string BuildUserEntered(std::string_view name);
std::string BuildUserLeft(std::string_view name);

}  // namespace vistrel
