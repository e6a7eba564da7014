// Viewer connections: the user-list row, the parse loop over ACKNAK,
// WAITFORGAME, SENDTEXT, LEAVEGAME and USERINFO with the notices each sends,
// the disconnect, and the sending operations towards viewers.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "core/game_list.h"
#include "relay/main_form.h"
#include "core/protocol.h"
#include "relay/receive_buffer.h"

namespace vistrel {

namespace {

// Tells the game (its viewers and its sender) that `name` has gone.
void AnnounceLeave(TMainForm& form, TActiveGameList& game, const std::string& name) {
    form.SendToGame(game.Identifier(), BuildNotice(name + " left"));
    form.SendToGame(game.Identifier(), BuildUserLeft(name));
}

void ShowViewerCount(TMainForm& form, const TActiveGameList& game) {
    form.Console.SetGameColumns(game.Identifier(), {}, {}, {}, {}, std::to_string(game.Viewers()), {});
}

class ViewerParser {
public:
    ViewerParser(TMainForm& form, TDemoViewer& viewer) : form_(form), v_(viewer) {}

    void Run(size_t& consumed) {
        for (;;) {
            std::string_view buf = std::string_view(v_.ReceiveBuffer).substr(consumed);
            if (buf.size() < PacketSize::Header) return;
            const int32_t type = PacketTypeOf(buf);
            form_.ServerLogDebug([&] {
                return "Viewer [" + v_.UserName + "] sent us " + std::string(PacketLabel(type)) + " Packet";
            });
            size_t used = 0;
            switch (type) {
                case PacketType::ACKNAK: used = Fixed(buf, PacketSize::ACKNAK); break;
                case PacketType::WAITFORGAME: used = WaitForGame(buf); break;
                case PacketType::SENDTEXT: used = SendText(buf); break;
                case PacketType::LEAVEGAME: used = LeaveGame(buf); break;
                case PacketType::USERINFO: used = UserInfo(buf); break;
                default: return;  // unknown: stays at the front for good
            }
            if (used == 0) return;  // incomplete
            consumed += used;
        }
    }

private:
    static size_t Fixed(std::string_view buf, size_t size) { return buf.size() < size ? 0 : size; }

    TActiveGameList* FindGame(int32_t id) const { return form_.Games ? form_.Games->FindById(id) : nullptr; }

    size_t WaitForGame(std::string_view buf) {
        if (buf.size() < PacketSize::WAITFORGAME) return 0;
        form_.SendToViewer(v_, BuildAckNak(0));
        if (TActiveGameList* game = FindGame(WaitForGameIdOf(buf))) {
            // A viewer watches one game: moving to another (or joining the
            // same one again) first leaves the one it watches, so that game's
            // count and its viewers stay right.
            if (v_.GameId != 0) form_.LeaveWatchedGame(v_);
            Join(*game);
        }
        return PacketSize::WAITFORGAME;
    }

    void Join(TActiveGameList& game) {
        const int32_t id = game.Identifier();
        game.SetViewers(game.Viewers() + 1);
        ShowViewerCount(form_, game);
        v_.GameId = id;
        form_.GameViewers.Add(id, v_);
        form_.ServerLog(false, v_.PeerAddr() + " joined game " + std::to_string(id));
        form_.SendToGame(id, BuildNotice(v_.UserName + " entered"));
        form_.SendToGame(id, BuildUserEntered(v_.UserName));
        for (TDemoViewer* other : form_.GameViewers.Of(id))
            if (other != &v_) form_.SendToViewer(v_, BuildUserEntered(other->UserName));
        form_.BroadcastGameInfo(game);
    }

    size_t SendText(std::string_view buf) {
        if (buf.size() < PacketSize::SENDTEXT) return 0;
        form_.SendToViewer(v_, BuildAckNak(0));
        std::string packet(buf.substr(0, PacketSize::SENDTEXT));
        SetSendTextName(packet, v_.UserName);
        if (v_.GameId == 0) {
            // Viewers watching no game chat among themselves.
            TWSocketServer& viewers = form_.DemoViewers;
            for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
                auto* other = static_cast<TDemoViewer*>(viewers.Client(i));
                if (other->GameId == 0) form_.SendToViewer(*other, packet);
            }
        } else {
            for (TDemoViewer* other : form_.GameViewers.Of(v_.GameId)) form_.SendToViewer(*other, packet);
        }
        if (TActiveGameList* game = FindGame(v_.GameId); game && game->Sender())
            form_.SendToSender(static_cast<TDemoSender&>(*game->Sender()), packet);
        return PacketSize::SENDTEXT;
    }

    size_t LeaveGame(std::string_view buf) {
        if (buf.size() < PacketSize::LEAVEGAME) return 0;
        form_.SendToViewer(v_, BuildAckNak(0));
        form_.LeaveWatchedGame(v_);
        return PacketSize::LEAVEGAME;
    }

