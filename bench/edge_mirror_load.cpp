// edge_mirror_load [packets-per-game [games ...]]: what an edge relay pays per mirrored
// packet as its origin's list grows. An origin of our own (an HTTP server on
// a second thread with its own loop) lists N finished games of one segment
// each, the same packets in every game; an edge relay (the frame and its
// mirror on this thread) mirrors them all. Reported for N = 100, 1,000 and
// 10,000 in the same run: the edge thread's CPU time from the start until the
// last packet is stored, per packet stored, and its ratio to N = 100's; the
// wall time, the most requests in flight at once, and the log lines left out.
// EDGE_POLL_MS sets the list's poll interval (1000).
// Bounded: every phase has a deadline.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/recording_format.h"
#include "relay/main_form.h"
#include "web/http_server.h"
#include "edge/origin_mirror.h"
#include "client/client_packets.h"
#include "testing/main_form_probe.h"
#include "testing/recording_front_end.h"
#include "bench/load_common.h"

using namespace vistrel;
using namespace vistrel::testing;
using load::Clock;

namespace {

constexpr int kPageGames = 1000;

// The origin: its own loop on its own thread, serving the list and one
// segment body for every game.
class TOrigin {
public:
    TOrigin(int games, std::string segment) : games_(games), segment_(std::move(segment)) {
        std::atomic<uint16_t> port{0};
        thread_ = std::thread([this, &port] {
            TEventLoop loop;
            THttpServer server(loop, [this](const THttpRequest& request) { return Serve(request); });
            server.Start(THttpListen{"127.0.0.1", 0});
            port = server.LocalPort();
            while (!stop_) loop.RunOnce(20);
        });
        while (port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        port_ = port;
    }
    ~TOrigin() {
        stop_ = true;
        thread_.join();
    }
    uint16_t Port() const { return port_; }

private:
    THttpResponse Serve(const THttpRequest& request) const {
        THttpResponse response;
        if (request.Path == "/api/v1/games") {
            const std::string* after = request.QueryValue("after");
            const int from = after ? std::atoi(after->c_str()) : 0;
            nlohmann::json list = nlohmann::json::array();
            for (int id = from + 1; id <= std::min(from + kPageGames, games_); ++id)
                list.push_back({{"id", id},
                                {"opened_ms", 1},
                                {"game_type", 1},
                                {"name", "game " + std::to_string(id)},
                                {"last_segment", 0},
                                {"sender", {{"connected", false}}}});
            response.Body = nlohmann::json{{"games", list}, {"more", from + kPageGames < games_}}.dump();
            return response;
        }
        response.ContentType = "application/octet-stream";
        response.Body = segment_;
        response.Headers.emplace_back("Cache-Control", "public, max-age=31536000, immutable");
        return response;
    }

    const int games_;
    const std::string segment_;
    std::atomic<bool> stop_{false};
    uint16_t port_ = 0;
    std::thread thread_;
};

struct TPhase {
    int Games = 0;
    uint64_t Packets = 0;
    double CpuMs = 0;
    double WallMs = 0;
    size_t MostInFlight = 0;
    uint64_t LeftOut = 0;
    bool Done = false;
};

TPhase Run(int games, int packetsPerGame, const std::string& segment) {
    TPhase phase;
    phase.Games = games;
    TOrigin origin(games, segment);
    TEventLoop loop;
    TRecordingFrontEnd front;
    TMainForm edge(loop, front, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
    if (!edge.FormCreate()) load::FailRun("edge_mirror_load", "FormCreate");
    TMirrorOptions options;
    options.OriginUrl = "http://127.0.0.1:" + std::to_string(origin.Port());
    if (const char* poll = std::getenv("EDGE_POLL_MS"))
        options.PollInterval = std::chrono::milliseconds(std::atoi(poll));
    TOriginMirror mirror(edge.Host(), loop, options);
    const uint64_t want = static_cast<uint64_t>(games) * static_cast<uint64_t>(packetsPerGame);
    const auto start = Clock::now();
    const double cpu = load::ThreadCpuMs();
    mirror.Start();
    const auto deadline = start + std::chrono::seconds(600);
    while (mirror.PacketsStored() < want && Clock::now() < deadline) {
        loop.RunOnce(10);
        phase.MostInFlight = std::max(phase.MostInFlight, mirror.RequestsInFlight());
    }
    phase.CpuMs = load::ThreadCpuMs() - cpu;
    phase.WallMs = load::Ms(Clock::now() - start);
    phase.Packets = mirror.PacketsStored();
    phase.LeftOut = mirror.LinesLeftOut();
    phase.Done = phase.Packets >= want;
    mirror.Stop();
    return phase;
}

}  // namespace

int main(int argc, char** argv) {
    const int packetsPerGame = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 64) : 64;
    load::RaiseDescriptorLimit();
    std::string segment;
    for (int32_t l = 0; l < packetsPerGame; ++l)
        AppendPacketRecord(segment, l,
                           client::Demo(l, "a mirrored packet at location " + std::to_string(l) +
                                               std::string(600, static_cast<char>('a' + l % 26))));
    std::printf("edge_mirror_load: %d packets a game, one segment of %zu bytes\n", packetsPerGame, segment.size());
    std::vector<TPhase> phases;
    std::vector<int> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(std::clamp(std::atoi(argv[i]), 1, 10000));
    if (counts.empty()) counts = {100, 1000, 10000};
    for (int games : counts) phases.push_back(Run(games, packetsPerGame, segment));
    const double base = phases.front().CpuMs / static_cast<double>(std::max<uint64_t>(phases.front().Packets, 1));
    std::printf("%8s %10s %10s %10s %12s %8s %10s %9s\n", "games", "packets", "cpu ms", "wall ms", "cpu us/pkt",
                "ratio", "in flight", "left out");
    bool done = true;
    for (const TPhase& p : phases) {
        const double perPacket = p.CpuMs / static_cast<double>(std::max<uint64_t>(p.Packets, 1));
        std::printf("%8d %10llu %10.0f %10.0f %12.2f %8.2f %10zu %9llu%s\n", p.Games,
                    static_cast<unsigned long long>(p.Packets), p.CpuMs, p.WallMs, perPacket * 1000.0, perPacket / base,
                    p.MostInFlight, static_cast<unsigned long long>(p.LeftOut), p.Done ? "" : "  (not all stored)");
        done = done && p.Done;
    }
    return done ? 0 : 1;
}
