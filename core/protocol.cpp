#include "core/protocol.h"

#include <algorithm>
#include <cstring>

#include "core/game_list.h"

namespace vistrel {

std::string_view PacketLabel(int32_t code) {
    switch (code) {
        case PacketType::GAMEINFO: return "GAMEINFO";
        case PacketType::DATAPACKET: return "DATAPACKET";
        case PacketType::WATCHINGTHIS: return "WATCHINGTHIS";
        case PacketType::GAMEINFODETAILED: return "GAMEINFODETAILED";
        case PacketType::ACKNAK: return "ACKNAK";
        case PacketType::WAITFORGAME: return "WAITFORGAME";
        case PacketType::SENDTEXT: return "SENDTEXT";
        case PacketType::LEAVEGAME: return "LEAVEGAME";
        case PacketType::USERINFO: return "USERINFO";
        case PacketType::DEMOPACKET: return "DEMOPACKET";
        // GAMEREMOVED has no label of its own; clients' logs always showed it so.
        case PacketType::GAMEREMOVED: return "GAMEINFODETAILED";
        case PacketType::DEMORESTART: return "DEMORESTART";
        case PacketType::USERENTERED: return "USERENTERED";
        case PacketType::USERLEFT: return "USERLEFT";
        default: return "UNKNOWN";
    }
}

std::string_view GameLabel(int32_t gameType) {
    switch (gameType) {
        case 0: return "Quake 2";
        case 1: return "Quake 3";
        default: return {};
    }
}

uint32_t ReadUInt32(std::string_view buf, size_t offset) noexcept {
    uint32_t value = 0;
    for (size_t k = 0; k < 4; ++k) {
        size_t at = offset + k;
        if (at < offset || at >= buf.size()) break;  // past the end (or wrapped): zero
        value |= static_cast<uint32_t>(static_cast<unsigned char>(buf[at])) << (8 * k);
    }
    return value;
}

int32_t ReadInt32(std::string_view buf, size_t offset) noexcept {
    return static_cast<int32_t>(ReadUInt32(buf, offset));
}

static void RequireRoom(const std::string& buf, size_t offset, size_t width) {
    if (offset > buf.size() || width > buf.size() - offset) {
        throw EProtocolError("Field at " + std::to_string(offset) + " (" + std::to_string(width) +
                             " bytes) does not fit a packet of " + std::to_string(buf.size()) + " bytes");
    }
}

void WriteInt32(std::string& buf, size_t offset, int32_t value) {
    RequireRoom(buf, offset, 4);
    auto u = static_cast<uint32_t>(value);
    for (size_t k = 0; k < 4; ++k) buf[offset + k] = static_cast<char>((u >> (8 * k)) & 0xFF);
}

std::string ReadTextSlot(std::string_view buf, TTextSlot slot) {
    if (slot.Offset >= buf.size()) return {};
    std::string_view field = buf.substr(slot.Offset, slot.Width);
    size_t nul = field.find('\0');
    return std::string(nul == std::string_view::npos ? field : field.substr(0, nul));
}

std::string_view CutToSlot(std::string_view text, size_t width) noexcept {
    return width == 0 ? std::string_view{} : text.substr(0, std::min(text.size(), width - 1));
}

void WriteTextSlot(std::string& buf, TTextSlot slot, std::string_view text) {
    RequireRoom(buf, slot.Offset, slot.Width);
    if (slot.Width == 0) return;
    std::string_view cut = CutToSlot(text, slot.Width);
    std::memcpy(buf.data() + slot.Offset, cut.data(), cut.size());
    buf[slot.Offset + cut.size()] = '\0';
}

std::string_view DemoPayloadOf(std::string_view buf) noexcept {
    int32_t length = PacketLengthOf(buf);
    if (length <= static_cast<int32_t>(PacketSize::DemoHeader) || buf.size() <= PacketSize::DemoHeader) return {};
    size_t end = std::min(static_cast<size_t>(length), buf.size());
    return buf.substr(PacketSize::DemoHeader, end - PacketSize::DemoHeader);
}

std::string BuildPacket(int32_t type, size_t size) {
    std::string packet(size, '\0');
    WriteInt32(packet, PacketOffset::Type, type);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(size));
    return packet;
}

std::string BuildAckNak(int32_t value) {
    std::string packet = BuildPacket(PacketType::ACKNAK, PacketSize::ACKNAK);
    WriteInt32(packet, PacketOffset::AckValue, value);
    return packet;
}

std::string BuildGameInfoDetailed(const TActiveGameList& game) {
    std::string packet = BuildPacket(PacketType::GAMEINFODETAILED, PacketSize::GAMEINFODETAILED);
    WriteInt32(packet, PacketOffset::GameId, game.Identifier());
    WriteTextSlot(packet, Slot::DetailedName, game.Name());
    WriteInt32(packet, PacketOffset::DetailedType, game.GameType());
    WriteInt32(packet, PacketOffset::DetailedViewers, game.Viewers());
    WriteTextSlot(packet, Slot::DetailedMod, game.Mod());
    return packet;
}

std::string BuildGameRemoved(int32_t gameId) {
    std::string packet = BuildPacket(PacketType::GAMEREMOVED, PacketSize::GAMEREMOVED);
    WriteInt32(packet, PacketOffset::GameId, gameId);
    return packet;
}

std::string BuildNotice(std::string_view text) {
    std::string packet = BuildPacket(PacketType::SENDTEXT, PacketSize::SENDTEXT);
    WriteTextSlot(packet, Slot::SendTextLine, text.substr(0, std::min(text.size(), kNoticeMaxChars)));
    return packet;
}

std::string BuildUserEntered(std::string_view name) {
    std::string packet = BuildPacket(PacketType::USERENTERED, PacketSize::USERENTERED);
    WriteTextSlot(packet, Slot::UserNotice, name);
    return packet;
}

std::string BuildUserLeft(std::string_view name) {
    std::string packet = BuildPacket(PacketType::USERLEFT, PacketSize::USERLEFT);
    WriteTextSlot(packet, Slot::UserNotice, name);
    return packet;
}

}  // namespace vistrel
