// Sender connections: a game opened per connection, the login with the
// filming password, the parse loop over GAMEINFO, ACKNAK, SENDTEXT,
// DEMOPACKET and DEMORESTART with its pacing, and the disconnect.
#include <algorithm>
#include <string>
#include <string_view>

#include "core/demo_verify.h"
#include "core/game_list.h"
#include "core/packet_framing.h"
#include "core/protocol.h"
#include "relay/main_form.h"
#include "relay/close_reason.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"

namespace vistrel {

namespace {

// What a sender's packets reach.
struct TSenderParts {
    const TSetupFields& Setup;
    TRelayGames& Games;
    TConsoleLists& Console;
    TRelayLog& Log;
    TRelayMetrics& Metrics;
    TGameRecording& Recording;
    TPager& Pager;
    TSenderAnswers& Answers;
    TViewerOutput& Output;
    TDescriptionPacer& Descriptions;
    TBroadcastDelay& Delay;
    const TMemoryBudget& Budget;
};

// Handles the packets at the front of one sender's receive buffer, each one
// whole (FramePacket has found where it ends), as long as the sender's pace
// allows: a packet that must wait stays at the front and the sender's reading
// is held until it may go.
class TSenderParser {
public:
    TSenderParser(const TSenderParts& parts, TDemoSender& sender, TEventLoop::Clock::time_point now)
        : parts_(parts), s_(sender), now_(now) {}

