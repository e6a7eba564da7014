// TMainForm: the relay frame. It owns the whole server for the length of the
// run: both listening servers, the game registry, the identifier counter, the
// DistrubuteDemo timer, the console lists (games, users, log lines) and the
// setup fields. Every handler of the relay is a member, named after the
// component and the event it serves, so the window program, the daemon and the
// tests all drive the same code.
//
// One thread: everything runs from the TEventLoop the front end drives. The
// front end (TFrontEnd) is told to show the intro page, expand the tree and
// report errors; the daemon answers on stderr, the window with Qt.
#pragma once

#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/console_lists.h"
#include "console/setup_fields.h"
#include "core/game_list.h"
#include "core/recording_format.h"
#include "disk/recorder.h"
#include "relay/relay_limits.h"
#include "relay/relay_metrics.h"
#include "relay/token_bucket.h"
#include "net/event_loop.h"
#include "net/timer.h"
#include "net/wsocket_server.h"

namespace vistrel {

class TRegistryStore;
class TDemoSender;
class TDemoViewer;

// What the frame needs from whichever program shows it.
class TFrontEnd {
public:
    virtual ~TFrontEnd() = default;
    virtual void ShowIntroPage() {}
    virtual void ExpandOptionTree() {}
    // The program's general error report, used for start-up, timer ticks and
    // operator commands. The program goes on afterwards.
    virtual void ReportError(const std::exception& e) = 0;
};

// Where the two servers listen. The defaults are the relay's public ports on
// every IPv4 interface; tests listen on 127.0.0.1 and port "0".
struct TListenSettings {
    std::string Addr = "0.0.0.0";
    std::string SenderPort = "38963";
    std::string ViewerPort = "38962";
    // listen's backlog for both servers (1 .. 65535).
    int Backlog = TWSocketServer::kDefaultBacklog;
};

class TMainForm {
public:
    static constexpr uint32_t kDistributeIntervalMs = 500;

    // store may be null: the settings are then neither loaded nor saved.
    TMainForm(TEventLoop& loop, TFrontEnd& frontEnd, TRegistryStore* store,
              TListenSettings listen = {});
    ~TMainForm();
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // --- Start-up and shut-down ---------------------------------------------
    // Start-up: load the settings, show the intro page, create the registry,
    // configure and open both servers (senders first), expand the tree and
    // enable the timer. A failure to listen is reported through the front end
    // and ends start-up there (returns false); a settings error is reported
    // and start-up goes on.
    bool FormCreate();
    // Stops the distribution timer and releases the game registry. Called by
    // the destructor if not before.
    void FormDestroy();
    bool Serving() const noexcept { return serving_; }

    // --- The log ----------------------------------------------------------------
    // Appends "yyyy/mm/dd hh:mm:ss " + text to the log lines, unless debug is
    // set: debug lines are never kept, only handed to the debug line sink when
    // one is set. Control characters in text (C0, DEL, C1) are written
    // escaped ("\x0A", "\x9B"), so a text from the network can never start
    // a line of its own or steer the terminal showing it.
    void ServerLog(bool debug, std::string_view text);
    // Debug lines are built only when someone will see them:
    //   ServerLogDebug([&] { return "Sent Viewer [" + name + "] ..."; });
    template <typename MakeText>
    void ServerLogDebug(MakeText&& makeText) {
        if (debug_line_sink_) ServerLog(true, makeText());
    }
    // Receives debug lines (already timestamped); null turns them off. The
    // daemon's --debug sets one.
    void SetDebugLineSink(std::function<void(const std::string& line)> sink) {
        debug_line_sink_ = std::move(sink);
    }

    // --- Settings -----------------------------------------------------------
    // The settings store (may be null) and the two settings operations.
    TRegistryStore* Store() const noexcept { return store_; }
    // Reads the setup fields; a value of the wrong type, and a filming
    // password longer than a sender can send, are reported through the
    // front end (the relay starts all the same).
    void LoadSettings();
    void SaveSettings();

    TFrontEnd& FrontEnd() const noexcept { return front_end_; }
    TEventLoop& Loop() const noexcept { return loop_; }

