// relay_load [viewers] [packets-per-game] [join-sizes]: the relay under a
// full house. Ten senders upload ~1.4 KB demo packets into ten games and
// many viewers on loopback watch them (viewer i watches game i % 10 + 1).
// Each figure is reported next to what it can be compared with in the same
// run:
//   - one distribution tick, wall and CPU time, next to a bare loop that
//     writes the same packets to the same sockets;
//   - the time from a DEMOPACKET's arrival to its ACKNAK while the
//     distribution timer runs at its real pace;
//   - user-space memory per idle viewer connection (mallinfo2 deltas);
//   - the cost of viewers joining one game one after another, for a few
//     sizes (default 1000,2000): every join sends the game's description to
//     every viewer, so it grows with the square of the viewers.
// The 10,000 watching viewers of the tick run are attached to their games
// directly (the state a WAITFORGAME leaves: game id, per-game list, count),
// because joining them over the wire would cost the square measured in the
// join runs. With RELAY_LOAD_DATA_DIR set, the relay records every game into
// that folder (fsync everysec), for the same figures with recording on. The
// viewers live in a forked child that reads and drops
// everything, so each side has its own descriptor limit and no queue just
// grows. Bounded: every wait has a deadline and an alarm ends a stuck run.
//
// With RELAY_LOAD_DELAY set to a number of seconds, the tick run is the live
// final under a broadcast delay: the relay's clock is stepped 500 ms after
// each packet's upload, so the packets carry one tick's spacing in their
// acknowledgement times; the viewers start at the live edge (every visible
// packet already sent), and before each measured tick the clock moves on by
// one tick, so each tick releases one packet per game and every viewer is
// sent exactly that one. The delay needs to hold back more packets than the
// ticks measured (90 s holds 180).
#include <malloc.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_common.h"
#include "bench/viewer_child.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"
#include "relay/main_form.h"
#include "testing/main_form_probe.h"
#include "core/protocol.h"
#include "client/client_packets.h"
#include "testing/recording_front_end.h"
#include "client/relay_client.h"

using namespace vistrel;
using namespace vistrel::client;
using namespace vistrel::testing;
using load::Clock;

namespace {

constexpr int kGames = 10;

using load::Ms;
using load::RaiseDescriptorLimit;
using load::ThreadCpuMs;

[[noreturn]] void Fail(const char* what) { load::FailRun("relay_load", what); }

// A client of the relay on loopback (TCP_NODELAY, non-blocking); the run
// ends if it cannot connect.
std::unique_ptr<TRelayClient> ConnectLoopback(uint16_t port) {
    auto client = std::make_unique<TRelayClient>(port);
    if (!client->Connected()) {
        errno = client->ConnectError();
        Fail("connect");
    }
    return client;
}

// A DEMOPACKET of about 1.4 KB whose payload passes the check.
std::string DemoPacket(int32_t location, std::mt19937& rng) {
    std::string content(1380, '\0');
    for (char& c : content) c = static_cast<char>(rng());
    return Demo(location, content);
}

// ------------------------------------------------------------ server side

class Bench {
public:
    Bench(int viewers, int packets, std::vector<int> joinSizes, int delaySeconds)
        : viewers_(viewers), packets_(packets), join_sizes_(std::move(joinSizes)), delay_s_(delaySeconds) {
        loop_.SetClock([this] { return Clock::now() + clock_offset_; });
    }

