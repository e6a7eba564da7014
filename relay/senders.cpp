// Sender connections: a game opened per connection, the login with the
// filming password, and the parse loop over GAMEINFO, ACKNAK, SENDTEXT,
// DEMOPACKET and DEMORESTART.
#include <string>
#include <string_view>

#include "relay/demo_sender.h"
#include "core/demo_verify.h"
#include "relay/demo_viewer.h"
#include "core/game_list.h"
#include "relay/main_form.h"
#include "core/packet_framing.h"
#include "core/protocol.h"
#include "relay/receive_buffer.h"

namespace vistrel {

// Handles the packets at the front of one sender's receive buffer, each one
// whole (FramePacket has found where it ends).
class TMainForm::TSenderParser {
public:
    TSenderParser(TMainForm& form, TDemoSender& sender) : form_(form), s_(sender) {}

    // Handles packets from offset `consumed` on; advances it past each one.
    void Run(size_t& consumed) {
        for (;;) {
            const std::string_view buf = std::string_view(s_.ReceiveBuffer).substr(consumed);
            const TFrame frame = FramePacket(buf, TPort::Sender);
            if (frame.Status == TFrameStatus::Malformed) {
                // Nothing sound can be parsed behind it.
                form_.ServerLog(false, s_.PeerAddr() + " " + frame.Reason + "; connection closed");
                s_.Close();
                return;
            }
            // An unknown type stays at the front, and nothing behind it is
            // handled; the input bound closes a sender that goes on sending.
            if (frame.Status != TFrameStatus::Complete) return;
            const std::string_view packet = buf.substr(0, frame.Size);
            const int32_t type = PacketTypeOf(packet);
            form_.ServerLogDebug([&] {
                return "Sender [" + s_.UserName + "] sent us " + std::string(PacketLabel(type)) + " Packet";
            });
            bool handled = true;
            switch (type) {
                case PacketType::GAMEINFO: GameInfo(packet); break;
                case PacketType::ACKNAK: break;
                case PacketType::SENDTEXT: SendText(packet); break;
                case PacketType::DEMOPACKET: handled = DemoPacket(packet); break;
                case PacketType::DEMORESTART: handled = DemoRestart(packet); break;
            }
            // A packet not handled closed the sender: parsing stops there.
            if (!handled) return;
            consumed += frame.Size;
        }
    }

private:
    void GameInfo(std::string_view packet) {
        form_.SendToSender(s_, BuildAckNak(0));
        const std::string userName = GameInfoUserNameOf(packet);
        if (GameInfoPasswordOf(packet) != form_.setup_.FilmDemoPasswordEdit) {
            form_.ServerLog(false, s_.PeerAddr() + " using " + userName + " as name had invalid password for filming");
            // The disconnect follows later; whatever else this read holds is
            // still handled (and refused, if a filming password is set).
            s_.Close();
            return;
        }
        s_.LoggedIn = true;
        TActiveGameList* game = form_.games_ ? form_.games_->FindBySender(&s_) : nullptr;
        if (!game) return;
        game->SetGameType(GameInfoTypeOf(packet));
        game->SetMod(GameInfoModOf(packet));
        game->SetName(GameInfoGameNameOf(packet));
        s_.UserName = userName;
        const std::string label(GameLabel(game->GameType()));
        form_.console_.SetGameColumns(game->Identifier(), game->Name(), label, game->Mod(), {}, {}, s_.UserName);
        form_.ServerLog(false, s_.PeerAddr() + " camming a demo for " + label + " " + game->Mod());
        form_.BroadcastGameInfo(*game);
    }

    // With a filming password set, a sender that has not logged in reaches
    // nobody: its chat, demo and restart packets are consumed and refused.
    bool Refused() const { return !s_.LoggedIn && !form_.setup_.FilmDemoPasswordEdit.empty(); }

    void Refuse() {
        if (!s_.RefusalLogged) {
            s_.RefusalLogged = true;
            form_.ServerLog(false, s_.PeerAddr() + " sent packets without logging in for filming; they are refused");
        }
        form_.SendToSender(s_, BuildAckNak(1));
    }

