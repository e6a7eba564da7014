#include "core/packet_framing.h"

#include <algorithm>

#include "core/protocol.h"

namespace vistrel {

namespace {

TFrame Whole(size_t size) { return {TFrameStatus::Complete, size, {}}; }

TFrame Fixed(std::string_view buf, size_t size) {
    return buf.size() < size ? TFrame{} : Whole(size);
}

TFrame DemoPacket(std::string_view buf) {
    const int32_t length = PacketLengthOf(buf);
    if (length < static_cast<int32_t>(PacketSize::DemoHeader) || length > kMaxDemoPacketLength) {
        return {TFrameStatus::Malformed, 0,
                "sent a " + std::string(PacketLabel(PacketTypeOf(buf))) + " with an invalid length of " +
                    std::to_string(length) + " bytes"};
    }
    return Fixed(buf, static_cast<size_t>(length));
}

TFrame SenderPacket(std::string_view buf) {
    switch (PacketTypeOf(buf)) {
        case PacketType::GAMEINFO: return Fixed(buf, PacketSize::GAMEINFO);
        case PacketType::ACKNAK: return Fixed(buf, PacketSize::ACKNAK);
        case PacketType::SENDTEXT: return Fixed(buf, PacketSize::SENDTEXT);
        case PacketType::DEMOPACKET:
        case PacketType::DEMORESTART: return DemoPacket(buf);
        default: return {TFrameStatus::UnknownType, 0, {}};
    }
}

TFrame ViewerPacket(std::string_view buf) {
    switch (PacketTypeOf(buf)) {
        case PacketType::ACKNAK: return Fixed(buf, PacketSize::ACKNAK);
        case PacketType::WAITFORGAME: return Fixed(buf, PacketSize::WAITFORGAME);
        case PacketType::SENDTEXT: return Fixed(buf, PacketSize::SENDTEXT);
        case PacketType::LEAVEGAME: return Fixed(buf, PacketSize::LEAVEGAME);
        case PacketType::USERINFO:
            // Viewer programs send 32 meaningful bytes and pad to 288; the
            // padding is taken with it when it came in the same read.
            if (buf.size() < PacketSize::USERINFO) return {};
            return Whole(std::min(buf.size(), PacketSize::USERINFO_CONSUMED));
        default: return {TFrameStatus::UnknownType, 0, {}};
    }
}

}  // namespace

TFrame FramePacket(std::string_view buf, TPort port) {
    if (buf.size() < PacketSize::Header) return {};
    return port == TPort::Sender ? SenderPacket(buf) : ViewerPacket(buf);
}

}  // namespace vistrel