    // --- Read-only views ----------------------------------------------------
    // The games list, the user list and the log lines. Views subscribe to
    // their change notices through the const lists.
    const TConsoleLists& Console() const noexcept { return console_; }
    // FilmDemoPasswordEdit, MaxClientsSpin, ...
    const TSetupFields& Setup() const noexcept { return setup_; }
    // The setup page edits the fields in place; a change to MaxClientsSpin
    // takes effect on the viewer server at once.
    TSetupFields& SetupForEditing() noexcept { return setup_; }
    // The registry; null before start-up and after FormDestroy.
    const TGameList* Games() const noexcept { return games_.get(); }
    const TWSocketServer& DemoSenders() const noexcept { return demo_senders_; }
    const TWSocketServer& DemoViewers() const noexcept { return demo_viewers_; }
    const TTimer& DistrubuteDemo() const noexcept { return distrubute_demo_; }
    const TListenSettings& Listen() const noexcept { return listen_; }
    const TMemoryBudget& MemoryBudget() const noexcept { return memory_budget_; }
    // Running counts of packets, connections, log lines and tick durations.
    const TRelayMetrics& Metrics() const noexcept { return metrics_; }

    // The front end sets the budget before FormCreate (the default: no limit).
    void SetMemoryBudget(const TMemoryBudget& budget) { memory_budget_ = budget; }
    // Recording to disk (disk/recorder.h), set by the front end before
    // FormCreate. The default, an empty data folder, records nothing: only
    // the front ends choose a folder, so a frame made by a test never writes
    // to the user's own.
    void SetRecording(const TRecorderOptions& options) { recording_ = options; }
    const TRecorderOptions& Recording() const noexcept { return recording_; }
    // The games' recordings; null while recording is off (and before
    // FormCreate).
    const TRecorder* Recorder() const noexcept { return recorder_.get(); }
    // The recordings fill the folder's limit (--max-disk): demo and restart
    // packets are refused and a new sender is closed at once, as when the
    // stored games fill the memory budget.
    bool RecordingsFillDisk() const noexcept { return recorder_ && recorder_->FolderFull(); }
    // The stored games (the registry's count) have reached the budget's
    // Stored part: demo and restart packets are refused and a new sender is
    // closed at once; viewers go on watching what is stored.
    bool StoredGamesFillBudget() const noexcept {
        return memory_budget_.Stored != 0 && games_ && games_->StoredBytes() >= memory_budget_.Stored;
    }
    // The same, after paging has made what room it can (recording on).
    bool StoredGamesFillBudgetAfterPaging() {
        return StoredGamesFillBudget() && !MakeRoom();
    }
    // What the connections hold now: every connection's unconsumed input and
    // unsent output, kept as running totals (MemoryBudget().ConnectionBuffers
    // bounds it).
    size_t ConnectionBufferBytes() const noexcept {
        return input_bytes_ + demo_senders_.ClientOutputBytes() + demo_viewers_.ClientOutputBytes();
    }

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

    // One walk over the games and their watching viewers (the timer's body).
    void DistributeDemoWalk();

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

    // Data available on one connection: take everything readable, then handle
    // the packets at the front of its receive buffer.
    void DemoSenderDataAvailable(TDemoSender& sender);
    void DemoViewerDataAvailable(TDemoViewer& viewer);

    // The sending operations. Each sends only to connections in wsConnected;
    // a refused Send raises to the caller.
    void SendToSender(TDemoSender& sender, std::string_view packet);
    void SendToViewer(TDemoViewer& viewer, std::string_view packet);
    // A packet built once for many connections: queued by reference.
    void SendToViewer(TDemoViewer& viewer, const TSharedBytes& packet);
    // To the game's viewers in connection order, then to its sender (one
    // buffer shared by all of them).
    void SendToGame(int32_t gameId, std::string_view packet);
    // GAMEINFODETAILED of the game to every viewer connection, at once while
    // the game's pace allows (kDescriptionRate), else once its turn comes,
    // with the state of that moment (game_descriptions.cpp). One packet is
    // built and shared; a description of the game still unsent on a
    // connection is replaced by the new one (SendGameInfo).
    void BroadcastGameInfo(const TActiveGameList& game);
    void DescribeToEveryViewer(const TActiveGameList& game);
    void DescribeWhenDue(int32_t gameId);
    // A removed game: its pace goes, and a description still due is dropped.
    void ForgetDescriptions(int32_t gameId);
    // Queues a game's description for one viewer, replacing one of the same
    // game that has not begun to be sent.
    void SendGameInfo(TDemoViewer& viewer, int32_t gameId, const TSharedBytes& packet);
    // The viewer leaves the game it watches (as LEAVEGAME does, without the
    // acknowledgement): count, notices, position back to 0, game info sent.
    void LeaveWatchedGame(TDemoViewer& viewer);