    void SendText(std::string_view packet) {
        if (Refused()) {
            Refuse();
            return;
        }
        form_.SendToSender(s_, BuildAckNak(0));
        std::string text(packet);
        SetSendTextName(text, s_.UserName);
        const TSharedBytes relayed(text);
        for (TDemoViewer* viewer : form_.game_viewers_.Of(s_.GameId)) form_.SendToViewer(*viewer, relayed);
        form_.SendToSender(s_, relayed.View());
    }

    // A location that would open too many gaps: closed, nothing stored.
    bool LocationTooFar(const TActiveGameList& game, int32_t location) {
        if (!game.IsTooFar(location)) return false;
        form_.ServerLog(false, s_.PeerAddr() + " sent a packet for location " + std::to_string(location) +
                                   ", too far beyond the end of its demo; connection closed");
        s_.Close();
        return true;
    }

    TActiveGameList* Game() { return form_.games_ ? form_.games_->FindById(s_.GameId) : nullptr; }

    // Returns false when the sender was closed for the packet.
    bool DemoPacket(std::string_view packet) {
        if (Refused()) {
            Refuse();
            return true;
        }
        const int32_t location = PacketLocationOf(packet);
        TActiveGameList* game = Game();
        if (game && LocationTooFar(*game, location)) return false;
        // A payload the decompressor rejects raises here: the packet stays at
        // the front and is met again at every later data event.
        const TVerifyOutcome outcome = VerifyDemoPayload(DemoPayloadOf(packet), PacketCheckOf(packet));
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
        form_.SendToSender(s_, BuildAckNak(ack));
        return true;
    }

    bool DemoRestart(std::string_view packet) {
        if (Refused()) {
            Refuse();
            return true;
        }
        const int32_t location = PacketLocationOf(packet);
        TActiveGameList* game = Game();
        // Checked before the acknowledgement, so a refused restart is never
        // answered as accepted.
        if (game && LocationTooFar(*game, location)) return false;
        form_.SendToSender(s_, BuildAckNak(0));
        if (game) {
            form_.ServerLogDebug([&] { return "Adding Restart at location " + std::to_string(location); });
            game->StorePacketAt(location, packet, kTagDemoRestart);
        }
        return true;
    }

    TMainForm& form_;
    TDemoSender& s_;
};

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
    if (!games_) return;
    ++game_id_counter_;
    TActiveGameList& game = games_->Add(&sender);
    game.SetIdentifier(game_id_counter_);
    sender.GameId = game_id_counter_;
    console_.AddGameRow(game.Identifier(), &sender, sender.PeerAddr());
}

void TMainForm::DemoSenderDataAvailable(TDemoSender& sender) {
    TakeInput(sender, sender.ReceiveBuffer);
    size_t consumed = 0;
    try {
        TSenderParser(*this, sender).Run(consumed);
    } catch (...) {
        // What was handled before the error stays consumed; the packet that
        // raised stays at the front.
        FinishParse(sender, sender.ReceiveBuffer, consumed, "Cammer");
        throw;
    }
    FinishParse(sender, sender.ReceiveBuffer, consumed, "Cammer");
}

void TMainForm::DemoSendersClientDisconnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& sender = static_cast<TDemoSender&>(client);
    ServerLog(false, "Cammer disconnecting: " + sender.PeerAddr());
    ReleaseInput(sender.ReceiveBuffer);
    TActiveGameList* game = games_ ? games_->FindBySender(&sender) : nullptr;
    if (!game) return;
    // The links go first: the object is destroyed after this handler even if
    // the broadcast below raises.
    game->SetSender(nullptr);
    console_.UnlinkGameRow(&sender);
    BroadcastGameInfo(*game);
}

void TMainForm::SendToSender(TDemoSender& sender, std::string_view packet) {
    if (sender.State() != wsConnected) return;
    ServerLogDebug([&] {
        return "Sent Sender [" + sender.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet))) + " Packet";
    });
    sender.Send(packet);
    EnforceConnectionBudget();
}

}  // namespace vistrel
