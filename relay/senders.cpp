// Sender connections: a game opened per connection, the login with the
// filming password, the parse loop over GAMEINFO, ACKNAK, SENDTEXT,
// DEMOPACKET and DEMORESTART with its pacing, and the disconnect.
#include <algorithm>
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
// whole (FramePacket has found where it ends), as long as the sender's pace
// allows: a packet that must wait stays at the front and the sender's reading
// is held until it may go.
class TMainForm::TSenderParser {
public:
    TSenderParser(TMainForm& form, TDemoSender& sender) : form_(form), s_(sender), now_(form.loop_.Now()) {}

    // Handles packets from offset `consumed` on; advances it past each one.
    void Run(size_t& consumed) {
        for (;;) {
            const std::string_view buf = std::string_view(s_.ReceiveBuffer).substr(consumed);
            const TFrame frame = FramePacket(buf, TPort::Sender);
            if (frame.Status == TFrameStatus::Malformed) {
                // Nothing sound can be parsed behind it.
                form_.ServerLog(false, s_.PeerAddr() + " " + frame.Reason + "; connection closed");
                s_.CloseReason = TCloseReason::BoundExceeded;
                s_.Close();
                return;
            }
            // An unknown type stays at the front, and nothing behind it is
            // handled; the input bound closes a sender that goes on sending.
            if (frame.Status != TFrameStatus::Complete) return;
            const std::string_view packet = buf.substr(0, frame.Size);
            const int32_t type = PacketTypeOf(packet);
            if (s_.HeldAnswers.size() >= kMaxHeldAnswers) {
                // Its answers wait for the disk: so does its next packet.
                s_.HoldReadingUntil(now_ + kHeldAnswersPause);
                return;
            }
            if (!Paced(type)) return;
            form_.metrics_.Received(TConnectionKind::Sender, type);
            form_.ServerLogDebug([&] {
                return "Sender [" + s_.UserName + "] sent us " + std::string(PacketLabel(type)) + " Packet";
            });
            if (type == PacketType::DEMOPACKET) {
                // Consumed by the handler itself, as soon as its payload has
                // been checked.
                if (!DemoPacket(packet, consumed)) return;
                continue;
            }
            bool handled = true;
            switch (type) {
                case PacketType::GAMEINFO: GameInfo(packet); break;
                case PacketType::ACKNAK: break;
                case PacketType::SENDTEXT: SendText(packet); break;
                case PacketType::DEMORESTART: handled = DemoRestart(packet); break;
            }
            // A packet not handled closed the sender: parsing stops there.
            if (!handled) return;
            consumed += frame.Size;
        }
    }

private:
    using TimePoint = TEventLoop::Clock::time_point;

    // Whether the packet may be handled now. No packet goes while the
    // sender's payload checks are over their rate, and a packet that reaches
    // other connections takes one of its broadcasts. Otherwise the sender's
    // reading is held until the packet may go, and false is returned.
    bool Paced(int32_t type) {
        const bool broadcast = type == PacketType::GAMEINFO || type == PacketType::SENDTEXT;
        TimePoint ready = s_.Inflation.ReadyAt(kInflateRate, 0, now_);
        if (broadcast) ready = std::max(ready, s_.Broadcasts.ReadyAt(kBroadcastRate, 1, now_));
        if (ready > now_) {
            s_.HoldReadingUntil(ready);
            return false;
        }
        if (broadcast) s_.Broadcasts.Take(kBroadcastRate, 1, now_);
        return true;
    }

