// TMainForm: the relay frame. It owns the whole server for the length of the
// run: both listening servers, the DistrubuteDemo timer, the console lists
// (games, users, log lines), the setup fields, and the parts that do the
// relay's work. Every handler the relay's design names is a member, named
// after the component and the event it serves, so the window program, the
// daemon and the tests all drive the same code; each handler is a short
// conductor over the parts:
//
//   TRelayLog log_                  the server log (ServerLog)
//   TRelayGames games_              registry, identifier counter, viewers per game
//   TConnectionInput input_         receive buffers, the connection buffers budget
//   TGameRecording recording_       the data folder: restore, records, --max-disk
//   TSenderAnswers answers_         what goes to senders; answers held until durable
//   TViewerOutput output_           what goes to viewers and to whole games
//   TDescriptionPacer descriptions_ game descriptions to every viewer, paced
//   TPager pager_                   the stored budget: paging out, reading back
//   TBroadcastDelay delay_          what viewers may see yet; chat held with it
//   TChatRing chat_                 the chat lines passed on, for the operator
//   TCrowdNotices crowd_            joins and leaves told, or summed up in a crowd
//   TCatchUp catch_up_              more packets a tick for a viewer far behind
//   TDistribution distribution_     the walk each DistrubuteDemo tick
//   TConsoleNumbers numbers_        the lists' changing numbers kept current
//   TGameMembership membership_     joins and leaves of games
//   TDetachedGames detached_        the TGameHost face for the restore and edges
//
// A new subsystem is a part of its own, constructed here with only what it
// uses; it is never new members of the frame.
//
// One thread: everything runs from the TEventLoop the front end drives.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/event_loop.h"
#include "net/timer.h"
#include "net/wsocket_server.h"
#include "console/console_lists.h"
#include "console/setup_fields.h"
#include "relay/broadcast_delay.h"
#include "relay/catch_up.h"
#include "relay/chat_ring.h"
#include "relay/connection_input.h"
#include "relay/console_numbers.h"
#include "relay/crowd_notices.h"
#include "relay/description_pacer.h"
#include "relay/detached_games.h"
#include "relay/distribution.h"
#include "relay/front_end.h"
#include "relay/game_membership.h"
#include "relay/game_recording.h"
#include "relay/pager.h"
#include "relay/relay_games.h"
#include "relay/relay_limits.h"
#include "relay/relay_log.h"
#include "relay/relay_metrics.h"
#include "relay/sender_answers.h"
#include "relay/viewer_output.h"

namespace vistrel {

class TRegistryStore;
class TDemoSender;
class TDemoViewer;

// Where the two servers listen: on Addr and on each of MoreAddrs (numeric
// IPv4 or IPv6), each address a socket of its own at the same port. "::"
// takes IPv4 peers too (one dual-stack socket) unless 0.0.0.0 is among the
// addresses. The default, kEveryInterface, is every IPv4 and IPv6 interface:
// one dual-stack socket where the system allows, else IPv4 alone (logged).
// Tests listen on 127.0.0.1 and port "0".
struct TListenSettings {
    static constexpr const char* kEveryInterface = "";
    std::string Addr = kEveryInterface;
    std::string SenderPort = "38963";
    std::string ViewerPort = "38962";
    // listen's backlog for both servers (1 .. 65535).
    int Backlog = TWSocketServer::kDefaultBacklog;
    std::vector<std::string> MoreAddrs{};

    // Addr and MoreAddrs in order.
    std::vector<std::string> Addrs() const;
};

class TMainForm {
public:
    static constexpr uint32_t kDistributeIntervalMs = 500;

    // store may be null: the settings are then neither loaded nor saved.
    TMainForm(TEventLoop& loop, TFrontEnd& frontEnd, TRegistryStore* store, TListenSettings listen = {});
    ~TMainForm();
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // --- Start-up and shut-down ---------------------------------------------
    // Start-up: load the settings, show the intro page, create the registry,
    // bring the recordings back, configure and open both servers (senders
    // first), expand the tree and enable the timer. A failure to listen is
    // reported through the front end and ends start-up there (returns
    // false); a settings error is reported and start-up goes on.
    bool FormCreate();
    // Stops the distribution timer and releases the game registry. Called by
    // the destructor if not before.
    void FormDestroy();
    bool Serving() const noexcept { return serving_; }

    // --- The log ----------------------------------------------------------------
    // Appends "yyyy/mm/dd hh:mm:ss " + text to the log lines, unless debug is
    // set: debug lines are never kept, only handed to the debug line sink
    // (TRelayLog).
    void ServerLog(bool debug, std::string_view text) { debug ? log_.DebugLine(text) : log_.Line(text); }
    // The log part: debug lines built only when someone will see them
    // (Debug), the debug line sink the daemon's --debug sets.
    TRelayLog& Log() noexcept { return log_; }

    // --- Settings -----------------------------------------------------------
    // Reads the setup fields; the settings' problems (each with the file's
    // line, in one report), and a filming password longer than a sender can
    // send, are reported through the front end (the relay starts all the
    // same).
    void LoadSettings();
    void SaveSettings();
    // The settings store (may be null).
    TRegistryStore* Store() const noexcept { return store_; }

    // --- What the front end sets before FormCreate -------------------------
    // The memory budget (the default: no limit).
    void SetMemoryBudget(const TMemoryBudget& budget) { memory_budget_ = budget; }
    // Recording to disk. The default, an empty data folder, records nothing:
    // only the front ends choose a folder, so a frame made by a test never
    // writes to the user's own.
    void SetRecording(const TRecorderOptions& options) { recording_.SetOptions(options); }