    // --- Games without a sender connection (detached_games.cpp) ---------------
    // Games that come from elsewhere than a camera on the sender port: brought
    // back from a recording, or mirrored from another relay. They are served
    // like a game whose sender has gone.
    //
    // Opens such a game with identifier id, or with the next identifier when
    // id is 0; the identifier counter continues after the highest given. The
    // game gets its games list row and its description goes to every viewer.
    // Null when id is already taken or the registry is gone.
    TActiveGameList* OpenDetachedGame(int32_t id, const TGameDescription& description);
    // Changes a game's description as a camera's GAMEINFO does: its row and
    // every viewer are told.
    void DescribeGame(TActiveGameList& game, const TGameDescription& description);
    // Stores a whole DEMOPACKET or DEMORESTART at location as an upload would,
    // after the same location checks. False (nothing stored) when the
    // location is refused or the bytes are not such a packet.
    bool StoreDetachedPacket(TActiveGameList& game, int32_t location, std::string_view packet);
    // For a reader other than a viewer (a segment asked for over HTTP):
    // whether any of the kPageRun locations from first on is paged out, and
    // if so, starts reading them back (its game then counts as just sent).
    bool ReadBackRun(int32_t gameId, int32_t first);
    // The game with this identifier, to describe or store into; null when
    // there is none (an operator may have deleted it).
    TActiveGameList* FindGameById(int32_t id) noexcept { return games_ ? games_->FindById(id) : nullptr; }

    // The viewers watching each game, every list in connection order (by
    // TDemoViewer::Seq), so that sending to a game or distributing its demo
    // costs in proportion to its own viewers. A viewer is listed under a game
    // from its join to its leave or disconnect; Delete Game drops the game's
    // list. Holds links, never ownership.
    class TGameViewers {
    public:
        using List = std::vector<TDemoViewer*>;
        // Adding a viewer already listed changes nothing.
        void Add(int32_t gameId, TDemoViewer& viewer);
        void Remove(int32_t gameId, const TDemoViewer& viewer);
        void Drop(int32_t gameId);
        // The game's viewers (an empty list for a game nobody watches).
        const List& Of(int32_t gameId) const;
        size_t GameCount() const noexcept { return games_.size(); }

    private:
        // Sorted by game identifier.
        std::vector<std::pair<int32_t, List>> games_;
    };
    const TGameViewers& GameViewers() const noexcept { return game_viewers_; }

private:
    // Tests and load programs reach the parts below through this probe.
    friend class TMainFormProbe;
    // Brings recordings back into the registry at start-up (recordings.cpp).
    friend class TRestoreVisitor;
    // The parse loops of the two connection kinds (senders.cpp, viewers.cpp).
    class TSenderParser;
    class TViewerParser;

    // One data event of a connection: the packets it has buffered are handled
    // first, and only a connection whose reading that did not hold takes its
    // new input and handles it too, so a connection held back never piles up
    // input here. parse handles packets from the offset it is given and
    // advances it past each one it consumes.
    void ReceiveAndParse(TWSocketClient& conn, std::string& buffer, std::string_view kind,
                         const std::function<void(size_t& consumed)>& parse);
    // Appends what the connection has to its receive buffer, counted in the
    // connection buffers; marks the connection as the one being parsed.
    void TakeInput(TWSocketClient& conn, std::string& buffer);
    // Ends a parse pass on a connection's receive buffer: drops the consumed
    // bytes and closes a connection that leaves more than max_unhandled_input_;
    // a closed connection's buffer is released. Then checks the budget.
    void FinishParse(TWSocketClient& conn, std::string& buffer, size_t consumed, std::string_view kind);
    // Removes the game with this registry index as Delete Game does: the
    // sender linked to games list row `row` (-1: no row) and the game's
    // viewers are closed, every viewer is sent GAMEREMOVED, and the game's
    // viewer list, the game and the row go.
    void RemoveGame(int32_t index, int32_t row);
    // Releases a receive buffer (its bytes leave the connection buffers).
    void ReleaseInput(std::string& buffer);
    // The connection buffers over their budget: closes the connections
    // holding the most, one by one, until they are within it.
    void EnforceConnectionBudget() {
        if (memory_budget_.ConnectionBuffers != 0 && ConnectionBufferBytes() > memory_budget_.ConnectionBuffers)
            ShedLargestConnections();
    }
    void ShedLargestConnections();
    // --- Recording (recordings.cpp) ---------------------------------------------
    // Starts the recorder on the data folder and brings every recording in it
    // back as a game without a sender. False (reported through the front end)
    // when the folder or the disk I/O cannot be used.
    bool StartRecording();
    void RestoreRecording(const std::string& path);
    // A new sender's game gets its file.
    void RecordNewGame(const TActiveGameList& game);
    // Appends the game's description after its sender's GAMEINFO.
    void RecordDescription(TDemoSender& sender, const TActiveGameList& game);
    // Writes a packet's record before the packet is stored or acknowledged.
    // True when it was written, or nothing is recorded; durableAt receives
    // the file length that must be on the disk before the answer goes out
    // (0: nothing to wait for). False after a failed write, logged once per
    // sender connection: nothing of the packet may be stored then.
    bool RecordPacket(TDemoSender& sender, const TActiveGameList& game, int32_t location, std::string_view packet,
                      uint64_t& durableAt);
    // Sends an answer to a stored packet, held until durableAt of the
    // game's file is on the disk (fsync always). Whatever the sender is sent
    // while answers are held waits behind them, so its answers keep their
    // order.
    void AnswerWhenDurable(TDemoSender& sender, uint64_t durableAt, std::string packet);
    // The game's file is on the disk up to durableEnd: its sender's held
    // answers that waited for it go out.
    void ReleaseAnswers(int32_t gameId, uint64_t durableEnd);
    // Queues a packet for a sender now (SendToSender without the wait for
    // held answers).
    void SendToSenderNow(TDemoSender& sender, std::string_view packet);

