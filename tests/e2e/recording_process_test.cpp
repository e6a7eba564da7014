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

#include "core/recording_format.h"
#include "client/client_packets.h"
#include "client/demo_payload.h"
#include "client/relay_client.h"
#include "client/server_packets.h"
#include "testing/http_client.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/free_port.h"
#include "tests/e2e/noise.h"
#include "tests/e2e/recording_folder.h"

namespace vistrel::testing {
namespace {

using namespace vistrel::client;

using namespace std::chrono_literals;
using Packets = std::vector<std::string>;

// vistreld on loopback, recording into a folder; its output goes to a file.
class TRecordingDaemon {
public:
    // wrapper: a command line that runs the daemon's, given after it.
    TRecordingDaemon(const std::string& dataDir, const std::string& logFile, std::vector<std::string> extra = {},
                     rlim_t fileSizeLimit = 0, std::vector<std::string> wrapper = {})
        : sender_(FreePort()), viewer_(FreePort()), http_(FreePort()) {
        std::vector<std::string> args = wrapper;
        args.insert(args.end(),
                    {VISTRELD_PATH, "--address", "127.0.0.1", "--sender-port", std::to_string(sender_), "--viewer-port",
                     std::to_string(viewer_), "--http", "127.0.0.1:" + std::to_string(http_), "--registry",
                     dataDir + ".reg", "--data-dir", dataDir});
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

// A camera's packet whose bytes hold, over and over, a whole packet record
// for location 0 with a sound CRC (zlib level 0 keeps them verbatim), the
// relay killed at random moments while it takes it (and its record torn
// after the kill where the kill left it whole): after each restart location
// 0 is still the acknowledged packet, never one from inside.
TEST(RecordingProcess, ACraftedPacketTornByAKillNeverReplacesAnAcknowledgedOne) {
    const std::string honest = Demo(0, Noise(1000, 1));
    const std::string inner = EncodeTimedPacketRecord(0, 1, Demo(0, "forged"));
    std::string content;
    while (content.size() + inner.size() < 16000000) content += inner;
    const std::string crafted = RawDemo(1, Deflate(content, 0), Crc(content));
    std::mt19937 random(5);
    int torn = 0, cut = 0;
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        TRecordingFolder folder;
        const std::string log = folder.Path() + ".log";
        int32_t id = 0;
        {
            TRecordingDaemon daemon(folder.Path(), log);
            auto cam = daemon.Connect(daemon.SenderPort());
            ASSERT_TRUE(cam);
            cam->Send(GameInfo("cam", "", "crafted"));
            ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
            cam->TakePacket();
            cam->Send(honest);
            ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
            ASSERT_EQ(AckValueOf(cam->TakePacket()), 0);
            id = daemon.Games()["crafted"];
            cam->Send(crafted);
            const auto sent = std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 40000);
            while (std::chrono::steady_clock::now() < sent) cam->Pump();
            daemon.Process().Kill();
        }
        // Where the kill left the crafted record whole, it is torn here at a
        // random point past its head, as a kill in the middle of its write would.
        const std::string file = folder.File("game-" + std::to_string(id) + ".vrec");
        const size_t record = kTimedPacketRecordHeadSize + crafted.size();
        const off_t size = static_cast<off_t>(ReadWholeFile(file).size());
        const bool whole = static_cast<size_t>(size) > record && RecordIn(ReadWholeFile(file), 1, crafted) != "";
        if (whole) {
            ASSERT_EQ(truncate(file.c_str(), size - 1 - static_cast<off_t>(random() % (record - 40))), 0);
        }
        TRecordingDaemon again(folder.Path(), log);
        const Packets recorded = again.RecordedPackets(id);
        ASSERT_FALSE(recorded.empty()) << ReadLog(log);
        EXPECT_EQ(recorded[0], honest);
        EXPECT_TRUE(recorded.size() == 1 || (!whole && recorded.size() == 2 && recorded[1] == crafted));
        const Packets watched = again.Watch(id, recorded.size());
        ASSERT_FALSE(watched.empty());
        EXPECT_EQ(watched[0], honest);
        torn += ReadLog(log).find("a torn last record") != std::string::npos;
        cut += whole;
    }
    std::printf("10 kills, %d of them tore the crafted packet's record (the others' records torn after)\n", torn - cut);
}

// A data folder that cannot be written, made so for real: a read-only bind
// mount in a mount namespace of the daemon's own (skipped where none can be
// made). Its recordings are served as they are (a torn tail passed over, the
// file not changed), the folder's state is said once, new packets are
// answered ACKNAK 1, and no identifier a file holds is given out again.
TEST(RecordingProcess, AReadOnlyDataFolderIsServedAsItIsAndRefusesNewPackets) {
    if (system("/usr/bin/unshare -rm true 2>/dev/null") != 0) GTEST_SKIP() << "no mount namespace can be made here";
    TRecordingFolder folder;
    const std::string log = folder.Path() + ".log";
    Packets sent;
    int32_t id = 0;
    {
        TRecordingDaemon daemon(folder.Path(), log);
        auto cam = daemon.Connect(daemon.SenderPort());
        ASSERT_TRUE(cam);
        cam->Send(GameInfo("cam", "", "kept"));
        ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
        cam->TakePacket();
        for (int32_t i = 0; i < 5; ++i) {
            sent.push_back(Demo(i, Noise(2000, static_cast<uint32_t>(i))));
            cam->Send(sent.back());
            ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
            ASSERT_EQ(AckValueOf(cam->TakePacket()), 0);
        }
        id = daemon.Games()["kept"];
    }
    const std::string file = folder.File("game-" + std::to_string(id) + ".vrec");
    const std::string bytes = ReadWholeFile(file) + EncodeTimedPacketRecord(5, 1, Demo(5, "torn")).substr(0, 30);
    WriteWholeFile(file, bytes);

    const std::string dir = folder.Path();
    TRecordingDaemon daemon(dir, log, {}, 0,
                            {"/usr/bin/unshare", "-rm", "/bin/sh", "-c",
                             "mount --bind '" + dir + "' '" + dir + "' && mount -o remount,ro,bind '" + dir + "' '" +
                                 dir + "' && exec \"$0\" \"$@\""});
    EXPECT_EQ(daemon.Watch(id, sent.size()), sent);
    auto cam = daemon.Connect(daemon.SenderPort());
    ASSERT_TRUE(cam);
    cam->Send(GameInfo("cam", "", "new"));
    ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
    cam->TakePacket();
    cam->Send(Demo(0, "refused"));
    ASSERT_TRUE(cam->WaitUntil([&] { return cam->HasPacket(); }, 5000ms));
    EXPECT_EQ(AckValueOf(cam->TakePacket()), 1);
    EXPECT_EQ(daemon.Games()["new"], id + 1);
    daemon.Process().Kill();
    const std::string text = ReadLog(log);
    EXPECT_NE(text.find("Recording " + file + ": a torn last record of 30 bytes at byte " +
                        std::to_string(bytes.size() - 30) + " is passed over (the file cannot be written)"),
              std::string::npos)
        << text;
    const std::string state =
        "The data folder " + dir +
        " cannot be written (Read-only file system): its recordings are served as they are (1 files";
    EXPECT_NE(text.find(state), std::string::npos) << text;
    EXPECT_EQ(text.find(state), text.rfind(state));
    EXPECT_EQ(text.find("left alone"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(file), bytes);
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
