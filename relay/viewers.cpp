// Viewer connections: the user-list row, the parse loop over ACKNAK,
// WAITFORGAME, SENDTEXT, LEAVEGAME and USERINFO with the notices each sends,
// and the disconnect.
#include <string>
#include <string_view>
#include <vector>

#include "core/game_list.h"
#include "core/packet_framing.h"
#include "core/protocol.h"
#include "relay/main_form.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"

namespace vistrel {

namespace {

// What a viewer's packets reach.
struct TViewerParts {
    TRelayGames& Games;
    TConsoleLists& Console;
    TRelayLog& Log;
    TRelayMetrics& Metrics;
    TWSocketServer& Viewers;
    TGameMembership& Membership;
    TSenderAnswers& Answers;
    TViewerOutput& Output;
    TChatRing& Chat;
};

// Handles the packets at the front of one viewer's receive buffer, each one
// whole (FramePacket has found where it ends), as long as the viewer's pace
// allows: a packet that must wait stays at the front and the viewer's reading
// is held until it may go.
class TViewerParser {
public:
    TViewerParser(const TViewerParts& parts, TDemoViewer& viewer, TEventLoop::Clock::time_point now)
        : parts_(parts), v_(viewer), now_(now) {}

    void Run(size_t& consumed) {
        for (;;) {
            const std::string_view buf = std::string_view(v_.ReceiveBuffer).substr(consumed);
            // Nothing on this port is malformed by its size; an unknown type
            // stays at the front for good.
            const TFrame frame = FramePacket(buf, TPort::Viewer);
            if (frame.Status != TFrameStatus::Complete) return;
            const std::string_view packet = buf.substr(0, frame.Size);
            const int32_t type = PacketTypeOf(packet);
            if (!Paced(type)) return;
            parts_.Metrics.Received(TConnectionKind::Viewer, type);
            parts_.Log.Debug([&] {
                return "Viewer [" + v_.UserName + "] sent us " + std::string(PacketLabel(type)) + " Packet";
            });
            switch (type) {
                case PacketType::ACKNAK: break;
                case PacketType::WAITFORGAME: WaitForGame(packet); break;
                case PacketType::SENDTEXT: SendText(packet); break;
                case PacketType::LEAVEGAME: LeaveGame(); break;
                case PacketType::USERINFO: UserInfo(packet); break;
            }
            consumed += frame.Size;
        }
    }

private:
    // Whether the packet may be handled now: a packet that makes the relay
    // write to other connections (or, for USERINFO, the whole games list)
    // takes one of the viewer's broadcasts. Without one, the viewer's reading
    // is held until the next is due, and false is returned.
    bool Paced(int32_t type) {
        const bool broadcast = type == PacketType::USERINFO || type == PacketType::WAITFORGAME ||
                               type == PacketType::LEAVEGAME || type == PacketType::SENDTEXT;
        if (!broadcast) return true;
        const TEventLoop::Clock::time_point ready = v_.Broadcasts.ReadyAt(kBroadcastRate, 1, now_);
        if (ready > now_) {
            v_.HoldReadingUntil(ready);
            return false;
        }
        v_.Broadcasts.Take(kBroadcastRate, 1, now_);
        return true;
    }

    TActiveGameList* FindGame(int32_t id) const { return parts_.Games.Find(id); }

    void WaitForGame(std::string_view packet) {
        parts_.Output.SendToViewer(v_, BuildAckNak(0));
        if (TActiveGameList* game = FindGame(WaitForGameIdOf(packet))) {
            // A viewer watches one game: moving to another (or joining the
            // same one again) first leaves the one it watches, so that game's
            // count and its viewers stay right.
            if (v_.GameId != 0) parts_.Membership.Leave(v_);
            // The join's wait for its first packet is timed from here.
            v_.JoinedAt = now_;
            v_.AwaitingFirstPacket = true;
            parts_.Membership.Join(v_, *game);
        }
    }

