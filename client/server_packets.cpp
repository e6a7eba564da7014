#include "client/server_packets.h"

#include "core/packet_framing.h"

namespace vistrel::client {

size_t ServerPacketSize(std::string_view bytes) noexcept {
    if (bytes.size() < PacketSize::Header) return 0;
    size_t size = 0;
    switch (PacketTypeOf(bytes)) {
        case PacketType::ACKNAK: size = PacketSize::ACKNAK; break;
        case PacketType::GAMEINFODETAILED: size = PacketSize::GAMEINFODETAILED; break;
        case PacketType::SENDTEXT: size = PacketSize::SENDTEXT; break;
        case PacketType::GAMEREMOVED: size = PacketSize::GAMEREMOVED; break;
        case PacketType::USERENTERED: size = PacketSize::USERENTERED; break;
        case PacketType::USERLEFT: size = PacketSize::USERLEFT; break;
        case PacketType::DEMOPACKET:
        case PacketType::DEMORESTART: {
            const int32_t length = PacketLengthOf(bytes);
            if (length < static_cast<int32_t>(PacketSize::Header)) return 0;
            size = static_cast<size_t>(length);
            break;
        }
        default: return 0;
    }
    return size <= bytes.size() ? size : 0;
}

bool ServerPacketFrameable(std::string_view bytes) noexcept {
    if (bytes.size() < PacketSize::Header) return true;
    switch (PacketTypeOf(bytes)) {
        case PacketType::ACKNAK:
        case PacketType::GAMEINFODETAILED:
        case PacketType::SENDTEXT:
        case PacketType::GAMEREMOVED:
        case PacketType::USERENTERED:
        case PacketType::USERLEFT: return true;
        case PacketType::DEMOPACKET:
        case PacketType::DEMORESTART: {
            const int32_t length = PacketLengthOf(bytes);
            return length >= static_cast<int32_t>(PacketSize::DemoHeader) && length <= kMaxDemoPacketLength;
        }
        default: return false;
    }
}

std::vector<TServerPacket> SplitServerPackets(std::string_view bytes) {
    std::vector<TServerPacket> packets;
    while (const size_t size = ServerPacketSize(bytes)) {
        packets.push_back({TypeOf(bytes), std::string(bytes.substr(0, size))});
        bytes.remove_prefix(size);
    }
    return packets;
}

std::string Describe(std::string_view p) {
    std::string out(PacketLabel(TypeOf(p)));
    switch (TypeOf(p)) {
        case PacketType::ACKNAK: return out + "(" + std::to_string(AckValueOf(p)) + ")";
        case PacketType::SENDTEXT: return out + "(" + NameOf(p) + ": " + TextOf(p) + ")";
        case PacketType::USERENTERED:
        case PacketType::USERLEFT: return out + "(" + NoticeNameOf(p) + ")";
        case PacketType::GAMEINFODETAILED:
            return out + "(" + std::to_string(GameIdOf(p)) + ", " + std::to_string(ViewersOf(p)) + " viewers)";
        // The label table names GAMEREMOVED as GAMEINFODETAILED; a test must tell them apart.
        case PacketType::GAMEREMOVED: return "GAMEREMOVED(" + std::to_string(GameIdOf(p)) + ")";
        case PacketType::DEMOPACKET:
        case PacketType::DEMORESTART: return out + "(" + std::to_string(PacketLocationOf(p)) + ")";
        default: return out;
    }
}

}  // namespace vistrel::client
