// Viewer connections: the user-list row, the parse loop over ACKNAK,
// WAITFORGAME, SENDTEXT, LEAVEGAME and USERINFO with the notices each sends,
// the disconnect, and the sending operations towards viewers.
#include <string>
#include <string_view>
#include <vector>

#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "core/game_list.h"
#include "relay/main_form.h"
#include "core/packet_framing.h"
#include "core/protocol.h"
#include "relay/receive_buffer.h"

namespace vistrel {

namespace {

// Tells the game (its viewers and its sender) that `name` has gone.
void AnnounceLeave(TMainForm& form, TActiveGameList& game, const std::string& name) {
    form.SendToGame(game.Identifier(), BuildNotice(name + " left"));
    form.SendToGame(game.Identifier(), BuildUserLeft(name));
}

}  // namespace

void TMainForm::ShowViewerCount(const TActiveGameList& game) {
    console_.SetGameColumns(game.Identifier(), {.Users = std::to_string(game.Viewers())});
}

// Handles the packets at the front of one viewer's receive buffer, each one
// whole (FramePacket has found where it ends), as long as the viewer's pace
// allows: a packet that must wait stays at the front and the viewer's reading
// is held until it may go.
class TMainForm::TViewerParser {
public:
    TViewerParser(TMainForm& form, TDemoViewer& viewer) : form_(form), v_(viewer), now_(form.loop_.Now()) {}

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
            form_.metrics_.Received(TConnectionKind::Viewer, type);
            form_.ServerLogDebug([&] {
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

    TActiveGameList* FindGame(int32_t id) const { return form_.games_ ? form_.games_->FindById(id) : nullptr; }

    void WaitForGame(std::string_view packet) {
        form_.SendToViewer(v_, BuildAckNak(0));
        if (TActiveGameList* game = FindGame(WaitForGameIdOf(packet))) {
            // A viewer watches one game: moving to another (or joining the
            // same one again) first leaves the one it watches, so that game's
            // count and its viewers stay right.
            if (v_.GameId != 0) form_.LeaveWatchedGame(v_);
            Join(*game);
        }
    }

    void Join(TActiveGameList& game) {
        const int32_t id = game.Identifier();
        game.SetViewers(game.Viewers() + 1);
        form_.ShowViewerCount(game);
        v_.GameId = id;
        form_.game_viewers_.Add(id, v_);
        // A game released from memory: its first packets are read back now,
        // so the next tick finds them and the viewer's first packet does not
        // wait a tick for the disk.
        if (game.PagedOutCount() > 0) form_.PageAhead(game, v_.Position);
        form_.ServerLog(false, v_.PeerAddr() + " joined game " + std::to_string(id));
        form_.SendToGame(id, BuildNotice(v_.UserName + " entered"));
        form_.SendToGame(id, BuildUserEntered(v_.UserName));
        for (TDemoViewer* other : form_.game_viewers_.Of(id))
            if (other != &v_) form_.SendToViewer(v_, BuildUserEntered(other->UserName));
        form_.BroadcastGameInfo(game);
    }

    void SendText(std::string_view packet) {
        form_.SendToViewer(v_, BuildAckNak(0));
        std::string text(packet);
        SetSendTextName(text, v_.UserName);
        const TSharedBytes relayed(text);
        if (v_.GameId == 0) {
            // Viewers watching no game chat among themselves.
            TWSocketServer& viewers = form_.demo_viewers_;
            for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
                auto* other = static_cast<TDemoViewer*>(viewers.Client(i));
                if (other->GameId == 0) form_.SendToViewer(*other, relayed);
            }
        } else {
            for (TDemoViewer* other : form_.game_viewers_.Of(v_.GameId)) form_.SendToViewer(*other, relayed);
        }
        if (TActiveGameList* game = FindGame(v_.GameId); game && game->Sender())
            form_.SendToSender(static_cast<TDemoSender&>(*game->Sender()), relayed.View());
    }

    void LeaveGame() {
        form_.SendToViewer(v_, BuildAckNak(0));
        form_.LeaveWatchedGame(v_);
    }

    // Acted on at 32 bytes: the name, then every game's description.
    void UserInfo(std::string_view packet) {
        form_.SendToViewer(v_, BuildAckNak(0));
        v_.UserName = UserInfoNameOf(packet);
        form_.console_.SetViewerName(&v_, v_.UserName);
        if (!form_.games_) return;
        for (int32_t i = 0; i < form_.games_->Count(); ++i) {
            const TActiveGameList& game = form_.games_->At(i);
            form_.SendGameInfo(v_, game.Identifier(), TSharedBytes(BuildGameInfoDetailed(game)));
        }
    }

    TMainForm& form_;
    TDemoViewer& v_;
    // The loop's clock at the start of the pass; the pace is judged by it.
    const TEventLoop::Clock::time_point now_;
};

void TMainForm::DemoViewersClientConnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& viewer = static_cast<TDemoViewer&>(client);
    ServerLog(false, "Viewer connecting: " + viewer.PeerAddr());
    metrics_.Accepted(TConnectionKind::Viewer);
    // One viewer too many is sent the busy banner and closed by the server.
    if (demo_viewers_.MaxClients > 0 && demo_viewers_.ClientCount() > demo_viewers_.MaxClients)
        viewer.CloseReason = TCloseReason::Refused;
    viewer.GameId = 0;
    viewer.Position = 0;
    viewer.Seq = ++viewer_seq_counter_;
    viewer.OnDataAvailable = [this](TWSocketClient& c, uint16_t) {
        DemoViewerDataAvailable(static_cast<TDemoViewer&>(c));
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

void TMainForm::DemoViewerDataAvailable(TDemoViewer& viewer) {
    TViewerParser parser(*this, viewer);
    ReceiveAndParse(viewer, viewer.ReceiveBuffer, "Viewer", [&](size_t& consumed) { parser.Run(consumed); });
}

void TMainForm::LeaveWatchedGame(TDemoViewer& viewer) {
    TActiveGameList* game = games_ ? games_->FindById(viewer.GameId) : nullptr;
    if (!game) return;
    const int32_t id = game->Identifier();
    game->SetViewers(game->Viewers() - 1);
    ShowViewerCount(*game);
    ServerLog(false, viewer.PeerAddr() + " left game " + std::to_string(id));
    // The leaving viewer is still listed, so it hears its own leave too.
    AnnounceLeave(*this, *game, viewer.UserName);
    game_viewers_.Remove(id, viewer);
    viewer.GameId = 0;
    viewer.Position = 0;
    BroadcastGameInfo(*game);
}

void TMainForm::DemoViewersClientDisconnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& viewer = static_cast<TDemoViewer&>(client);
    ServerLog(false, "Viewer disconnecting: " + viewer.PeerAddr());
    metrics_.Closed(TConnectionKind::Viewer, viewer.CloseReason);
    ReleaseInput(viewer.ReceiveBuffer);
    // The object is destroyed after this handler, whatever happens below:
    // no list may keep it.
    game_viewers_.Remove(viewer.GameId, viewer);
    try {
        if (TActiveGameList* game = games_ ? games_->FindById(viewer.GameId) : nullptr) {
            game->SetViewers(game->Viewers() - 1);
            ShowViewerCount(*game);
            AnnounceLeave(*this, *game, viewer.UserName);
            BroadcastGameInfo(*game);
        }
    } catch (...) {
        console_.RemoveViewerRow(&viewer);
        throw;
    }
    console_.RemoveViewerRow(&viewer);
}

void TMainForm::SendToViewer(TDemoViewer& viewer, std::string_view packet) {
    if (viewer.State() != wsConnected) return;
    ServerLogDebug([&] {
        return "Sent Viewer [" + viewer.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet))) + " Packet";
    });
    viewer.Send(packet);
    metrics_.Sent(TConnectionKind::Viewer, packet.size());
    EnforceConnectionBudget();
}

