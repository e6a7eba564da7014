// Sender connections: a game opened per connection, the login with the
// filming password, and the parse loop over GAMEINFO, ACKNAK, SENDTEXT,
// DEMOPACKET and DEMORESTART. Each packet handler reports handled (its packet
// consumed), incomplete (nothing changed, wait for more bytes) or stop (the
// connection was closed for a malformed packet; parsing it further is
// pointless).
#include <optional>
#include <string>
#include <string_view>

#include "relay/demo_sender.h"
#include "core/demo_verify.h"
#include "relay/demo_viewer.h"
#include "core/game_list.h"
#include "relay/main_form.h"
#include "core/protocol.h"
#include "relay/receive_buffer.h"
#include "relay/relay_limits.h"

namespace vistrel {

namespace {

enum class Parsed { Handled, Incomplete, Stop };

class SenderParser {
public:
    SenderParser(TMainForm& form, TDemoSender& sender) : form_(form), s_(sender) {}

    // Handles packets from offset `consumed` on; advances it past each one.
    void Run(size_t& consumed) {
        for (;;) {
            std::string_view buf = std::string_view(s_.ReceiveBuffer).substr(consumed);
            if (buf.size() < PacketSize::Header) return;
            const int32_t type = PacketTypeOf(buf);
            form_.ServerLogDebug([&] {
                return "Sender [" + s_.UserName + "] sent us " + std::string(PacketLabel(type)) + " Packet";
            });
            size_t used = 0;
            Parsed result = Parsed::Stop;
            switch (type) {
                case PacketType::GAMEINFO: result = GameInfo(buf, used); break;
                case PacketType::ACKNAK: result = Fixed(buf, PacketSize::ACKNAK, used); break;
                case PacketType::SENDTEXT: result = SendText(buf, used); break;
                case PacketType::DEMOPACKET: result = DemoPacket(buf, used); break;
                case PacketType::DEMORESTART: result = DemoRestart(buf, used); break;
                default:
                    // An unknown packet cannot be framed: it stays at the front
                    // and nothing after it is handled.
                    return;
            }
            if (result != Parsed::Handled) return;
            consumed += used;
        }
    }

private:
    static Parsed Fixed(std::string_view buf, size_t size, size_t& used) {
        if (buf.size() < size) return Parsed::Incomplete;
        used = size;
        return Parsed::Handled;
    }

    Parsed GameInfo(std::string_view buf, size_t& used) {
        if (buf.size() < PacketSize::GAMEINFO) return Parsed::Incomplete;
        form_.SendToSender(s_, BuildAckNak(0));
        const std::string userName = GameInfoUserNameOf(buf);
        if (GameInfoPasswordOf(buf) != form_.Setup.FilmDemoPasswordEdit) {
            form_.ServerLog(false, s_.PeerAddr() + " using " + userName + " as name had invalid password for filming");
            // The disconnect follows later; whatever else this read holds is
            // still handled (and refused, if a filming password is set).
            s_.Close();
        } else {
            s_.LoggedIn = true;
            if (TActiveGameList* game = form_.Games ? form_.Games->FindBySender(&s_) : nullptr) {
                game->SetGameType(GameInfoTypeOf(buf));
                game->SetMod(GameInfoModOf(buf));
                game->SetName(GameInfoGameNameOf(buf));
                s_.UserName = userName;
                const std::string label(GameLabel(game->GameType()));
                form_.Console.SetGameColumns(game->Identifier(), game->Name(), label, game->Mod(), {}, {},
                                             s_.UserName);
                form_.ServerLog(false, s_.PeerAddr() + " camming a demo for " + label + " " + game->Mod());
                form_.BroadcastGameInfo(*game);
            }
        }
        used = PacketSize::GAMEINFO;
        return Parsed::Handled;
    }

    // With a filming password set, a sender that has not logged in reaches
    // nobody: its chat, demo and restart packets are consumed and refused.
    bool Refused() const { return !s_.LoggedIn && !form_.Setup.FilmDemoPasswordEdit.empty(); }

    void Refuse() {
        if (!s_.RefusalLogged) {
            s_.RefusalLogged = true;
            form_.ServerLog(false, s_.PeerAddr() + " sent packets without logging in for filming; they are refused");
        }
        form_.SendToSender(s_, BuildAckNak(1));
    }

    Parsed SendText(std::string_view buf, size_t& used) {
        if (buf.size() < PacketSize::SENDTEXT) return Parsed::Incomplete;
        if (Refused()) {
            Refuse();
        } else {
            form_.SendToSender(s_, BuildAckNak(0));
            std::string packet(buf.substr(0, PacketSize::SENDTEXT));
            SetSendTextName(packet, s_.UserName);
            for (TDemoViewer* viewer : form_.GameViewers.Of(s_.GameId)) form_.SendToViewer(*viewer, packet);
            form_.SendToSender(s_, packet);
        }
        used = PacketSize::SENDTEXT;
        return Parsed::Handled;
    }

    // The length field frames DEMOPACKET and DEMORESTART. One that cannot
    // hold a header and location, or is larger than any demo packet we keep,
    // leaves nothing sound to parse: the sender is closed.
    bool LengthSound(std::string_view buf, int32_t length) {
        if (length >= static_cast<int32_t>(PacketSize::DemoHeader) && length <= kMaxDemoPacketLength) return true;
        form_.ServerLog(false, s_.PeerAddr() + " sent a " + std::string(PacketLabel(PacketTypeOf(buf))) +
                                   " with an invalid length of " + std::to_string(length) +
                                   " bytes; connection closed");
        s_.Close();
        return false;
    }