    // --- Paging (paging.cpp) ---------------------------------------------------------
    // With recording on and the stored games at the memory budget: releases
    // packets of games without a sender, least recently sent first, down to
    // kPageTargetEighths of the budget, keeping each viewer's next kPageKeep
    // packets. Only packets that have a record in their game's file go.
    // Returns whether the stored games are below the budget afterwards.
    bool MakeRoom();
    // Reads the game's next packets back ahead of a viewer at position.
    void PageAhead(TActiveGameList& game, int32_t position);
    bool PageReadInFlight(int32_t gameId, int32_t location) const;

    // Shows the game's viewer count in its games list row.
    void ShowViewerCount(const TActiveGameList& game);
    // Records why a sender or viewer connection is being closed, for the
    // count its disconnect adds to.
    static void NoteCloseReason(TWSocketClient& conn, TCloseReason reason);

    TEventLoop& loop_;
    TFrontEnd& front_end_;
    TRegistryStore* store_;
    TSetupFields setup_;
    TConsoleLists console_;
    TWSocketServer demo_senders_;
    TWSocketServer demo_viewers_;
    std::unique_ptr<TGameList> games_;
    int32_t game_id_counter_ = 0;  // last identifier given to a game
    // Per described game: its pace, and the deadline of a description due
    // (0: none).
    struct TDescriptionPace {
        TTokenBucket Bucket;
        TEventLoop::TimerId Due = 0;
    };
    std::map<int32_t, TDescriptionPace> description_pace_;
    // Keeps a due description from reaching a destroyed form.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    TTimer distrubute_demo_;
    TListenSettings listen_;
    TGameViewers game_viewers_;
    uint64_t viewer_seq_counter_ = 0;  // last sequence number given to a viewer
    // Unconsumed input above which a connection is closed (relay/relay_limits.h).
    size_t max_unhandled_input_ = kMaxUnhandledInput;
    // Payload checks run since start-up.
    uint64_t payload_checks_ = 0;
    TMemoryBudget memory_budget_;
    TRelayMetrics metrics_;
    TRecorderOptions recording_{"", TFsyncMode::EverySec, 0};
    std::unique_ptr<TRecorder> recorder_;
    // Runs of packets being read back: (game, first location), each
    // kPageRun long.
    std::set<std::pair<int32_t, int32_t>> page_reads_;
    // Distribution ticks since start-up (the clock of LastSent).
    uint64_t ticks_ = 0;
    // The receive buffers' bytes, all connections together.
    size_t input_bytes_ = 0;
    // The connection whose receive buffer a parse pass is reading: its
    // buffer must stay until the pass ends, even if it is closed meanwhile.
    TWSocketClient* parsing_ = nullptr;
    std::function<void(const std::string& line)> debug_line_sink_;
    bool serving_ = false;
};

// "yyyy/mm/dd hh:mm:ss " for the given local time.
std::string FormatLogTimestamp(std::time_t when);
// A log line's text after the "yyyy/mm/dd hh:mm:ss " it starts with; the
// whole line when it does not start with such a timestamp.
std::string_view WithoutLogTimestamp(std::string_view line);
// Control characters (C0, DEL and the C1 bytes 0x80-0x9F) as "\xHH";
// everything else unchanged.
std::string EscapeControlCharacters(std::string_view text);

}  // namespace vistrel