    // Handles packets from offset `consumed` on; advances it past each one.
    void Run(size_t& consumed) {
        for (;;) {
            const std::string_view buf = std::string_view(s_.ReceiveBuffer).substr(consumed);
            const TFrame frame = FramePacket(buf, TPort::Sender);
            if (frame.Status == TFrameStatus::Malformed) {
                // Nothing sound can be parsed behind it.
                parts_.Log.Line(s_.PeerAddr() + " " + frame.Reason + "; connection closed");
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
            parts_.Metrics.Received(TConnectionKind::Sender, type);
            parts_.Log.Debug([&] {
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
        parts_.Answers.SendToSender(s_, BuildAckNak(0));
        const std::string userName = GameInfoUserNameOf(packet);
        if (GameInfoPasswordOf(packet) != parts_.Setup.FilmDemoPasswordEdit) {
            parts_.Log.Line(s_.PeerAddr() + " using " + userName + " as name had invalid password for filming");
            // The disconnect follows later; whatever else this read holds is
            // still handled (and refused, if a filming password is set).
            s_.CloseReason = TCloseReason::Refused;
            s_.CloseAfterLastWords();
            return;
        }
        s_.LoggedIn = true;
        TActiveGameList* game = parts_.Games.List() ? parts_.Games.List()->FindBySender(&s_) : nullptr;
        if (!game) return;
        game->SetGameType(GameInfoTypeOf(packet));
        game->SetMod(GameInfoModOf(packet));
        game->SetName(GameInfoGameNameOf(packet));
        s_.UserName = userName;
        game->SetSenderName(userName);
        const std::string label(GameLabel(game->GameType()));
        parts_.Console.SetGameColumns(game->Identifier(),
                                      {.Name = game->Name(), .Label = label, .Mod = game->Mod(), .Sender = s_.UserName});
        parts_.Log.Line(s_.PeerAddr() + " camming a demo for " + label + " " + game->Mod());
        parts_.Recording.RecordDescription(s_, *game);
        parts_.Descriptions.BroadcastGameInfo(*game);
    }

    // With a filming password set, a sender that has not logged in reaches
    // nobody: its chat, demo and restart packets are consumed and refused.
    bool Refused() const { return !s_.LoggedIn && !parts_.Setup.FilmDemoPasswordEdit.empty(); }

    void Refuse() {
        if (!s_.RefusalLogged) {
            s_.RefusalLogged = true;
            parts_.Log.Line(s_.PeerAddr() + " sent packets without logging in for filming; they are refused");
        }
        parts_.Answers.SendToSender(s_, BuildAckNak(1));
    }

    // Once the stored games fill the memory budget nothing more is stored:
    // demo and restart packets are answered ACKNAK 1, with one line per
    // connection.
    bool OverBudget() {
        if (!parts_.Pager.StoredGamesFillBudgetAfterPaging()) return false;
        if (!s_.BudgetRefusalLogged) {
            s_.BudgetRefusalLogged = true;
            parts_.Log.Line(s_.PeerAddr() + " sent packets while the stored games fill the memory budget of " +
                                       std::to_string(parts_.Budget.Stored) + " bytes; they are refused");
        }
        parts_.Answers.SendToSender(s_, BuildAckNak(1));
        return true;
    }

    // Once the recordings fill the folder's limit (--max-disk) nothing more
    // is stored: demo and restart packets are answered ACKNAK 1, with one
    // line per connection.
    bool OverDiskLimit() {
        if (!parts_.Recording.FillsDisk()) return false;
        if (!s_.DiskRefusalLogged) {
            s_.DiskRefusalLogged = true;
            parts_.Log.Line(s_.PeerAddr() + " sent packets while the recordings fill the disk limit of " +
                                       std::to_string(parts_.Recording.Options().MaxDisk) + " bytes; they are refused");
        }
        parts_.Answers.SendToSender(s_, BuildAckNak(1));
        return true;
    }

    void SendText(std::string_view packet) {
        if (Refused()) {
            Refuse();
            return;
        }
        parts_.Answers.SendToSender(s_, BuildAckNak(0));
        std::string text(packet);
        SetSendTextName(text, s_.UserName);
        const TSharedBytes relayed(text);
        // The game's chat is part of the broadcast: delayed with its packets.
        parts_.Delay.RelayChat(s_.GameId, relayed);
        parts_.Answers.SendToSender(s_, relayed.View());
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
        parts_.Log.Line(s_.PeerAddr() + " sent a packet for location " + std::to_string(location) + ", " +
                                   why + "; connection closed");
        s_.CloseReason = TCloseReason::BoundExceeded;
        s_.Close();
        return true;
    }

    TActiveGameList* Game() { return parts_.Games.Find(s_.GameId); }

    // Advances consumed past the packet once it is answered, or, for a
    // checked payload, as soon as the check is done: whatever happens after,
    // no payload is checked twice. Returns false when the sender was closed
    // for the packet.
    bool DemoPacket(std::string_view packet, size_t& consumed) {
        if (Refused()) {
            parts_.Metrics.Checked(TDemoCheck::Refused);
            Refuse();
            consumed += packet.size();
            return true;
        }
        const int32_t location = PacketLocationOf(packet);
        TActiveGameList* game = Game();
        if (LocationRefused(game, location)) return false;
        if (OverBudget()) {
            parts_.Metrics.Checked(TDemoCheck::OverBudget);
            consumed += packet.size();
            return true;
        }
        if (OverDiskLimit()) {
            parts_.Metrics.Checked(TDemoCheck::OverDiskLimit);
            consumed += packet.size();
            return true;
        }
        // Bounded work: the check stops past kMaxInflatedPayload of output.
        // A payload that fails it in any way (mismatch, too large, not a zlib
        // stream) is answered ACKNAK 1 and dropped; the connection goes on.
        const TVerifyReport report = CheckDemoPayload(DemoPayloadOf(packet), PacketCheckOf(packet));
        consumed += packet.size();
        ++parts_.Metrics.PayloadChecks;
        s_.Inflation.Take(kInflateRate, report.Inflated, now_);
        int32_t ack = 1;
        uint64_t durableAt = 0;
        if (report.Outcome == TVerifyOutcome::Verified) {
            ack = 0;
            // Written first, stored after: what the relay holds in memory
            // is always in the file too, and a packet whose record could
            // not be written is neither stored nor acknowledged.
            const int64_t ackMs = parts_.Delay.NowMs();
            if (game && !parts_.Recording.RecordPacket(s_, *game, location, packet, ackMs, durableAt)) {
                ack = 1;
                parts_.Metrics.Checked(TDemoCheck::NotWritten);
            } else {
                parts_.Metrics.Checked(TDemoCheck::Verified);
                if (game) {
                    game->StorePacketAt(location, packet, kTagDemoPacket, ackMs);
                    parts_.Log.Debug([&] { return "Adding Demo at location " + std::to_string(location); });
                }
            }
        } else {
            parts_.Metrics.Checked(DemoCheckOf(report.Outcome));
            parts_.Log.Debug([&] {
                return "Refused Demo at location " + std::to_string(location) + ": " +
                       std::string(VerifyOutcomeName(report.Outcome)) +
                       (report.ErrorText.empty() ? std::string() : " (" + report.ErrorText + ")");
            });
        }
        parts_.Answers.AnswerWhenDurable(s_, durableAt, BuildAckNak(ack));
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
        const int64_t ackMs = parts_.Delay.NowMs();
        if (game && !parts_.Recording.RecordPacket(s_, *game, location, packet, ackMs, durableAt)) {
            parts_.Answers.SendToSender(s_, BuildAckNak(1));
            return true;
        }
        if (game) {
            parts_.Log.Debug([&] { return "Adding Restart at location " + std::to_string(location); });
            game->StorePacketAt(location, packet, kTagDemoRestart, ackMs);
        }
        parts_.Answers.AnswerWhenDurable(s_, durableAt, BuildAckNak(0));
        return true;
    }

    const TSenderParts& parts_;
    TDemoSender& s_;
    // The loop's clock at the start of the pass; the pace is judged by it.
    const TimePoint now_;
};

}  // namespace

void TMainForm::DemoSendersClientConnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& sender = static_cast<TDemoSender&>(client);
    ServerLog(false, "Cammer connecting: " + sender.PeerAddr());
    metrics_.Accepted(TConnectionKind::Sender);
    sender.OnDataAvailable = [this](TWSocketClient& c, uint16_t) {
        auto& sender = static_cast<TDemoSender&>(c);
        // What was handled before an error stays consumed; the packet that
        // raised stays at the front.
        const TSenderParts parts{setup_, games_,   console_, log_,          metrics_, recording_,
                                 pager_, answers_, output_,  descriptions_, delay_,   memory_budget_};
        TSenderParser parser(parts, sender, loop_.Now());
        input_.ReceiveAndParse(sender, sender.ReceiveBuffer, "Cammer", [&](size_t& consumed) { parser.Run(consumed); });
    };
    sender.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        SenderBgException(s, e, canClose);
    };
    sender.OnSendOverflow = [this](TWSocketClient& c, const std::string& reason) {
        ServerLog(false, "Cammer " + c.PeerAddr() + " is not reading: " + reason + "; connection closed");
        static_cast<TDemoSender&>(c).CloseReason = TCloseReason::SlowReader;
    };
    TGameList* games = games_.List();
    if (!games) return;
    if (recording_.FillsDisk()) {
        ServerLog(false, sender.PeerAddr() + " connected while the recordings fill the disk limit of " +
                             std::to_string(recording_.Options().MaxDisk) + " bytes; connection closed");
        sender.SendBanner(demo_senders_.Banner);
        sender.CloseReason = TCloseReason::Refused;
        sender.CloseAfterLastWords();
        return;
    }
    if (pager_.StoredGamesFillBudgetAfterPaging()) {
        // Greeted, so the camera program learns it reached a relay, then
        // closed before any game is opened for it.
        ServerLog(false, sender.PeerAddr() + " connected while the stored games fill the memory budget of " +
                             std::to_string(memory_budget_.Stored) + " bytes; connection closed");
        sender.SendBanner(demo_senders_.Banner);
        sender.CloseReason = TCloseReason::Refused;
        sender.CloseAfterLastWords();
        return;
    }
    const int32_t id = games_.NextId();
    TActiveGameList& game = games->Add(&sender);
    game.SetIdentifier(id);
    game.SetSenderAddr(sender.PeerAddr());
    sender.GameId = id;
    console_.AddGameRow(game.Identifier(), &sender, sender.PeerAddr());
    recording_.RecordNewGame(game);
}


void TMainForm::DemoSendersClientDisconnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& sender = static_cast<TDemoSender&>(client);
    ServerLog(false, "Cammer disconnecting: " + sender.PeerAddr());
    metrics_.Closed(TConnectionKind::Sender, sender.CloseReason);
    input_.Release(sender.ReceiveBuffer);
    TActiveGameList* game = games_.List() ? games_.List()->FindBySender(&sender) : nullptr;
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
        games_.Viewers().Of(id).empty()) {
        ServerLog(false, sender.PeerAddr() + " left without logging in for filming; its empty game " +
                             std::to_string(id) + " is removed");
        DeleteGame(id);
        return;
    }
    descriptions_.BroadcastGameInfo(*game);
}

}  // namespace vistrel
