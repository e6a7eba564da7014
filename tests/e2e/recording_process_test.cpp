// vistreld recording to a temporary folder, as a process: killed with
// SIGKILL at random points of uploads, many times, each restart brings back
// every acknowledged packet (a viewer receives them byte for byte, in order,
// and the downloaded recordings hold them); a file size limit standing in for
// a full disk answers ACKNAK 1 and loses nothing acknowledged.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/child_process.h"
#include "tests/e2e/free_port.h"
#include "tests/e2e/noise.h"
#include "core/recording_format.h"
#include "tests/e2e/recording_folder.h"
#include "client/client_packets.h"
#include "testing/http_client.h"
#include "client/relay_client.h"
#include "client/server_packets.h"

namespace vistrel::testing {
namespace {

using namespace vistrel::client;

using namespace std::chrono_literals;
using Packets = std::vector<std::string>;

// vistreld on loopback, recording into a folder; its output goes to a file.
class TRecordingDaemon {
public:
    TRecordingDaemon(const std::string& dataDir, const std::string& logFile, std::vector<std::string> extra = {},
                     rlim_t fileSizeLimit = 0)
        : sender_(FreePort()), viewer_(FreePort()), http_(FreePort()) {
        std::vector<std::string> args = {VISTRELD_PATH,   "--address",      "127.0.0.1",
                                         "--sender-port", std::to_string(sender_), "--viewer-port",
                                         std::to_string(viewer_), "--http", "127.0.0.1:" + std::to_string(http_),
                                         "--registry",    dataDir + ".reg", "--data-dir", dataDir};
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<TChildProcess>(args, TChildOptions{.Output = logFile, .FileSizeLimit = fileSizeLimit});
    }

    TChildProcess& Process() { return *process_; }
    uint16_t SenderPort() const { return static_cast<uint16_t>(sender_); }
    uint16_t ViewerPort() const { return static_cast<uint16_t>(viewer_); }

    // A client that has read its greeting (retrying while the daemon starts).
    std::unique_ptr<TRelayClient> Connect(uint16_t port) {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < until) {
            auto client = std::make_unique<TRelayClient>(port);
            if (client->Connected() &&
                client->WaitUntil([&] { return client->Unread().size() >= kGreetingSize; }, 2000ms)) {
                client->Take(kGreetingSize);
                return client;
            }
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "no relay on port " << port;
        return nullptr;
    }