    int Run() {
        for (int n : join_sizes_) JoinOneGame(n);
        if (!Open()) return 1;
        Upload();
        ConnectViewers();
        AttachViewers();
        Ticks();
        AckLatency();
        Stop();
        return 0;
    }

private:
    bool Open() {
        form_ = std::make_unique<TMainForm>(loop_, front_, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
        if (const char* dataDir = std::getenv("RELAY_LOAD_DATA_DIR"); dataDir && *dataDir)
            form_->SetRecording(TRecorderOptions{dataDir, TFsyncMode::EverySec, 0});
        if (!form_->FormCreate()) return false;
        form_->SetupForEditing().BroadcastDelaySpin.SetValue(delay_s_);
        TMainFormProbe::DistrubuteDemo(*form_).SetEnabled(false);
        Ask('P', TMainFormProbe::DemoViewers(*form_).LocalPort());
        return true;
    }

    // Closes every viewer and drops the frame without running the viewers'
    // disconnects (each would tell every remaining viewer: the square again).
    void Close() {
        viewers_child_.Send('X');
        viewers_child_.Reply();
        senders_.clear();
        form_.reset();
    }

    // Steps the loop until pred holds; gives up after limit.
    bool Until(const std::function<bool()>& pred, std::chrono::seconds limit) {
        auto deadline = Clock::now() + limit;
        while (!pred()) {
            if (Clock::now() > deadline) return false;
            loop_.RunOnce(1);
            FlushSenders();
        }
        return true;
    }

    int64_t Ask(char op, int32_t arg, int32_t arg2 = 0) {
        viewers_child_.Send(op, arg, arg2);
        int64_t value = 0;
        const bool got = Until([&] { return viewers_child_.TryReply(value); }, std::chrono::seconds(900));
        if (!got) Fail("no reply from the viewer process");
        return value;
    }

    bool QueuesEmpty() const {
        for (int32_t i = 0; i < TMainFormProbe::DemoViewers(*form_).ClientCount(); ++i)
            if (!TMainFormProbe::DemoViewers(*form_).Client(i)->AllSent()) return false;
        return true;
    }

    // Waits until the server has nothing queued and the viewers have read all.
    int64_t SettleBytes() {
        int64_t last = -1;
        for (;;) {
            Until([&] { return QueuesEmpty(); }, std::chrono::seconds(900));
            int64_t now = Ask('B', 0);
            if (now == last) return now;
            last = now;
            loop_.RunOnce(20);
        }
    }

    int32_t Watching() const {
        int32_t sum = 0;
        for (int32_t g = 0; g < TMainFormProbe::Games(*form_)->Count(); ++g) sum += TMainFormProbe::Games(*form_)->At(g).Viewers();
        return sum;
    }

    void FlushSenders() {
        for (auto& sender : senders_) sender->Pump();
    }

    void ConnectSenders(int count) {
        const uint16_t port = TMainFormProbe::DemoSenders(*form_).LocalPort();
        for (int g = 0; g < count; ++g) {
            // One at a time: a connect beyond the backlog of 5 would be
            // dropped and retried a second later.
            senders_.push_back(ConnectLoopback(port));
            senders_.back()->DiscardInput(true);
            if (!Until([&] { return TMainFormProbe::Games(*form_)->Count() == g + 1; }, std::chrono::seconds(10))) Fail("sender");
        }
    }

    void Upload() {
        std::mt19937 rng(42);
        ConnectSenders(kGames);
        size_t bytes = 0;
        std::vector<std::string> uploads;
        // The same, a packet at a time: the description, then each packet.
        std::vector<std::vector<std::string>> pieces(kGames);
        for (int g = 0; g < kGames; ++g) {
            std::vector<std::string>& piece = pieces[static_cast<size_t>(g)];
            piece.push_back(GameInfo("cam" + std::to_string(g), "", "game " + std::to_string(g), "", 0));
            for (int32_t p = 0; p < packets_; ++p) piece.push_back(DemoPacket(p, rng));
            std::string out;
            for (const std::string& one : piece) out += one;
            bytes += out.size();
            uploads.push_back(std::move(out));
        }
        auto start = Clock::now();
        if (delay_s_ > 0) {
            UploadOneTickApart(pieces);
        } else {
            for (int g = 0; g < kGames; ++g) senders_[static_cast<size_t>(g)]->Send(uploads[static_cast<size_t>(g)]);
        }
        bool done = Until(
            [&] {
                for (int32_t g = 0; g < kGames; ++g)
                    if (TMainFormProbe::Games(*form_)->At(g).Count() < packets_) return false;
                return true;
            },
            std::chrono::seconds(120));
        if (!done) Fail("upload did not finish");
        std::printf("upload: %d games x %d packets, %.1f MB verified and stored in %.0f ms\n", kGames, packets_,
                    static_cast<double>(bytes) / 1e6, Ms(Clock::now() - start));
    }

    // Each game's description, then packet by packet into all games, the
    // relay's clock a tick further on after each.
    void UploadOneTickApart(const std::vector<std::vector<std::string>>& pieces) {
        for (size_t g = 0; g < pieces.size(); ++g) senders_[g]->Send(pieces[g][0]);
        for (int32_t p = 0; p < packets_; ++p) {
            for (size_t g = 0; g < pieces.size(); ++g) senders_[g]->Send(pieces[g][static_cast<size_t>(p) + 1]);
            if (!Until(
                    [&] {
                        for (int32_t g = 0; g < kGames; ++g)
                            if (TMainFormProbe::Games(*form_)->At(g).Count() < p + 1) return false;
                        return true;
                    },
                    std::chrono::seconds(10)))
                Fail("upload one tick apart");
            clock_offset_ += std::chrono::milliseconds(TMainForm::kDistributeIntervalMs);
        }
    }

    // n viewers arrive one after another, each naming itself and joining
    // game 1 at once. Every join sends: to the joiner its ACKNAK and one
    // USERENTERED per viewer already there, to everyone in the game the
    // notice and USERENTERED, and to every viewer the game's description.
    void JoinOneGame(int n) {
        if (!Open()) Fail("listen");
        ConnectSenders(1);
        const int64_t before = Ask('B', 0);
        auto start = Clock::now();
        Ask('C', n, 1);
        Until([&] { return Watching() == n; }, std::chrono::seconds(900));
        const double handled = Ms(Clock::now() - start);
        const int64_t bytes = SettleBytes() - before;
        std::printf("joins, %d viewers into one game one after another: %.0f ms, %.1f MB sent to viewers "
                    "(%.0f bytes per join, %.2f us per join and viewer present)\n",
                    n, handled, static_cast<double>(bytes) / 1e6, static_cast<double>(bytes) / n,
                    handled * 1e3 / (static_cast<double>(n) * n / 2));
        Close();
    }

    void ConnectViewers() {
        malloc_trim(0);
        const size_t before = mallinfo2().uordblks;
        auto start = Clock::now();
        const int64_t connected = Ask('C', viewers_);
        Until([&] { return form_->Console().Users().Count() == viewers_; }, std::chrono::seconds(60));
        SettleBytes();
        const double elapsed = Ms(Clock::now() - start);
        const size_t after = mallinfo2().uordblks;
        std::printf("viewers: %lld connected and named (game list received) in %.0f ms\n",
                    static_cast<long long>(connected), elapsed);
        std::printf("memory per idle viewer connection (named, queue empty): %.0f bytes\n",
                    (static_cast<double>(after) - static_cast<double>(before)) / viewers_);
    }

    // The state a WAITFORGAME leaves behind, without its broadcasts.
    void AttachViewers() {
        const size_t before = mallinfo2().uordblks;
        TWSocketServer& viewers = TMainFormProbe::DemoViewers(*form_);
        for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
            auto* viewer = static_cast<TDemoViewer*>(viewers.Client(i));
            TActiveGameList& game = TMainFormProbe::Games(*form_)->At(i % kGames);
            viewer->GameId = game.Identifier();
            // At the live edge under a delay: everything visible already sent.
            viewer->Position = delay_s_ > 0 ? form_->BroadcastDelay().VisibleEnd(game) : 0;
            TMainFormProbe::GameViewers(*form_).Add(game.Identifier(), *viewer);
            game.SetViewers(game.Viewers() + 1);
        }
        const size_t after = mallinfo2().uordblks;
        std::printf("memory per watching viewer in the per-game lists: %.1f bytes\n",
                    (static_cast<double>(after) - static_cast<double>(before)) / viewers_);
    }

