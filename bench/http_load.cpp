// http_load [viewers] [packets-per-game] [rounds] [ticks]: what the HTTP side
// costs the relay. Ten games with stored demos and many watching viewers on
// loopback (attached to their games directly, as relay_load does; the
// viewers live in a forked child that reads and drops everything); the
// distribution timer runs at its real pace, and the walk of each tick is
// timed (wall and CPU) in three phases:
//   A  no HTTP server at all;
//   B  the HTTP server listening, nobody asking;
//   C  a client polling GET /api/v1/status ten times a second (its answer
//      times are reported too).
// The phases take turns, a few ticks each, for several rounds, so the drift
// of the machine falls on all three alike. Also reported: the loop's CPU
// outside the walks in each phase. Bounded: every wait has a deadline and an
// alarm ends a stuck run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_common.h"
#include "bench/viewer_child.h"
#include "relay/demo_viewer.h"
#include "relay/main_form.h"
#include "client/client_packets.h"
#include "testing/main_form_probe.h"
#include "testing/recording_front_end.h"
#include "client/relay_client.h"
#include "web/web_api.h"

using namespace vistrel;
using namespace vistrel::client;
using namespace vistrel::testing;
using load::Clock;

namespace {

constexpr int kGames = 10;

using load::Ms;
using load::RaiseDescriptorLimit;
using load::ThreadCpuMs;

[[noreturn]] void Fail(const char* what) { load::FailRun("http_load", what); }

int ConnectTo(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) Fail("connect");
    return fd;
}

// A client asking GET /api/v1/status on one kept-alive connection, ten times
// a second, in a thread of its own; answer times in ms.
class TStatusPoller {
public:
    explicit TStatusPoller(uint16_t port) : thread_([this, port] { Run(port); }) {}
    ~TStatusPoller() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::vector<double> Times() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return times_;
    }

private:
    void Run(uint16_t port) {
        const int fd = ConnectTo(port);
        timeval limit{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const std::string request = "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        auto next = Clock::now();
        while (!stop_) {
            std::this_thread::sleep_until(next);
            next += std::chrono::milliseconds(100);
            const auto t0 = Clock::now();
            if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) break;
            std::string in;
            char buf[4096];
            size_t want = std::string::npos;
            while (want == std::string::npos || in.size() < want) {
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    close(fd);
                    return;
                }
                in.append(buf, static_cast<size_t>(n));
                const size_t head = in.find("\r\n\r\n");
                const size_t length = in.find("Content-Length: ");
                if (head != std::string::npos && length != std::string::npos && length < head)
                    want = head + 4 + std::strtoul(in.c_str() + length + 16, nullptr, 10);
            }
            times_.push_back(Ms(Clock::now() - t0));
        }
        close(fd);
    }

    std::atomic<bool> stop_{false};
    std::vector<double> times_;
    std::thread thread_;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

class TBench {
public:
    TBench(int viewers, int packets, int rounds, int ticks)
        : viewers_(viewers), packets_(packets), rounds_(rounds), ticks_(ticks) {}

    int Run() {
        form_ = std::make_unique<TMainForm>(loop_, front_, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
        if (!form_->FormCreate()) return 1;
        TTimer& timer = TMainFormProbe::DistrubuteDemo(*form_);
        timer.SetEnabled(false);
        // Each tick's walk is timed.
        timer.OnTimer = [this] {
            const auto t0 = Clock::now();
            const double c0 = ThreadCpuMs();
            form_->DistrubuteDemoTimer();
            walk_cpu_.push_back(ThreadCpuMs() - c0);
            walks_.push_back(Ms(Clock::now() - t0));
        };
        Upload();
        ConnectViewers();
        Attach();

        struct TPhase {
            const char* name;
            std::vector<double> wall, cpu;
            double cpuBetween = 0;  // ms per second, summed over the rounds
        };
        TPhase phases[3] = {{"A  no HTTP server", {}, {}, 0}, {"B  HTTP server, idle", {}, {}, 0},
                            {"C  GET /api/v1/status 10/s", {}, {}, 0}};
        std::vector<double> answers;
        const auto keep = [&](TPhase& phase) {
            phase.wall.insert(phase.wall.end(), walks_.begin(), walks_.end());
            phase.cpu.insert(phase.cpu.end(), walk_cpu_.begin(), walk_cpu_.end());
            phase.cpuBetween += cpu_between_ / rounds_;
        };
        for (int round = 0; round < rounds_; ++round) {
            Ticks();
            keep(phases[0]);
            TWebOptions options;
            options.Listen = THttpListen{"127.0.0.1", 0};
            options.Version = "load";
            web_ = std::make_unique<TWebApi>(*form_, options);
            web_->Start();
            Ticks();
            keep(phases[1]);
            {
                TStatusPoller poller(web_->LocalPort());
                Ticks();
                keep(phases[2]);
                const std::vector<double> times = poller.Times();
                answers.insert(answers.end(), times.begin(), times.end());
            }
            web_.reset();
        }

        std::printf("distribution tick walk, %d watching viewers in %d games, %d rounds of %d ticks per phase "
                    "at %u ms:\n",
                    viewers_, kGames, rounds_, ticks_, TMainForm::kDistributeIntervalMs);
        const double baseWall = Median(phases[0].wall), baseCpu = Median(phases[0].cpu);
        for (const TPhase& p : phases)
            std::printf("  %-28s wall median %7.2f ms (%+5.1f%%), cpu median %7.2f ms (%+5.1f%%), "
                        "loop cpu outside the walks %.2f ms/s\n",
                        p.name, Median(p.wall), (Median(p.wall) / baseWall - 1) * 100, Median(p.cpu),
                        (Median(p.cpu) / baseCpu - 1) * 100, p.cpuBetween);
        std::sort(answers.begin(), answers.end());
        if (!answers.empty())
            std::printf("GET /api/v1/status answers: %zu, median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                        answers.size(), Median(answers),
                        answers[static_cast<size_t>(0.99 * static_cast<double>(answers.size() - 1))], answers.back());
        form_.reset();
        return 0;
    }

private:
    bool Until(const std::function<bool()>& pred, std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!pred()) {
            if (Clock::now() > deadline) return false;
            loop_.RunOnce(1);
            for (auto& s : senders_) s->Pump();
        }
        return true;
    }