    // A location that would open too many gaps: closed, nothing stored.
    bool LocationTooFar(const TActiveGameList& game, int32_t location) {
        if (!game.IsTooFar(location)) return false;
        CloseForLocation(location);
        return true;
    }

    void CloseForLocation(int32_t location) {
        form_.ServerLog(false, s_.PeerAddr() + " sent a packet for location " + std::to_string(location) +
                                   ", too far beyond the end of its demo; connection closed");
        s_.Close();
    }

    TActiveGameList* Game() { return form_.Games ? form_.Games->FindById(s_.GameId) : nullptr; }

    // What DEMOPACKET and DEMORESTART share before their own handling: a
    // sound length, the whole packet buffered, and a sender allowed to store.
    // Returns the packet, or nothing with `early` saying how parsing goes on
    // (a packet refused before the login is consumed here).
    std::optional<std::string_view> TakeDemoPacket(std::string_view buf, size_t& used, Parsed& early) {
        const int32_t length = PacketLengthOf(buf);
        if (!LengthSound(buf, length)) {
            early = Parsed::Stop;
            return std::nullopt;
        }
        if (buf.size() < static_cast<size_t>(length)) {
            early = Parsed::Incomplete;
            return std::nullopt;
        }
        const std::string_view packet = buf.substr(0, static_cast<size_t>(length));
        if (Refused()) {
            used = packet.size();
            Refuse();
            early = Parsed::Handled;
            return std::nullopt;
        }
        return packet;
    }

    Parsed DemoPacket(std::string_view buf, size_t& used) {
        Parsed early = Parsed::Stop;
        const std::optional<std::string_view> taken = TakeDemoPacket(buf, used, early);
        if (!taken) return early;
        const std::string_view packet = *taken;
        const int32_t location = PacketLocationOf(packet);
        TActiveGameList* game = Game();
        if (game && LocationTooFar(*game, location)) return Parsed::Stop;
        // A payload the decompressor rejects raises here: the packet stays at
        // the front and is met again at every later data event.
        TVerifyOutcome outcome = VerifyDemoPayload(DemoPayloadOf(packet), PacketCheckOf(packet));
        int32_t ack = 1;
        if (outcome == TVerifyOutcome::Verified) {
            ack = 0;
            if (game) {
                // Too far was refused above; a negative location raises
                // EListError here and the sender stalls.
                game->StorePacketAt(location, packet, kTagDemoPacket);
                form_.ServerLogDebug([&] { return "Adding Demo at location " + std::to_string(location); });
            }
        }
        used = packet.size();
        form_.SendToSender(s_, BuildAckNak(ack));
        return Parsed::Handled;
    }

    Parsed DemoRestart(std::string_view buf, size_t& used) {
        Parsed early = Parsed::Stop;
        const std::optional<std::string_view> taken = TakeDemoPacket(buf, used, early);
        if (!taken) return early;
        const std::string_view packet = *taken;
        const int32_t location = PacketLocationOf(packet);
        TActiveGameList* game = Game();
        // Checked before the acknowledgement, so a refused restart is never
        // answered as accepted.
        if (game && LocationTooFar(*game, location)) return Parsed::Stop;
        form_.SendToSender(s_, BuildAckNak(0));
        if (game) {
            form_.ServerLogDebug([&] { return "Adding Restart at location " + std::to_string(location); });
            game->StorePacketAt(location, packet, kTagDemoRestart);
        }
        used = packet.size();
        return Parsed::Handled;
    }

    TMainForm& form_;
    TDemoSender& s_;
};

}  // namespace

void TMainForm::DemoSendersClientConnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& sender = static_cast<TDemoSender&>(client);
    ServerLog(false, "Cammer connecting: " + sender.PeerAddr());
    sender.OnDataAvailable = [this](TWSocketClient& c, uint16_t) {
        DemoSenderDataAvailable(static_cast<TDemoSender&>(c));
    };
    sender.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        SenderBgException(s, e, canClose);
    };
    sender.OnSendOverflow = [this](TWSocketClient& c, const std::string& reason) {
        ServerLog(false, "Cammer " + c.PeerAddr() + " is not reading: " + reason + "; connection closed");
    };
    if (!Games) return;
    ++GameIdCounter;
    TActiveGameList& game = Games->Add(&sender);
    game.SetIdentifier(GameIdCounter);
    sender.GameId = GameIdCounter;
    Console.AddGameRow(game.Identifier(), &sender, sender.PeerAddr());
}

void TMainForm::DemoSenderDataAvailable(TDemoSender& sender) {
    AppendReceived(sender.ReceiveBuffer, sender.ReceiveAll());
    size_t consumed = 0;
    try {
        SenderParser(*this, sender).Run(consumed);
    } catch (...) {
        // What was handled before the error stays consumed; the packet that
        // raised stays at the front.
        FinishParse(*this, sender, sender.ReceiveBuffer, consumed, "Cammer");
        throw;
    }
    FinishParse(*this, sender, sender.ReceiveBuffer, consumed, "Cammer");
}

void TMainForm::DemoSendersClientDisconnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& sender = static_cast<TDemoSender&>(client);
    ServerLog(false, "Cammer disconnecting: " + sender.PeerAddr());
    TActiveGameList* game = Games ? Games->FindBySender(&sender) : nullptr;
    if (!game) return;
    // The links go first: the object is destroyed after this handler even if
    // the broadcast below raises.
    game->SetSender(nullptr);
    Console.UnlinkGameRow(&sender);
    BroadcastGameInfo(*game);
}

void TMainForm::SendToSender(TDemoSender& sender, std::string_view packet) {
    if (sender.State() != wsConnected) return;
    ServerLogDebug([&] {
        return "Sent Sender [" + sender.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet))) + " Packet";
    });
    sender.Send(packet);
}

}  // namespace vistrel
