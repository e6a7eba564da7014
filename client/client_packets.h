// Packets a client sends to the relay, built whole and zero-filled: a
// sender's GAMEINFO, DEMOPACKET and DEMORESTART, a viewer's USERINFO,
// WAITFORGAME and LEAVEGAME, SENDTEXT and ACKNAK from either. Fields are
// written as given, so a test can also build what the relay must refuse;
// only a text longer than its slot is cut to fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/protocol.h"

namespace vistrel::client {

// A zero-filled packet of this type and size, its length field the size.
inline std::string Header(int32_t type, size_t size) { return BuildPacket(type, size); }

inline std::string AckNak(int32_t value) { return BuildAckNak(value); }

// A sender's login and the description of its game.
std::string GameInfo(std::string_view user, std::string_view password, std::string_view name = "Final",
                     std::string_view mod = "ctf", int32_t gameType = 1);

// A DEMOPACKET with the payload and check field exactly as given.
std::string RawDemo(int32_t location, std::string_view payload, uint32_t check);
// A DEMOPACKET that passes the relay's check: content compressed, its CRC-32.
std::string Demo(int32_t location, std::string_view content);
// A DEMOPACKET whose payload inflates but whose check is wrong.
std::string BadCheckDemo(int32_t location, std::string_view content);
// A DEMORESTART; its body is stored as it is, never inflated.
std::string Restart(int32_t location, std::string_view body);

// The relay writes the name it knows over `name`.
std::string SendText(std::string_view line, std::string_view name = "");

// The relay acts on a USERINFO once PacketSize::USERINFO bytes are there and
// then consumes up to PacketSize::USERINFO_CONSUMED (the form a viewer
// program sends in one piece).
std::string UserInfo(std::string_view name, size_t size = PacketSize::USERINFO);
std::string WaitForGame(int32_t id);
std::string LeaveGame();

}  // namespace vistrel::client