    // Writes, like one tick, the packet at each watching viewer's place to
    // its socket, straight through send(2): what a tick cannot do with less.
    void BareTick() {
        for (int32_t g = 0; g < TMainFormProbe::Games(*form_)->Count(); ++g) {
            const TActiveGameList& game = TMainFormProbe::Games(*form_)->At(g);
            for (TDemoViewer* v : TMainFormProbe::GameViewers(*form_).Of(game.Identifier())) {
                const std::string_view data = game.Data(v->Position % game.Count());
                size_t done = 0;
                while (done < data.size()) {
                    ssize_t n = send(v->Handle(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    done += static_cast<size_t>(n);
                }
            }
        }
    }

    void Ticks() {
        constexpr int kRounds = 9;
        std::vector<double> relayWall, relayCpu, bareWall, bareCpu;
        int64_t tickBytes = 0;
        for (int round = 0; round < kRounds; ++round) {
            if (delay_s_ > 0) clock_offset_ += std::chrono::milliseconds(TMainForm::kDistributeIntervalMs);
            const int64_t before = SettleBytes();
            auto t0 = Clock::now();
            double c0 = ThreadCpuMs();
            TMainFormProbe::DistrubuteDemo(*form_).Fire();
            // The walk only queues; the flush that ends a loop step writes.
            loop_.FlushOutputs();
            relayCpu.push_back(ThreadCpuMs() - c0);
            relayWall.push_back(Ms(Clock::now() - t0));
            tickBytes = SettleBytes() - before;
            t0 = Clock::now();
            c0 = ThreadCpuMs();
            BareTick();
            bareCpu.push_back(ThreadCpuMs() - c0);
            bareWall.push_back(Ms(Clock::now() - t0));
        }
        TMainFormProbe::DistrubuteDemo(*form_).SetEnabled(false);
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v[v.size() / 2];
        };
        std::printf("tick, %d watching viewers%s, %.1f MB per tick (median of %d):\n", viewers_,
                    delay_s_ > 0 ? (" at the live edge under a " + std::to_string(delay_s_) + " s delay").c_str() : "",
                    static_cast<double>(tickBytes) / 1e6, kRounds);
        std::printf("  relay walk: wall %.2f ms, cpu %.2f ms\n", median(relayWall), median(relayCpu));
        std::printf("  bare loop : wall %.2f ms, cpu %.2f ms\n", median(bareWall), median(bareCpu));
        std::printf("  ratio     : wall %.2fx, cpu %.2fx\n", median(relayWall) / median(bareWall),
                    median(relayCpu) / median(bareCpu));
    }

    // A probe sender in a thread of its own uploads one DEMOPACKET every
    // 20 ms for ten seconds while the timer ticks at its real pace, so its
    // packets also arrive while a tick is running; each ACKNAK is timed from
    // the write.
    void AckLatency() {
        std::mt19937 rng(7);
        std::vector<std::string> probes;
        for (int32_t i = 0; i < 500; ++i) probes.push_back(DemoPacket(i, rng));
        const uint16_t port = TMainFormProbe::DemoSenders(*form_).LocalPort();
        std::vector<double> latencies;
        std::atomic<bool> done{false};
        std::thread probe([&] {
            // This thread waits on its connection, at most 2 s each time.
            constexpr std::chrono::seconds kWait{2};
            const auto client = ConnectLoopback(port);
            TRelayClient& c = *client;
            c.WaitUntil([&] { return c.Unread().size() >= kGreetingSize; }, kWait);
            c.Take(kGreetingSize);
            auto next = Clock::now();
            for (const std::string& p : probes) {
                std::this_thread::sleep_until(next);
                next += std::chrono::milliseconds(20);
                const auto t0 = Clock::now();
                if (!c.Send(p) || !c.WaitUntil([&] { return c.HasPacket(); }, kWait)) break;
                c.TakePacket();
                latencies.push_back(Ms(Clock::now() - t0));
            }
            done = true;
        });
        TMainFormProbe::DistrubuteDemo(*form_).SetInterval(TMainForm::kDistributeIntervalMs);
        TMainFormProbe::DistrubuteDemo(*form_).SetEnabled(true);
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (!done && Clock::now() < deadline) loop_.RunOnce(10);
        probe.join();
        TMainFormProbe::DistrubuteDemo(*form_).SetEnabled(false);
        if (latencies.empty()) return;
        std::sort(latencies.begin(), latencies.end());
        auto at = [&](double q) { return latencies[static_cast<size_t>(q * static_cast<double>(latencies.size() - 1))]; };
        std::printf("DEMOPACKET to ACKNAK under load (%zu packets, one per 20 ms, ticks every 500 ms): median %.2f ms, "
                    "p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    latencies.size(), at(0.5), at(0.9), at(0.99), latencies.back());
    }

    void Stop() {
        form_.reset();
        senders_.clear();
    }

    int viewers_;
    int32_t packets_;
    std::vector<int> join_sizes_;
    int delay_s_;
    Clock::duration clock_offset_{};
    TEventLoop loop_;
    TRecordingFrontEnd front_{
        [](const std::string& error) { std::fprintf(stderr, "relay_load: reported: %s\n", error.c_str()); }};
    std::unique_ptr<TMainForm> form_;
    std::vector<std::unique_ptr<TRelayClient>> senders_;
    load::TViewerChild viewers_child_{"relay_load", false};
};

}  // namespace

int main(int argc, char** argv) {
    const int viewers = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int packets = argc > 2 ? std::atoi(argv[2]) : 1000;
    std::vector<int> joinSizes{1000, 2000};
    if (argc > 3) {
        joinSizes.clear();
        std::string list = argv[3];
        for (size_t at = 0; at < list.size();) {
            size_t comma = list.find(',', at);
            if (comma == std::string::npos) comma = list.size();
            int n = std::atoi(list.substr(at, comma - at).c_str());
            if (n > 0) joinSizes.push_back(n);
            at = comma + 1;
        }
    }
    if (viewers < 1 || packets < 1) {
        std::fprintf(stderr, "usage: relay_load [viewers] [packets-per-game] [join-sizes, e.g. 1000,2000]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    RaiseDescriptorLimit();
    alarm(3600);  // a backstop: every wait below has its own deadline
    const char* delay = std::getenv("RELAY_LOAD_DELAY");
    const int delaySeconds = delay ? std::atoi(delay) : 0;
    if (delaySeconds < 0 || delaySeconds > 3600) {
        std::fprintf(stderr, "relay_load: RELAY_LOAD_DELAY is seconds, 0 to 3600\n");
        return 2;
    }
    return Bench(viewers, packets, joinSizes, delaySeconds).Run();
}