    void SendText(std::string_view packet) {
        parts_.Output.SendToViewer(v_, BuildAckNak(0));
        // Answered as any line is, so a muted viewer's program goes on as before.
        if (v_.Muted) return;
        std::string text(packet);
        SetSendTextName(text, v_.UserName);
        const TSharedBytes relayed(text);
        if (v_.GameId == 0) {
            // Viewers watching no game chat among themselves.
            TWSocketServer& viewers = parts_.Viewers;
            for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
                auto* other = static_cast<TDemoViewer*>(viewers.Client(i));
                if (other->GameId == 0) parts_.Output.SendToViewer(*other, relayed);
            }
        } else {
            parts_.Output.SendToGameViewers(v_.GameId, relayed);
        }
        if (TActiveGameList* game = FindGame(v_.GameId); game && game->Sender())
            parts_.Answers.SendToSender(static_cast<TDemoSender&>(*game->Sender()), relayed.View());
        parts_.Chat.Add(TChatOrigin::Viewer, v_.Seq, v_.GameId, relayed.View());
    }

    void LeaveGame() {
        parts_.Output.SendToViewer(v_, BuildAckNak(0));
        parts_.Membership.Leave(v_);
    }

    // Acted on at 32 bytes: the name, then every game's description.
    void UserInfo(std::string_view packet) {
        parts_.Output.SendToViewer(v_, BuildAckNak(0));
        v_.UserName = UserInfoNameOf(packet);
        parts_.Console.SetViewerName(&v_, v_.UserName);
        const TGameList* games = parts_.Games.List();
        if (!games) return;
        for (int32_t i = 0; i < games->Count(); ++i) {
            const TActiveGameList& game = games->At(i);
            parts_.Output.SendGameInfo(v_, game.Identifier(), TSharedBytes(BuildGameInfoDetailed(game)));
        }
    }

    const TViewerParts& parts_;
    TDemoViewer& v_;
    // The loop's clock at the start of the pass; the pace is judged by it.
    const TEventLoop::Clock::time_point now_;
};

}  // namespace

void TMainForm::DemoViewersClientConnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& viewer = static_cast<TDemoViewer&>(client);
    ServerLog(false, "Viewer connecting: " + viewer.PeerAddr());
    metrics_.Accepted(TConnectionKind::Viewer);
    // One viewer too many is sent the busy banner and closed by the server.
    if (demo_viewers_.MaxClients > 0 && demo_viewers_.ClientCount() > demo_viewers_.MaxClients)
        viewer.CloseReason = TCloseReason::Refused;
    viewer.GameId = 0;
    viewer.Position = 0;
    viewer.Seq = games_.NextViewerSeq();
    viewer.OnDataAvailable = [this](TWSocketClient& c, uint16_t) {
        auto& viewer = static_cast<TDemoViewer&>(c);
        const TViewerParts parts{games_,      console_, log_,    metrics_, demo_viewers_,
                                 membership_, answers_, output_, chat_};
        TViewerParser parser(parts, viewer, loop_.Now());
        input_.ReceiveAndParse(viewer, viewer.ReceiveBuffer, "Viewer", [&](size_t& consumed) { parser.Run(consumed); });
    };
    viewer.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        ViewerBgException(s, e, canClose);
    };
    viewer.OnSendOverflow = [this](TWSocketClient& c, const std::string& reason) {
        ServerLog(false, "Viewer " + c.PeerAddr() + " is not reading: " + reason + "; connection closed");
        static_cast<TDemoViewer&>(c).CloseReason = TCloseReason::SlowReader;
    };
    console_.AddViewerRow(&viewer, viewer.PeerAddr());
}


void TMainForm::DemoViewersClientDisconnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& viewer = static_cast<TDemoViewer&>(client);
    ServerLog(false, "Viewer disconnecting: " + viewer.PeerAddr());
    metrics_.Closed(TConnectionKind::Viewer, viewer.CloseReason);
    input_.Release(viewer.ReceiveBuffer);
    // The object is destroyed after this handler, whatever happens below:
    // no list may keep it.
    try {
        membership_.Disconnected(viewer);
    } catch (...) {
        console_.RemoveViewerRow(&viewer);
        throw;
    }
    console_.RemoveViewerRow(&viewer);
}

}  // namespace vistrel