    // GET path on the HTTP side: status and body.
    std::pair<int, std::string> Get(const std::string& path) {
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < until) {
            THttpClient client(static_cast<uint16_t>(http_));
            if (!client.Connected()) {
                // Not listening yet.
                std::this_thread::sleep_for(20ms);
                continue;
            }
            client.Send(HttpRequestText("GET", path, {{"Connection", "close"}}));
            while (std::chrono::steady_clock::now() < until) {
                client.Pump();
                if (client.HasReply()) {
                    THttpReply reply = client.TakeReply();
                    return {reply.Status, reply.Body};
                }
                if (client.Ended()) break;
                std::this_thread::sleep_for(2ms);
            }
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "no answer to " << path;
        return {0, {}};
    }
    // The games by name.
    std::map<std::string, int32_t> Games() {
        std::map<std::string, int32_t> games;
        const auto [status, body] = Get("/api/v1/games");
        if (status != 200) return games;
        const nlohmann::json list = nlohmann::json::parse(body);
        for (const auto& game : list["games"]) games[game["name"].get<std::string>()] = game["id"].get<int32_t>();
        return games;
    }
    // The packets of a game's recording, in file order.
    Packets RecordedPackets(int32_t id) {
        const auto [status, body] = Get("/api/v1/games/" + std::to_string(id) + "/recording");
        Packets packets;
        EXPECT_EQ(status, 200);
        std::string_view rest(body);
        if (ReadRecordingHeader(rest).Status != THeaderStatus::Valid) return packets;
        rest.remove_prefix(kRecordingHeaderSize);
        while (!rest.empty()) {
            const TRecordRead record = ReadRecord(rest);
            EXPECT_EQ(record.Status, TRecordStatus::Complete) << "the file's records are all sound";
            if (record.Status != TRecordStatus::Complete) break;
            int32_t location = 0;
            int64_t ackMs = 0;
            std::string_view packet;
            if (ReadAnyPacketRecord(record, location, ackMs, packet)) packets.emplace_back(packet);
            rest.remove_prefix(record.Size);
        }
        return packets;
    }
    // What a viewer joining game id receives, one packet per tick, until
    // count packets have come or the ticks stop bringing more.
    Packets Watch(int32_t id, size_t count) {
        Packets got;
        auto viewer = Connect(ViewerPort());
        if (!viewer) return got;
        // USERINFO is taken whole before anything else may follow it.
        viewer->Send(UserInfo("watcher"));
        if (!viewer->WaitUntil([&] { return viewer->HasPacket(); }, 5000ms)) return got;
        EXPECT_EQ(Describe(viewer->TakePacket()), "ACKNAK(0)");
        viewer->Send(WaitForGame(id));
        bool joined = false;
        auto last = std::chrono::steady_clock::now();
        while (got.size() < count && std::chrono::steady_clock::now() - last < 3s) {
            viewer->WaitUntil([&] { return viewer->HasPacket(); }, 200ms);
            while (viewer->HasPacket()) {
                const std::string packet = viewer->TakePacket();
                const int32_t type = TypeOf(packet);
                if (type == PacketType::DEMOPACKET || type == PacketType::DEMORESTART) {
                    EXPECT_TRUE(joined);
                    got.push_back(packet);
                    last = std::chrono::steady_clock::now();
                } else if (type == PacketType::ACKNAK) {
                    joined = true;
                }
            }
        }
        return got;
    }

private:
    int sender_;
    int viewer_;
    int http_;
    std::unique_ptr<TChildProcess> process_;
};

std::string ReadLog(const std::string& path) { return ReadWholeFile(path); }

// Rounds of: start the relay on the folder; check every game of the
// earlier rounds (its recording holds its acknowledged packets first, and
// the newest one's viewer receives them); upload a new game pipelined and
// kill the relay at a random moment of it.
void KillDuringUploads(int rounds, uint32_t seed) {
    TRecordingFolder folder;
    const std::string log = folder.Path() + ".log";
    std::mt19937 random(seed);
    std::vector<Packets> sent;          // per round
    std::vector<size_t> acknowledged;   // per round
    for (int round = 0; round <= rounds; ++round) {
        TRecordingDaemon daemon(folder.Path(), log);
        auto cam = daemon.Connect(daemon.SenderPort());
        ASSERT_TRUE(cam);
        const std::map<std::string, int32_t> games = daemon.Games();
        for (int earlier = 0; earlier < round; ++earlier) {
            const std::string name = "round " + std::to_string(earlier);
            const auto found = games.find(name);
            if (found == games.end()) {
                // Killed before its description was written: then nothing
                // of it was acknowledged either.
                EXPECT_EQ(acknowledged[static_cast<size_t>(earlier)], 0u)
                    << name << "\n" << daemon.Get("/api/v1/games").second << ReadLog(log);
                continue;
            }
            const Packets recorded = daemon.RecordedPackets(found->second);
            const Packets& upload = sent[static_cast<size_t>(earlier)];
            ASSERT_GE(recorded.size(), acknowledged[static_cast<size_t>(earlier)]) << name << "\n" << ReadLog(log);
            ASSERT_LE(recorded.size(), upload.size()) << name;
            EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), upload.begin())) << name;
            if (earlier == round - 1) {
                // What a viewer receives from the restored game.
                const Packets watched = daemon.Watch(found->second, recorded.size());
                EXPECT_TRUE(watched == recorded) << name << ": " << watched.size() << " packets watched of "
                                                 << recorded.size();
            }
        }
        if (round == rounds) break;