    void GameInfo(std::string_view packet) {
        form_.SendToSender(s_, BuildAckNak(0));
        const std::string userName = GameInfoUserNameOf(packet);
        if (GameInfoPasswordOf(packet) != form_.setup_.FilmDemoPasswordEdit) {
            form_.ServerLog(false, s_.PeerAddr() + " using " + userName + " as name had invalid password for filming");
            // The disconnect follows later; whatever else this read holds is
            // still handled (and refused, if a filming password is set).
            s_.CloseReason = TCloseReason::Refused;
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
        game->SetSenderName(userName);
        const std::string label(GameLabel(game->GameType()));
        form_.console_.SetGameColumns(game->Identifier(),
                                      {.Name = game->Name(), .Label = label, .Mod = game->Mod(), .Sender = s_.UserName});
        form_.ServerLog(false, s_.PeerAddr() + " camming a demo for " + label + " " + game->Mod());
        form_.RecordDescription(s_, *game);
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

    // Once the stored games fill the memory budget nothing more is stored:
    // demo and restart packets are answered ACKNAK 1, with one line per
    // connection.
    bool OverBudget() {
        if (!form_.StoredGamesFillBudgetAfterPaging()) return false;
        if (!s_.BudgetRefusalLogged) {
            s_.BudgetRefusalLogged = true;
            form_.ServerLog(false, s_.PeerAddr() + " sent packets while the stored games fill the memory budget of " +
                                       std::to_string(form_.memory_budget_.Stored) + " bytes; they are refused");
        }
        form_.SendToSender(s_, BuildAckNak(1));
        return true;
    }

    // Once the recordings fill the folder's limit (--max-disk) nothing more
    // is stored: demo and restart packets are answered ACKNAK 1, with one
    // line per connection.
    bool OverDiskLimit() {
        if (!form_.RecordingsFillDisk()) return false;
        if (!s_.DiskRefusalLogged) {
            s_.DiskRefusalLogged = true;
            form_.ServerLog(false, s_.PeerAddr() + " sent packets while the recordings fill the disk limit of " +
                                       std::to_string(form_.recording_.MaxDisk) + " bytes; they are refused");
        }
        form_.SendToSender(s_, BuildAckNak(1));
        return true;
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

    // A location its demo cannot take: before the start, too far beyond the
    // end, or one that would leave the demo missing too many locations. The
    // sender is closed with a log line; nothing is stored or acknowledged.
    bool LocationRefused(const TActiveGameList* game, int32_t location) {
        const TLocationCheck check = location < 0 ? TLocationCheck::Negative
                                     : game       ? game->CheckLocation(location)
                                                  : TLocationCheck::Fits;
        std::string why;
        switch (check) {
            case TLocationCheck::Fits: return false;
            case TLocationCheck::Negative: why = "before the start of its demo"; break;
            case TLocationCheck::TooFar: why = "too far beyond the end of its demo"; break;
            case TLocationCheck::TooManyGaps:
                why = "which would leave its demo with more than " + std::to_string(kMaxMissingLocations) +
                      " missing locations";
                break;
        }
        form_.ServerLog(false, s_.PeerAddr() + " sent a packet for location " + std::to_string(location) + ", " +
                                   why + "; connection closed");
        s_.CloseReason = TCloseReason::BoundExceeded;
        s_.Close();
        return true;
    }

    TActiveGameList* Game() { return form_.games_ ? form_.games_->FindById(s_.GameId) : nullptr; }

    // Advances consumed past the packet once it is answered, or, for a
    // checked payload, as soon as the check is done: whatever happens after,
    // no payload is checked twice. Returns false when the sender was closed
    // for the packet.
    bool DemoPacket(std::string_view packet, size_t& consumed) {
        if (Refused()) {
            form_.metrics_.Checked(TDemoCheck::Refused);
            Refuse();
            consumed += packet.size();
            return true;
        }
        const int32_t location = PacketLocationOf(packet);
        TActiveGameList* game = Game();
        if (LocationRefused(game, location)) return false;
        if (OverBudget()) {
            form_.metrics_.Checked(TDemoCheck::OverBudget);
            consumed += packet.size();
            return true;
        }
        if (OverDiskLimit()) {
            form_.metrics_.Checked(TDemoCheck::OverDiskLimit);
            consumed += packet.size();
            return true;
        }
        // Bounded work: the check stops past kMaxInflatedPayload of output.
        // A payload that fails it in any way (mismatch, too large, not a zlib
        // stream) is answered ACKNAK 1 and dropped; the connection goes on.
        const TVerifyReport report = CheckDemoPayload(DemoPayloadOf(packet), PacketCheckOf(packet));
        consumed += packet.size();
        ++form_.payload_checks_;
        s_.Inflation.Take(kInflateRate, report.Inflated, now_);
        int32_t ack = 1;
        uint64_t durableAt = 0;
        if (report.Outcome == TVerifyOutcome::Verified) {
            ack = 0;
            // Written first, stored after: what the relay holds in memory
            // is always in the file too, and a packet whose record could
            // not be written is neither stored nor acknowledged.
            if (game && !form_.RecordPacket(s_, *game, location, packet, durableAt)) {
                ack = 1;
                form_.metrics_.Checked(TDemoCheck::NotWritten);
            } else {
                form_.metrics_.Checked(TDemoCheck::Verified);
                if (game) {
                    game->StorePacketAt(location, packet, kTagDemoPacket);
                    form_.ServerLogDebug([&] { return "Adding Demo at location " + std::to_string(location); });
                }
            }
        } else {
            form_.metrics_.Checked(DemoCheckOf(report.Outcome));
            form_.ServerLogDebug([&] {
                return "Refused Demo at location " + std::to_string(location) + ": " +
                       std::string(VerifyOutcomeName(report.Outcome)) +
                       (report.ErrorText.empty() ? std::string() : " (" + report.ErrorText + ")");
            });
        }
        form_.AnswerWhenDurable(s_, durableAt, BuildAckNak(ack));
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
        if (LocationRefused(game, location)) return false;
        if (OverBudget() || OverDiskLimit()) return true;
        uint64_t durableAt = 0;
        if (game && !form_.RecordPacket(s_, *game, location, packet, durableAt)) {
            form_.SendToSender(s_, BuildAckNak(1));
            return true;
        }
        if (game) {
            form_.ServerLogDebug([&] { return "Adding Restart at location " + std::to_string(location); });
            game->StorePacketAt(location, packet, kTagDemoRestart);
        }
        form_.AnswerWhenDurable(s_, durableAt, BuildAckNak(0));
        return true;
    }

    TMainForm& form_;
    TDemoSender& s_;
    // The loop's clock at the start of the pass; the pace is judged by it.
    const TimePoint now_;
};

void TMainForm::DemoSendersClientConnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& sender = static_cast<TDemoSender&>(client);
    ServerLog(false, "Cammer connecting: " + sender.PeerAddr());
    metrics_.Accepted(TConnectionKind::Sender);
    sender.OnDataAvailable = [this](TWSocketClient& c, uint16_t) {
        DemoSenderDataAvailable(static_cast<TDemoSender&>(c));
    };
    sender.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        SenderBgException(s, e, canClose);
    };
    sender.OnSendOverflow = [this](TWSocketClient& c, const std::string& reason) {
        ServerLog(false, "Cammer " + c.PeerAddr() + " is not reading: " + reason + "; connection closed");
        static_cast<TDemoSender&>(c).CloseReason = TCloseReason::SlowReader;
    };
    if (!games_) return;
    if (RecordingsFillDisk()) {
        ServerLog(false, sender.PeerAddr() + " connected while the recordings fill the disk limit of " +
                             std::to_string(recording_.MaxDisk) + " bytes; connection closed");
        sender.SendBanner(demo_senders_.Banner);
        sender.CloseReason = TCloseReason::Refused;
        sender.Close();
        return;
    }
    if (StoredGamesFillBudgetAfterPaging()) {
        // Greeted, so the camera program learns it reached a relay, then
        // closed before any game is opened for it.
        ServerLog(false, sender.PeerAddr() + " connected while the stored games fill the memory budget of " +
                             std::to_string(memory_budget_.Stored) + " bytes; connection closed");
        sender.SendBanner(demo_senders_.Banner);
        sender.CloseReason = TCloseReason::Refused;
        sender.Close();
        return;
    }
    ++game_id_counter_;
    TActiveGameList& game = games_->Add(&sender);
    game.SetIdentifier(game_id_counter_);
    game.SetSenderAddr(sender.PeerAddr());
    sender.GameId = game_id_counter_;
    console_.AddGameRow(game.Identifier(), &sender, sender.PeerAddr());
    RecordNewGame(game);
}

void TMainForm::DemoSenderDataAvailable(TDemoSender& sender) {
    // What was handled before an error stays consumed; the packet that
    // raised stays at the front.
    TSenderParser parser(*this, sender);
    ReceiveAndParse(sender, sender.ReceiveBuffer, "Cammer", [&](size_t& consumed) { parser.Run(consumed); });
}

void TMainForm::DemoSendersClientDisconnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& sender = static_cast<TDemoSender&>(client);
    ServerLog(false, "Cammer disconnecting: " + sender.PeerAddr());
    metrics_.Closed(TConnectionKind::Sender, sender.CloseReason);
    ReleaseInput(sender.ReceiveBuffer);
    TActiveGameList* game = games_ ? games_->FindBySender(&sender) : nullptr;
    if (!game) return;
    // The links go first: the object is destroyed after this handler even if
    // what follows raises.
    game->SetSender(nullptr);
    console_.UnlinkGameRow(&sender);
    // With a filming password, a stranger that never logged in leaves no
    // game behind, unless something made it worth keeping: a stored packet
    // or a viewer.
    const int32_t id = game->Identifier();
    if (!sender.LoggedIn && !setup_.FilmDemoPasswordEdit.empty() && game->Count() == 0 && game->Viewers() == 0 &&
        game_viewers_.Of(id).empty()) {
        ServerLog(false, sender.PeerAddr() + " left without logging in for filming; its empty game " +
                             std::to_string(id) + " is removed");
        RemoveGame(games_->IndexOfId(id), console_.IndexOfGameRow(id));
        return;
    }
    BroadcastGameInfo(*game);
}

void TMainForm::SendToSender(TDemoSender& sender, std::string_view packet) {
    if (sender.State() != wsConnected) return;
    if (!sender.HeldAnswers.empty()) {
        // Behind an answer that waits for the disk.
        sender.HeldAnswers.emplace_back(0, std::string(packet));
        return;
    }
    SendToSenderNow(sender, packet);
}

void TMainForm::SendToSenderNow(TDemoSender& sender, std::string_view packet) {
    if (sender.State() != wsConnected) return;
    ServerLogDebug([&] {
        return "Sent Sender [" + sender.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet))) + " Packet";
    });
    sender.Send(packet);
    metrics_.Sent(TConnectionKind::Sender, packet.size());
    EnforceConnectionBudget();
}

}  // namespace vistrel
