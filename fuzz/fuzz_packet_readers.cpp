// Arbitrary receive buffers through the framing of both ports, every field
// reader and writer, column
// edits with names taken from them, and stores at arbitrary locations into a
// small demo. Only defined answers (values or our own errors) are allowed.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "console/console_lists.h"
#include "core/game_list.h"
#include "core/packet_framing.h"
#include "core/protocol.h"

using namespace vistrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view buf(reinterpret_cast<const char*>(data), size);

    // A whole packet lies within the buffer and holds at least a header; a
    // malformed one always says why.
    for (TPort port : {TPort::Sender, TPort::Viewer}) {
        const TFrame frame = FramePacket(buf, port);
        if (frame.Status == TFrameStatus::Complete && (frame.Size > size || frame.Size < PacketSize::Header))
            std::abort();
        if ((frame.Status == TFrameStatus::Malformed) != !frame.Reason.empty()) std::abort();
    }

    (void)PacketLabel(PacketTypeOf(buf));
    (void)GameLabel(GameInfoTypeOf(buf));
    (void)PacketLengthOf(buf);
    (void)PacketCheckOf(buf);
    (void)WaitForGameIdOf(buf);
    const std::string_view payload = DemoPayloadOf(buf);
    if (payload.size() > buf.size()) std::abort();
    for (TTextSlot slot : {Slot::GameInfoMod, Slot::GameInfoUserName, Slot::GameInfoPassword,
                          Slot::GameInfoGameName, Slot::SendTextName, Slot::SendTextLine, Slot::UserInfoName}) {
        if (ReadTextSlot(buf, slot).size() > slot.Width) std::abort();
    }

    // Stamping a name into a received SENDTEXT-sized (or shorter) buffer.
    std::string copy(buf);
    const std::string name = UserInfoNameOf(buf);
    try {
        SetSendTextName(copy, name);
        if (ReadTextSlot(copy, Slot::SendTextName) != CutToSlot(name, Slot::SendTextName.Width)) std::abort();
    } catch (const EProtocolError&) {
        if (copy != buf) std::abort();  // refused writes change nothing
    }

    // Names from the wire go into list columns.
    TConsoleLists lists;
    lists.AddGameRow(1, nullptr, GameInfoUserNameOf(buf));
    const std::string gameName = GameInfoGameNameOf(buf), mod = GameInfoModOf(buf), sender = GameInfoUserNameOf(buf);
    lists.SetGameColumns(1, {.Name = gameName,
                             .Label = GameLabel(GameInfoTypeOf(buf)),
                             .Mod = mod,
                             .Users = "3",
                             .Sender = sender});
    if (lists.IndexOfGameRow(1) != 0) std::abort();

    // Up to 4 stores (each may open 65,536 gaps): 4 bytes location, 1 byte tag choice, then a short packet.
    TPacketList demo;
    size_t pos = 0;
    for (int n = 0; n < 4 && pos + 5 <= size; ++n) {
        const int32_t location = ReadInt32(buf, pos);
        const int32_t tag = (data[pos + 4] & 1) ? kTagDemoRestart : kTagDemoPacket;
        const std::string_view packet = buf.substr(pos, 16);
        const int32_t before = demo.Count();
        try {
            demo.StorePacketAt(location, packet, tag);
            if (demo.Data(location) != packet) std::abort();
        } catch (const EListError&) {
            if (location >= 0 || demo.Count() != before) std::abort();
        } catch (const ELocationTooFar&) {
            if (demo.Count() != before) std::abort();
        } catch (const ETooManyGaps&) {
            // Refused before anything changes, and only past the bound.
            if (demo.Count() != before || demo.Gaps() > kMaxMissingLocations) std::abort();
        }
        if (demo.Gaps() > kMaxMissingLocations) std::abort();
        pos += 5 + (data[pos + 4] >> 4);
    }
    return 0;
}