        // A new game, uploaded without waiting for the answers.
        const std::string name = "round " + std::to_string(round);
        Packets upload;
        for (int32_t i = 0; i < 6; ++i)
            upload.push_back(Demo(i, Noise(100000 + random() % 3000000, random())));
        sent.push_back(upload);
        cam->Send(GameInfo("cam", "", name));
        ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
        ASSERT_EQ(AckValueOf(cam->TakePacket()), 0);
        for (const std::string& p : upload) cam->Send(p);
        const auto killAt = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 40000);
        while (std::chrono::steady_clock::now() < killAt) cam->Pump();
        daemon.Process().Kill();
        // The answers that reached this side before the kill.
        cam->WaitUntil([&] { return cam->Ended(); }, 2000ms);
        size_t acks = 0;
        while (cam->HasPacket()) {
            const std::string answer = cam->TakePacket();
            ASSERT_EQ(AckValueOf(answer), 0);
            ++acks;
        }
        acknowledged.push_back(acks);
    }
    size_t total = 0, partial = 0;
    for (size_t r = 0; r < acknowledged.size(); ++r) {
        total += acknowledged[r];
        if (acknowledged[r] > 0 && acknowledged[r] < sent[r].size()) ++partial;
    }
    std::printf("%d kills: %zu packets acknowledged, %zu uploads cut in the middle\n", rounds, total, partial);
}

// Two series of kill points, each over folders of its own.
TEST(RecordingProcess, KilledAtRandomPointsOfUploadsItLosesNoAcknowledgedPacket) {
    for (const uint32_t seed : {12u, 977u}) {
        SCOPED_TRACE("kill points of seed " + std::to_string(seed));
        KillDuringUploads(10, seed);
    }
}

TEST(RecordingProcess, ADataFolderThatCannotBeMadeEndsTheStartWithStatus1) {
    TRecordingFolder folder;
    const std::string log = folder.Path() + ".log";
    ASSERT_EQ(system(("mkdir -p '" + folder.Path() + "' && touch '" + folder.Path() + "/file'").c_str()), 0);
    TRecordingDaemon daemon(folder.Path() + "/file/data", log);
    const int status = daemon.Process().Wait(10s);
    EXPECT_EQ(status, 1);
    EXPECT_NE(ReadLog(log).find("vistreld: Cannot use the data folder " + folder.Path() + "/file/data: Not a directory"),
              std::string::npos)
        << ReadLog(log);
}

TEST(RecordingProcess, AFileSizeLimitAnswersAckNak1AndLosesNothingAcknowledged) {
    TRecordingFolder folder;
    const std::string log = folder.Path() + ".log";
    Packets acknowledged;
    int32_t id = 0;
    {
        TRecordingDaemon daemon(folder.Path(), log, {}, 100000);
        auto cam = daemon.Connect(daemon.SenderPort());
        ASSERT_TRUE(cam);
        cam->Send(GameInfo("cam", "", "limited"));
        ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
        cam->TakePacket();
        size_t refused = 0;
        for (int32_t i = 0; i < 12; ++i) {
            const std::string packet = Demo(i, Noise(15000, static_cast<uint32_t>(i)));
            cam->Send(packet);
            ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
            if (AckValueOf(cam->TakePacket()) == 0) {
                EXPECT_EQ(refused, 0u);
                acknowledged.push_back(packet);
            } else {
                ++refused;
            }
        }
        EXPECT_EQ(acknowledged.size(), 6u);
        EXPECT_EQ(refused, 6u);
        id = daemon.Games()["limited"];
        const auto [status, metrics] = daemon.Get("/metrics");
        EXPECT_NE(metrics.find("vistrel_disk_write_errors_total 6\n"), std::string::npos) << metrics;
        EXPECT_NE(metrics.find("vistrel_demo_packet_checks_total{outcome=\"not_written\"} 6\n"), std::string::npos);
    }
    EXPECT_NE(ReadLog(log).find("Cannot record the packets of 127.0.0.1 for game " + std::to_string(id) +
                                ": File too large; they are refused"),
              std::string::npos)
        << ReadLog(log);
    TRecordingDaemon again(folder.Path(), log);
    EXPECT_TRUE(again.RecordedPackets(id) == acknowledged);
    EXPECT_TRUE(again.Watch(id, acknowledged.size()) == acknowledged);
}

}  // namespace
}  // namespace vistrel::testing