    void Upload() {
        std::mt19937 rng(42);
        const uint16_t port = TMainFormProbe::DemoSenders(*form_).LocalPort();
        for (int g = 0; g < kGames; ++g) {
            senders_.push_back(std::make_unique<TRelayClient>(port));
            senders_.back()->DiscardInput(true);
            if (!Until([&] { return TMainFormProbe::Games(*form_)->Count() == g + 1; }, std::chrono::seconds(10)))
                Fail("sender");
            std::string out = GameInfo("cam" + std::to_string(g), "", "game " + std::to_string(g), "", 0);
            for (int32_t p = 0; p < packets_; ++p) {
                std::string content(1380, '\0');
                for (char& c : content) c = static_cast<char>(rng());
                out += Demo(p, content);
            }
            senders_.back()->Send(out);
        }
        if (!Until(
                [&] {
                    for (int32_t g = 0; g < kGames; ++g)
                        if (TMainFormProbe::Games(*form_)->At(g).Count() < packets_) return false;
                    return true;
                },
                std::chrono::seconds(120)))
            Fail("upload");
    }

    void ConnectViewers() {
        // They take their greeting and only read from then on.
        int64_t reply = 0;
        viewers_child_.Send('P', TMainFormProbe::DemoViewers(*form_).LocalPort());
        if (!Until([&] { return viewers_child_.TryReply(reply); }, std::chrono::seconds(10))) Fail("viewers");
        viewers_child_.Send('G', viewers_);
        if (!Until([&] { return viewers_child_.TryReply(reply); }, std::chrono::seconds(300)) ||
            !Until([&] { return form_->Console().Users().Count() == viewers_; }, std::chrono::seconds(300)))
            Fail("viewers");
    }

    // The state a WAITFORGAME leaves behind, without its broadcasts.
    void Attach() {
        TWSocketServer& viewers = TMainFormProbe::DemoViewers(*form_);
        for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
            auto* viewer = static_cast<TDemoViewer*>(viewers.Client(i));
            TActiveGameList& game = TMainFormProbe::Games(*form_)->At(i % kGames);
            viewer->GameId = game.Identifier();
            viewer->Position = 0;
            TMainFormProbe::GameViewers(*form_).Add(game.Identifier(), *viewer);
            game.SetViewers(game.Viewers() + 1);
        }
    }

    // Runs the timer at its real pace for ticks_ ticks; the walks' times,
    // and the loop's CPU outside them (cpu_between_, ms per second).
    void Ticks() {
        walks_.clear();
        walk_cpu_.clear();
        // Every viewer starts at the front of its game, so each phase sends the same.
        TWSocketServer& viewers = TMainFormProbe::DemoViewers(*form_);
        for (int32_t i = 0; i < viewers.ClientCount(); ++i) static_cast<TDemoViewer*>(viewers.Client(i))->Position = 0;
        TTimer& timer = TMainFormProbe::DistrubuteDemo(*form_);
        timer.SetInterval(TMainForm::kDistributeIntervalMs);
        timer.SetEnabled(true);
        const auto start = Clock::now();
        const double cpu0 = ThreadCpuMs();
        const auto deadline = start + std::chrono::milliseconds(TMainForm::kDistributeIntervalMs) * (ticks_ + 20);
        while (static_cast<int>(walks_.size()) < ticks_ && Clock::now() < deadline) loop_.RunOnce(10);
        timer.SetEnabled(false);
        double walking = 0;
        for (double w : walk_cpu_) walking += w;
        const double seconds = Ms(Clock::now() - start) / 1000;
        cpu_between_ = (ThreadCpuMs() - cpu0 - walking) / seconds;
        if (static_cast<int>(walks_.size()) < ticks_) Fail("the ticks did not come");
    }

    int viewers_;
    int packets_;
    int rounds_;
    int ticks_;
    TEventLoop loop_;
    TRecordingFrontEnd front_{
        [](const std::string& error) { std::fprintf(stderr, "http_load: reported: %s\n", error.c_str()); }};
    std::unique_ptr<TMainForm> form_;
    std::unique_ptr<TWebApi> web_;
    std::vector<std::unique_ptr<TRelayClient>> senders_;
    std::vector<double> walks_, walk_cpu_;
    double cpu_between_ = 0;
    load::TViewerChild viewers_child_{"http_load", false};
};

}  // namespace

int main(int argc, char** argv) {
    const int viewers = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int packets = argc > 2 ? std::atoi(argv[2]) : 100;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 8;
    const int ticks = argc > 4 ? std::atoi(argv[4]) : 6;
    if (viewers < 1 || packets < ticks || ticks < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: http_load [viewers] [packets-per-game >= ticks] [rounds] [ticks per phase]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    alarm(1800);  // a backstop: every wait below has its own deadline
    return TBench(viewers, packets, rounds, ticks).Run();
}
