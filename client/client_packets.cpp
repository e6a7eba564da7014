#include "client/client_packets.h"

#include "client/demo_payload.h"

namespace vistrel::client {

std::string GameInfo(std::string_view user, std::string_view password, std::string_view name, std::string_view mod,
                     int32_t gameType) {
    std::string p = Header(PacketType::GAMEINFO, PacketSize::GAMEINFO);
    WriteInt32(p, PacketOffset::GameType, gameType);
    WriteTextSlot(p, Slot::GameInfoMod, mod);
    WriteTextSlot(p, Slot::GameInfoUserName, user);
    WriteTextSlot(p, Slot::GameInfoPassword, password);
    WriteTextSlot(p, Slot::GameInfoGameName, name);
    return p;
}

// DEMOPACKET and DEMORESTART share their layout: header, location, then the
// payload or body up to the length field.
static std::string DemoLayout(int32_t type, int32_t location, std::string_view body) {
    std::string p = Header(type, PacketSize::DemoHeader + body.size());
    WriteInt32(p, PacketOffset::Location, location);
    p.replace(PacketOffset::Payload, body.size(), body);
    return p;
}

std::string RawDemo(int32_t location, std::string_view payload, uint32_t check) {
    std::string p = DemoLayout(PacketType::DEMOPACKET, location, payload);
    WriteInt32(p, PacketOffset::Check, static_cast<int32_t>(check));
    return p;
}

std::string Demo(int32_t location, std::string_view content) {
    return RawDemo(location, Deflate(content), Crc(content));
}

std::string BadCheckDemo(int32_t location, std::string_view content) {
    return RawDemo(location, Deflate(content), Crc(content) ^ 1u);
}

std::string Restart(int32_t location, std::string_view body) {
    return DemoLayout(PacketType::DEMORESTART, location, body);
}

std::string SendText(std::string_view line, std::string_view name) {
    std::string p = Header(PacketType::SENDTEXT, PacketSize::SENDTEXT);
    WriteTextSlot(p, Slot::SendTextName, name);
    WriteTextSlot(p, Slot::SendTextLine, line);
    return p;
}

std::string UserInfo(std::string_view name, size_t size) {
    std::string p = Header(PacketType::USERINFO, size);
    WriteTextSlot(p, Slot::UserInfoName, name);
    return p;
}

std::string WaitForGame(int32_t id) {
    std::string p = Header(PacketType::WAITFORGAME, PacketSize::WAITFORGAME);
    WriteInt32(p, PacketOffset::GameId, id);
    return p;
}

std::string LeaveGame() { return Header(PacketType::LEAVEGAME, PacketSize::LEAVEGAME); }

}  // namespace vistrel::client
