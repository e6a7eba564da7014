#include "client/game_recorder.h"

#include "core/protocol.h"

namespace vistrel::client {

TGameRecorder::TGameRecorder(const std::string& path, const TRecordingHeader& header) : writer_(path) {
    writer_.Write(EncodeRecordingHeader(header));
}

bool TGameRecorder::Describe(const TGameDescription& description) {
    if (described_ && described_->GameType == description.GameType && described_->Name == description.Name &&
        described_->Mod == description.Mod && described_->SenderName == description.SenderName &&
        described_->SenderAddr == description.SenderAddr)
        return false;
    writer_.Write(EncodeDescriptionRecord(description));
    described_ = description;
    return true;
}

bool TGameRecorder::Packet(std::string_view packet) {
    if (packet.size() < PacketSize::DemoHeader) return false;
    const int32_t type = PacketTypeOf(packet);
    if (type != PacketType::DEMOPACKET && type != PacketType::DEMORESTART) return false;
    if (static_cast<size_t>(PacketLengthOf(packet)) != packet.size()) return false;
    const int32_t location = PacketLocationOf(packet);
    if (location < 0) return false;
    record_.clear();
    AppendPacketRecord(record_, location, packet);
    writer_.Write(record_);
    ++packets_;
    return true;
}

}  // namespace vistrel::client