    // --- Read-only views ----------------------------------------------------
    TFrontEnd& FrontEnd() const noexcept { return front_end_; }
    TEventLoop& Loop() const noexcept { return loop_; }
    // The games list, the user list and the log lines. Views subscribe to
    // their change notices through the const lists.
    const TConsoleLists& Console() const noexcept { return console_; }
    // FilmDemoPasswordEdit, MaxClientsSpin, ...
    const TSetupFields& Setup() const noexcept { return setup_; }
    // The setup page edits the fields in place; a change to MaxClientsSpin
    // takes effect on the viewer server at once.
    TSetupFields& SetupForEditing() noexcept { return setup_; }
    // The registry; null before start-up and after FormDestroy.
    const TGameList* Games() const noexcept { return games_.List(); }
    const TGameViewers& GameViewers() const noexcept { return games_.Viewers(); }
    const TWSocketServer& DemoSenders() const noexcept { return demo_senders_; }
    const TWSocketServer& DemoViewers() const noexcept { return demo_viewers_; }
    const TTimer& DistrubuteDemo() const noexcept { return distrubute_demo_; }
    const TListenSettings& Listen() const noexcept { return listen_; }
    const TMemoryBudget& MemoryBudget() const noexcept { return memory_budget_; }
    // Running counts of packets, connections, log lines and tick durations.
    const TRelayMetrics& Metrics() const noexcept { return metrics_; }
    // The recording side: its options, and the recordings (null while off).
    const TGameRecording& Recording() const noexcept { return recording_; }
    // The face through which the restore, edges and the HTTP side open,
    // describe, fill, read back and remove games.
    TGameHost& Host() noexcept { return detached_; }
    // The connection buffers budget's accounting, which the HTTP side's
    // answers join (SetOtherHolders, EnforceBudget).
    TConnectionInput& ConnectionBuffers() noexcept { return input_; }
    // The broadcast delay: the visible part of each game, the relay's wall clock.
    const TBroadcastDelay& BroadcastDelay() const noexcept { return delay_; }
    // The chat lines passed on, viewers' and cameras', newest kept.
    const TChatRing& Chat() const noexcept { return chat_; }

    // --- Background errors of the connection layer ---------------------------
    void DemoSendersBgException(TCustomWSocket& sender, const std::exception& e, bool& canClose);
    void DemoViewersBgException(TCustomWSocket& sender, const std::exception& e, bool& canClose);
    void SenderBgException(TCustomWSocket& sender, const std::exception& e, bool& canClose);
    void ViewerBgException(TCustomWSocket& sender, const std::exception& e, bool& canClose);

    // Timer tick: the timer is off while the walk runs and re-armed after it,
    // also when an error ends the walk (the error goes to the front end).
    void DistrubuteDemoTimer();

    // --- Relay handlers (senders.cpp, viewers.cpp, distribution.cpp, commands.cpp)
    void DemoSendersClientConnect(TWSocketServer& sender, TWSocketClient& client, uint16_t error);
    void DemoSendersClientDisconnect(TWSocketServer& sender, TWSocketClient& client, uint16_t error);
    void DemoViewersClientConnect(TWSocketServer& sender, TWSocketClient& client, uint16_t error);
    void DemoViewersClientDisconnect(TWSocketServer& sender, TWSocketClient& client, uint16_t error);

    // Operator commands on the selected rows (indices into the games list or
    // the user list, any order): each selected row's game or viewer goes
    // through the command by identifier below. Errors reach the caller.
    void HaltTransfer1Click(const std::vector<int32_t>& selectedRows);
    void DeleteGame1Click(const std::vector<int32_t>& selectedRows);
    void KickUser1Click(const std::vector<int32_t>& selectedRows);
    // The commands by identifier. False when there is no such game, no
    // connected sender of it, or no such connected viewer.
    bool HaltGame(int32_t gameId);
    // The sender and the game's viewers are closed, every viewer is sent
    // GAMEREMOVED, and the game, its row and its recording go.
    bool DeleteGame(int32_t gameId);
    // viewerId: TDemoViewer::Seq, the viewer's identifier in the API.
    bool KickViewer(uint64_t viewerId);
    // A muted viewer's chat is acknowledged and passed on to nobody, until it
    // is unmuted or leaves.
    bool MuteViewer(uint64_t viewerId, bool muted);

private:
    // Opens server on every address of listen_ (the default: dual-stack,
    // else IPv4 alone, ipv6Missing then saying why); raises ESocketException
    // naming the side, address and port that failed.
    void ListenEverywhere(TWSocketServer& server, std::string_view side, std::string& ipv6Missing);
    // Tests and load programs reach the parts through this probe.
    friend class TMainFormProbe;


    TEventLoop& loop_;
    TFrontEnd& front_end_;
    TRegistryStore* store_;
    TSetupFields setup_;
    TConsoleLists console_;
    TRelayMetrics metrics_;
    TListenSettings listen_;
    TMemoryBudget memory_budget_;
    TWSocketServer demo_senders_;
    TWSocketServer demo_viewers_;
    TTimer distrubute_demo_;
    bool serving_ = false;
    // The parts, in the order they are made; each takes only what it uses.
    TRelayLog log_;
    TRelayGames games_;
    TConnectionInput input_;
    TGameRecording recording_;
    TSenderAnswers answers_;
    TViewerOutput output_;
    TDescriptionPacer descriptions_;
    TPager pager_;
    TBroadcastDelay delay_;
    TChatRing chat_;
    TCrowdNotices crowd_;
    TCatchUp catch_up_;
    TDistribution distribution_;
    TConsoleNumbers numbers_;
    TGameMembership membership_;
    TDetachedGames detached_;
};

}  // namespace vistrel