void TMainForm::SendToViewer(TDemoViewer& viewer, const TSharedBytes& packet) {
    if (viewer.State() != wsConnected) return;
    ServerLogDebug([&] {
        return "Sent Viewer [" + viewer.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet.View()))) + " Packet";
    });
    viewer.SendShared(packet);
    metrics_.Sent(TConnectionKind::Viewer, packet.Size());
    EnforceConnectionBudget();
}

void TMainForm::SendGameInfo(TDemoViewer& viewer, int32_t gameId, const TSharedBytes& packet) {
    if (viewer.State() != wsConnected) return;
    ServerLogDebug([&] { return "Sent Viewer [" + viewer.UserName + "] " + std::string(PacketLabel(PacketType::GAMEINFODETAILED)) + " Packet"; });
    // Keyed by the game: identifiers are never 0 here, the key must not be.
    viewer.SendReplacing((uint64_t{1} << 32) | static_cast<uint32_t>(gameId), packet);
    metrics_.Sent(TConnectionKind::Viewer, packet.Size());
    EnforceConnectionBudget();
}

void TMainForm::SendToGame(int32_t gameId, std::string_view packet) {
    const TMainForm::TGameViewers::List& viewers = game_viewers_.Of(gameId);
    if (!viewers.empty()) {
        const TSharedBytes shared(packet);
        for (TDemoViewer* viewer : viewers) SendToViewer(*viewer, shared);
    }
    TActiveGameList* game = games_ ? games_->FindById(gameId) : nullptr;
    if (game && game->Sender()) SendToSender(static_cast<TDemoSender&>(*game->Sender()), packet);
}

}  // namespace vistrel