    // Acted on at 32 bytes; consumes the 288 bytes a viewer program may send
    // for it, or the whole buffer if fewer are there.
    size_t UserInfo(std::string_view buf) {
        if (buf.size() < PacketSize::USERINFO) return 0;
        form_.SendToViewer(v_, BuildAckNak(0));
        v_.UserName = UserInfoNameOf(buf);
        form_.Console.SetViewerName(&v_, v_.UserName);
        const size_t used = std::min(buf.size(), PacketSize::USERINFO_CONSUMED);
        if (form_.Games) {
            for (int32_t i = 0; i < form_.Games->Count(); ++i)
                form_.SendToViewer(v_, BuildGameInfoDetailed(form_.Games->At(i)));
        }
        return used;
    }

    TMainForm& form_;
    TDemoViewer& v_;
};

}  // namespace

void TMainForm::DemoViewersClientConnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& viewer = static_cast<TDemoViewer&>(client);
    ServerLog(false, "Viewer connecting: " + viewer.PeerAddr());
    viewer.GameId = 0;
    viewer.Position = 0;
    viewer.Seq = ++ViewerSeqCounter;
    viewer.OnDataAvailable = [this](TWSocketClient& c, uint16_t) {
        DemoViewerDataAvailable(static_cast<TDemoViewer&>(c));
    };
    viewer.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        ViewerBgException(s, e, canClose);
    };
    viewer.OnSendOverflow = [this](TWSocketClient& c, const std::string& reason) {
        ServerLog(false, "Viewer " + c.PeerAddr() + " is not reading: " + reason + "; connection closed");
    };
    Console.AddViewerRow(&viewer, viewer.PeerAddr());
}

void TMainForm::DemoViewerDataAvailable(TDemoViewer& viewer) {
    AppendReceived(viewer.ReceiveBuffer, viewer.ReceiveAll());
    size_t consumed = 0;
    try {
        ViewerParser(*this, viewer).Run(consumed);
    } catch (...) {
        FinishParse(*this, viewer, viewer.ReceiveBuffer, consumed, "Viewer");
        throw;
    }
    FinishParse(*this, viewer, viewer.ReceiveBuffer, consumed, "Viewer");
}

void TMainForm::LeaveWatchedGame(TDemoViewer& viewer) {
    TActiveGameList* game = Games ? Games->FindById(viewer.GameId) : nullptr;
    if (!game) return;
    const int32_t id = game->Identifier();
    game->SetViewers(game->Viewers() - 1);
    ShowViewerCount(*this, *game);
    ServerLog(false, viewer.PeerAddr() + " left game " + std::to_string(id));
    // The leaving viewer is still listed, so it hears its own leave too.
    AnnounceLeave(*this, *game, viewer.UserName);
    GameViewers.Remove(id, viewer);
    viewer.GameId = 0;
    viewer.Position = 0;
    BroadcastGameInfo(*game);
}

void TMainForm::DemoViewersClientDisconnect(TWSocketServer&, TWSocketClient& client, uint16_t) {
    auto& viewer = static_cast<TDemoViewer&>(client);
    ServerLog(false, "Viewer disconnecting: " + viewer.PeerAddr());
    // The object is destroyed after this handler, whatever happens below:
    // no list may keep it.
    GameViewers.Remove(viewer.GameId, viewer);
    try {
        if (TActiveGameList* game = Games ? Games->FindById(viewer.GameId) : nullptr) {
            game->SetViewers(game->Viewers() - 1);
            ShowViewerCount(*this, *game);
            AnnounceLeave(*this, *game, viewer.UserName);
            BroadcastGameInfo(*game);
        }
    } catch (...) {
        Console.RemoveViewerRow(&viewer);
        throw;
    }
    Console.RemoveViewerRow(&viewer);
}

void TMainForm::SendToViewer(TDemoViewer& viewer, std::string_view packet) {
    if (viewer.State() != wsConnected) return;
    ServerLogDebug([&] {
        return "Sent Viewer [" + viewer.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet))) + " Packet";
    });
    viewer.Send(packet);
}

void TMainForm::SendToGame(int32_t gameId, std::string_view packet) {
    for (TDemoViewer* viewer : GameViewers.Of(gameId)) SendToViewer(*viewer, packet);
    TActiveGameList* game = Games ? Games->FindById(gameId) : nullptr;
    if (game && game->Sender()) SendToSender(static_cast<TDemoSender&>(*game->Sender()), packet);
}

void TMainForm::BroadcastGameInfo(const TActiveGameList& game) {
    const std::string packet = BuildGameInfoDetailed(game);
    for (int32_t i = 0; i < DemoViewers.ClientCount(); ++i)
        SendToViewer(*static_cast<TDemoViewer*>(DemoViewers.Client(i)), packet);
}

}  // namespace vistrel
