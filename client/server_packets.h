// What the relay sends, read from the client's side: where one packet ends,
// its fields, and a short description for failure messages. Packets are
// framed the way the relay frames them: the fixed-size types by their type
// code, DEMOPACKET and DEMORESTART by their length field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol.h"

namespace vistrel::client {

// The size of the whole packet at the front of bytes; 0 while it is
// incomplete, and for a type code the relay never sends or a length below
// the header's size (nothing after it can be framed).
size_t ServerPacketSize(std::string_view bytes) noexcept;

// Whether what is at the front of bytes can still become a packet the relay
// sends: false once a whole header is there with a type code the relay never
// sends, or a DEMOPACKET/DEMORESTART length outside 16 .. 16 MiB. A client
// that reads a stranger's relay stops there instead of waiting for ever.
bool ServerPacketFrameable(std::string_view bytes) noexcept;

// One packet as a client received it.
struct TServerPacket {
    int32_t Type;
    std::string Bytes;
};

// The whole packets at the front of bytes, in order, up to the first one
// that is incomplete or cannot be framed.
std::vector<TServerPacket> SplitServerPackets(std::string_view bytes);

inline int32_t TypeOf(std::string_view p) { return PacketTypeOf(p); }
inline int32_t AckValueOf(std::string_view p) { return ReadInt32(p, PacketOffset::AckValue); }
// GAMEINFODETAILED, GAMEREMOVED.
inline int32_t GameIdOf(std::string_view p) { return ReadInt32(p, PacketOffset::GameId); }
inline int32_t ViewersOf(std::string_view p) { return ReadInt32(p, PacketOffset::DetailedViewers); }
// GAMEINFODETAILED: the game's type, name and mod.
inline int32_t DetailedTypeOf(std::string_view p) { return ReadInt32(p, PacketOffset::DetailedType); }
inline std::string DetailedNameOf(std::string_view p) { return ReadTextSlot(p, Slot::DetailedName); }
inline std::string DetailedModOf(std::string_view p) { return ReadTextSlot(p, Slot::DetailedMod); }
// SENDTEXT: the line and the name the relay stamped on it.
inline std::string TextOf(std::string_view p) { return ReadTextSlot(p, Slot::SendTextLine); }
inline std::string NameOf(std::string_view p) { return ReadTextSlot(p, Slot::SendTextName); }
// USERENTERED, USERLEFT.
inline std::string NoticeNameOf(std::string_view p) { return ReadTextSlot(p, Slot::UserNotice); }

// "ACKNAK(0)", "SENDTEXT(A: hi)", "USERENTERED(A)", "GAMEINFODETAILED(3, 1
// viewers)", "GAMEREMOVED(2)", "DEMOPACKET(5)"; the bare label otherwise.
std::string Describe(std::string_view p);

}  // namespace vistrel::client
