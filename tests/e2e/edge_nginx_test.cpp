// Edge relays through a real cache: an origin vistreld, Debian's nginx as a
// caching reverse proxy (docs/deploy/nginx-cache.conf, with its own prefix,
// cache and ports in a temporary folder) and two edge vistrelds pulling
// through it, all processes on loopback started and stopped here. A camera
// uploads to the origin while viewers watch on both edges and on the origin.
// And nginx with TLS (docs/deploy/nginx-tls.conf) in front of one relay.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/recording_format.h"
#include "client/client_packets.h"
#include "client/relay_client.h"
#include "client/server_packets.h"
#include "testing/http_client.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/free_port.h"
#include "tests/e2e/live_relay.h"
#include "tests/e2e/tls_tools.h"

namespace vistrel::testing {
namespace {

using namespace std::chrono_literals;
using namespace vistrel::client;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A relay process with its ports.
struct TRelay {
    uint16_t SenderPort = 0;
    uint16_t ViewerPort = 0;
    uint16_t HttpPort = 0;
    std::unique_ptr<TChildProcess> Process;
};

uint64_t Metric(uint16_t port, const std::string& sample) {
    const std::string text = HttpGet(port, "/metrics").Body;
    const size_t at = text.find("\n" + sample + " ");
    return at == std::string::npos ? ~uint64_t{0} : std::stoull(text.substr(at + sample.size() + 2));
}

// A viewer that keeps the arrival time of each demo packet it receives.
struct TTimedViewer {
    std::unique_ptr<TRelayClient> Client;
    std::vector<std::string> Packets;
    std::vector<Clock::time_point> Arrived;
    void Take() {
        Client->Pump();
        while (Client->HasPacket()) {
            std::string p = Client->TakePacket();
            if (TypeOf(p) == PacketType::DEMOPACKET || TypeOf(p) == PacketType::DEMORESTART) {
                Packets.push_back(std::move(p));
                Arrived.push_back(Clock::now());
            }
        }
    }
};

class EdgeThroughNginx : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(NGINX_PATH, X_OK) != 0) GTEST_SKIP() << "nginx is not installed (tools/install-deps.sh)";
        char pattern[] = "/tmp/vistrel-edge-nginx-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        StartOrigin();
        StartNginx();
        for (int e = 0; e < 2; ++e) StartEdge(e);
    }
    void TearDown() override {
        viewers_.clear();
        camera_.reset();
        for (TRelay& edge : edges_)
            if (edge.Process) edge.Process->Stop(SIGTERM);
        if (origin_.Process) origin_.Process->Stop(SIGTERM);
        if (nginx_) nginx_->Stop(SIGQUIT);
        if (HasFailure() && !dir_.empty()) {
            for (const char* name : {"origin.out", "edge0.out", "edge1.out", "nginx/error.log", "nginx/access.log"}) {
                const std::string text = ReadFile(dir_ + "/" + name);
                std::printf("----- %s (last 3000 bytes)\n%s\n", name,
                            text.substr(text.size() > 3000 ? text.size() - 3000 : 0).c_str());
            }
        }
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::vector<std::string> RelayArgs(TRelay& relay, const std::string& name) {
        return {VISTRELD_PATH, "--address", "127.0.0.1", "--sender-port", std::to_string(relay.SenderPort),
                "--viewer-port", std::to_string(relay.ViewerPort), "--http", "127.0.0.1:" + std::to_string(relay.HttpPort),
                "--registry", dir_ + "/" + name + ".reg", "--max-memory", "256M", "--no-recording"};
    }
    void StartRelay(TRelay& relay, const std::string& name, std::vector<std::string> extra) {
        if (auto delay = delays_.find(name);
            delay != delays_.end() && !std::filesystem::exists(dir_ + "/" + name + ".reg"))
            std::ofstream(dir_ + "/" + name + ".reg")
                << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
                << "\"BroadcastDelaySpin\"=dword:" << delay->second << "\n";
        for (int attempt = 0; attempt < 5; ++attempt) {
            if (relay.SenderPort == 0 || attempt > 0) {
                relay.SenderPort = FreePort();
                relay.ViewerPort = FreePort();
                relay.HttpPort = FreePort();
            }
            std::vector<std::string> args = RelayArgs(relay, name);
            args.insert(args.end(), extra.begin(), extra.end());
            relay.Process = std::make_unique<TChildProcess>(args, TChildOptions{.Output = dir_ + "/" + name + ".out"});
            const auto until = Clock::now() + 5s;
            while (Clock::now() < until && relay.Process->Running() && !PortAnswers(relay.HttpPort))
                std::this_thread::sleep_for(20ms);
            if (relay.Process->Running() && PortAnswers(relay.HttpPort)) return;
            relay.Process->Kill();
        }
        FAIL() << name << " did not start";
    }
    // A relay started again keeps the ports it had.
    void StartOrigin() { StartRelay(origin_, "origin", {}); }
    void StartEdge(int e) {
        StartRelay(edges_[e], "edge" + std::to_string(e),
                   {"--forward-from", "http://127.0.0.1:" + std::to_string(nginx_port_)});
    }

    void StartNginx() {
        const std::string prefix = dir_ + "/nginx";
        std::filesystem::create_directories(prefix + "/cache");
        std::filesystem::create_directories(prefix + "/temp");
        std::string site;
        ASSERT_FALSE(ReadFile(std::string(SOURCE_DIR) + "/docs/deploy/nginx-cache.conf").empty());
        const auto replace = [&site](const std::string& from, const std::string& to) {
            const size_t at = site.find(from);
            ASSERT_NE(at, std::string::npos) << from;
            site.replace(at, from.size(), to);
        };
        for (int attempt = 0; attempt < 5; ++attempt) {
            nginx_port_ = FreePort();
            site = ReadFile(std::string(SOURCE_DIR) + "/docs/deploy/nginx-cache.conf");
            replace("/var/cache/nginx/vistrel", prefix + "/cache");
            replace("server 127.0.0.1:38964;", "server 127.0.0.1:" + std::to_string(origin_.HttpPort) + ";");
            replace("listen 8080;", "listen 127.0.0.1:" + std::to_string(nginx_port_) + ";");
            std::ofstream(prefix + "/site.conf") << site;
            std::ofstream conf(prefix + "/nginx.conf");
            conf << (geteuid() == 0 ? "user root root;\n" : "") << "daemon off;\nworker_processes 1;\n"
                 << "pid " << prefix << "/nginx.pid;\nerror_log " << prefix << "/error.log info;\n"
                 << "events { worker_connections 256; }\n"
                 << "http {\n"
                 << "  access_log " << prefix << "/access.log;\n"
                 << "  client_body_temp_path " << prefix << "/temp/body;\n"
                 << "  proxy_temp_path " << prefix << "/temp/proxy;\n"
                 << "  fastcgi_temp_path " << prefix << "/temp/fastcgi;\n"
                 << "  uwsgi_temp_path " << prefix << "/temp/uwsgi;\n"
                 << "  scgi_temp_path " << prefix << "/temp/scgi;\n"
                 << "  include " << prefix << "/site.conf;\n"
                 << "}\n";
            conf.close();
            nginx_ = std::make_unique<TChildProcess>(
                std::vector<std::string>{NGINX_PATH, "-p", prefix, "-c", prefix + "/nginx.conf", "-e",
                                         prefix + "/error.log"},
                TChildOptions{.Output = dir_ + "/nginx.out"});
            const auto until = Clock::now() + 5s;
            while (Clock::now() < until && nginx_->Running() && !PortAnswers(nginx_port_))
                std::this_thread::sleep_for(20ms);
            if (nginx_->Running() && PortAnswers(nginx_port_)) return;
            nginx_->Kill();
        }
        FAIL() << "nginx did not start: " << ReadFile(prefix + "/error.log") << ReadFile(dir_ + "/nginx.out");
    }

    // The camera: logged in to the origin, its game opened.
    void StartCamera() {
        camera_ = std::make_unique<TRelayClient>(origin_.SenderPort);
        ASSERT_TRUE(camera_->WaitUntil([&] { return camera_->Unread().size() >= kGreetingSize; }, 5s));
        camera_->Take(kGreetingSize);
        camera_->Send(GameInfo("Cam", "", "Final", "ctf", 1));
        ASSERT_TRUE(camera_->WaitUntil([&] { return camera_->HasPacket(); }, 5s));
        EXPECT_EQ(AckValueOf(camera_->TakePacket()), 0);
    }
    // Uploads a packet, waits for its acknowledgement (the camera is also
    // sent its game's notices) and keeps it as the origin stores it.
    void Upload(int32_t location, const std::string& content) {
        const std::string packet = Demo(location, content);
        camera_->Send(packet);
        std::string answer;
        ASSERT_TRUE(camera_->WaitUntil(
            [&] {
                while (camera_->HasPacket()) {
                    std::string p = camera_->TakePacket();
                    if (TypeOf(p) == PacketType::ACKNAK) {
                        answer = p;
                        return true;
                    }
                }
                return false;
            },
            5s));
        EXPECT_EQ(AckValueOf(answer), 0);
        uploaded_[location] = packet;
    }
    // Segment n as the origin stores what was uploaded.
    std::string Expected(int32_t n) const {
        std::string body;
        for (const auto& [location, packet] : uploaded_)
            if (location / 64 == n) AppendPacketRecord(body, location, packet);
        return body;
    }

    // The id of the first game a relay lists (0 while none).
    int32_t FirstGame(uint16_t httpPort) {
        const json list = json::parse(HttpGet(httpPort, "/api/v1/games").Body, nullptr, false);
        if (list.is_discarded() || !list.contains("games") || list["games"].empty()) return 0;
        return list["games"][0]["id"].get<int32_t>();
    }
    int32_t WaitForFirstGame(uint16_t httpPort) {
        int32_t id = 0;
        const auto until = Clock::now() + 10s;
        while ((id = FirstGame(httpPort)) == 0 && Clock::now() < until) std::this_thread::sleep_for(50ms);
        return id;
    }
    // A viewer of the relay watching game id.
    TTimedViewer& Watch(uint16_t viewerPort, int32_t id) {
        auto viewer = std::make_unique<TTimedViewer>();
        viewer->Client = std::make_unique<TRelayClient>(viewerPort);
        TRelayClient& c = *viewer->Client;
        EXPECT_TRUE(c.WaitUntil([&] { return c.Unread().size() >= kGreetingSize; }, 5s));
        c.Take(kGreetingSize);
        c.Send(UserInfo("viewer" + std::to_string(viewers_.size())));
        // The relay may take more than a USERINFO's bytes with it: the
        // request to watch waits for its answer.
        EXPECT_TRUE(c.WaitUntil([&] { return c.HasPacket(); }, 5s));
        EXPECT_EQ(AckValueOf(c.TakePacket()), 0);
        c.Send(WaitForGame(id));
        viewers_.push_back(std::move(viewer));
        return *viewers_.back();
    }
    // Reads every viewer for the given time.
    void KeepWatching(std::chrono::milliseconds span) {
        const auto until = Clock::now() + span;
        while (Clock::now() < until) {
            for (auto& v : viewers_) v->Take();
            std::this_thread::sleep_for(5ms);
        }
    }
    // Segment n of a relay's game, as it serves it.
    std::string Segment(uint16_t httpPort, int32_t id, int32_t n) {
        const THttpReply reply =
            HttpGet(httpPort, "/api/v1/games/" + std::to_string(id) + "/segments/" + std::to_string(n));
        return reply.Status == 200 ? reply.Body : "status " + std::to_string(reply.Status);
    }
    // Whether the edge stores what the origin stores, segment by segment
    // (without asking the origin, whose count of segments served is checked).
    bool EdgeHoldsTheOrigin(const TRelay& edge, int32_t segments) {
        const int32_t edgeId = FirstGame(edge.HttpPort);
        if (edgeId == 0) return false;
        for (int32_t n = 0; n < segments; ++n)
            if (Segment(edge.HttpPort, edgeId, n) != Expected(n)) return false;
        return true;
    }
    bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
        const auto until = Clock::now() + limit;
        while (Clock::now() < until) {
            if (pred()) return true;
            for (auto& v : viewers_) v->Take();
            std::this_thread::sleep_for(50ms);
        }
        return pred();
    }

    // A relay's broadcast delay in seconds, by name ("origin", "edge0"), for
    // a fixture that sets them before SetUp.
    std::map<std::string, int> delays_;
    std::string dir_;
    TRelay origin_;
    TRelay edges_[2];
    std::unique_ptr<TChildProcess> nginx_;
    uint16_t nginx_port_ = 0;
    std::unique_ptr<TRelayClient> camera_;
    std::map<int32_t, std::string> uploaded_;
    std::vector<std::unique_ptr<TTimedViewer>> viewers_;
};

TEST_F(EdgeThroughNginx, ViewersEverywhereReceiveTheSamePacketsAndEachFinalSegmentLeavesTheOriginOnce) {
    StartCamera();
    const int32_t id = WaitForFirstGame(origin_.HttpPort);
    ASSERT_NE(id, 0);
    TTimedViewer& atOrigin = Watch(origin_.ViewerPort, id);
    std::vector<TTimedViewer*> atEdges;
    for (TRelay& edge : edges_) {
        const int32_t edgeId = WaitForFirstGame(edge.HttpPort);
        ASSERT_NE(edgeId, 0);
        atEdges.push_back(&Watch(edge.ViewerPort, edgeId));
    }

    // Live: two packets a second, as fast as the viewers are sent them.
    const int32_t live = 30;
    for (int32_t l = 0; l < live; ++l) {
        Upload(l, "live packet " + std::to_string(l));
        KeepWatching(500ms);
    }
    KeepWatching(3s);
    ASSERT_EQ(atOrigin.Packets.size(), static_cast<size_t>(live));
    double worst = 0;
    for (TTimedViewer* edge : atEdges) {
        ASSERT_EQ(edge->Packets.size(), static_cast<size_t>(live));
        for (int32_t l = 0; l < live; ++l) {
            const auto i = static_cast<size_t>(l);
            EXPECT_EQ(edge->Packets[i], atOrigin.Packets[i]) << "location " << l;
            const double behind = std::chrono::duration<double>(edge->Arrived[i] - atOrigin.Arrived[i]).count();
            worst = std::max(worst, behind);
            EXPECT_LE(behind, 2.0) << "location " << l;
        }
    }
    std::printf("an edge viewer was at most %.2f s behind the origin's viewer\n", worst);

    // The rest of two segments at once, with location 70 sent again while
    // its segment is still open.
    for (int32_t l = live; l < 72; ++l) Upload(l, "packet " + std::to_string(l));
    Upload(70, "packet 70, sent again");
    for (TRelay& edge : edges_)
        EXPECT_TRUE(WaitUntil([&] { return EdgeHoldsTheOrigin(edge, 2); }, 15s));
    for (TRelay& edge : edges_)
        EXPECT_NE(Segment(edge.HttpPort, FirstGame(edge.HttpPort), 1).find(Demo(70, "packet 70, sent again")),
                  std::string::npos);
    // Segment 0 is final: it left the origin once, for both edges; nginx
    // served the rest.
    EXPECT_EQ(Metric(origin_.HttpPort, "vistrel_http_segment_requests_total{state=\"final\"}"), 1u);

    // An edge restarted mid-game catches up, from the cache.
    ASSERT_TRUE(edges_[1].Process->Stop(SIGTERM));
    Upload(72, "while an edge is down");
    StartEdge(1);
    EXPECT_TRUE(WaitUntil([&] { return EdgeHoldsTheOrigin(edges_[1], 2); }, 15s));
    EXPECT_EQ(Metric(origin_.HttpPort, "vistrel_http_segment_requests_total{state=\"final\"}"), 1u);
    // Its viewers watch from the start.
    TTimedViewer& late = Watch(edges_[1].ViewerPort, FirstGame(edges_[1].HttpPort));
    EXPECT_TRUE(WaitUntil([&] { return late.Packets.size() >= 4; }, 10s));
    for (size_t i = 0; i < late.Packets.size(); ++i) EXPECT_EQ(late.Packets[i], atOrigin.Packets[i]);
}

TEST_F(EdgeThroughNginx, EdgesKeepServingWhileTheOriginIsDownAndFollowItsNewStateAfter) {
    StartCamera();
    const int32_t id = WaitForFirstGame(origin_.HttpPort);
    ASSERT_NE(id, 0);
    for (int32_t l = 0; l < 10; ++l) Upload(l, "packet " + std::to_string(l));
    for (TRelay& edge : edges_) ASSERT_TRUE(WaitUntil([&] { return EdgeHoldsTheOrigin(edge, 1); }, 15s));

    // The origin stops (it keeps no recording: its games end with it).
    camera_.reset();
    ASSERT_TRUE(origin_.Process->Stop(SIGTERM));
    std::this_thread::sleep_for(3s);
    for (int e = 0; e < 2; ++e) {
        TRelay& edge = edges_[e];
        const int32_t edgeId = FirstGame(edge.HttpPort);
        ASSERT_NE(edgeId, 0) << "edge " << e << " dropped its game while the origin was down";
        // A new viewer still watches the stored game.
        TTimedViewer& viewer = Watch(edge.ViewerPort, edgeId);
        EXPECT_TRUE(WaitUntil([&] { return viewer.Packets.size() >= 3; }, 5s));
        const std::string output = edges_[e].Process->Output();
        size_t outages = 0;
        for (size_t at = output.find("cannot be read"); at != std::string::npos; at = output.find("cannot be read", at + 1))
            ++outages;
        EXPECT_EQ(outages, 1u) << "edge " << e;
    }

    // Back, on the same ports, with a new game: the edges drop the games
    // it no longer has and mirror the new one.
    StartOrigin();
    uploaded_.clear();
    StartCamera();
    const int32_t next = WaitForFirstGame(origin_.HttpPort);
    ASSERT_NE(next, 0);
    for (int32_t l = 0; l < 5; ++l) Upload(l, "after the restart " + std::to_string(l));
    for (int e = 0; e < 2; ++e) {
        TRelay& edge = edges_[e];
        EXPECT_TRUE(WaitUntil(
            [&] {
                const json list = json::parse(HttpGet(edge.HttpPort, "/api/v1/games").Body, nullptr, false);
                return !list.is_discarded() && list["games"].size() == 1 && EdgeHoldsTheOrigin(edge, 1);
            },
            20s))
            << "edge " << e;
        EXPECT_NE(edge.Process->Output().find("answers again"), std::string::npos);
    }
}

// Delay tiers: casters at the origin's short delay, the public at an edge's
// longer one counted from when the edge received each packet.
class EdgeThroughNginxUnderDelays : public EdgeThroughNginx {
protected:
    void SetUp() override {
        delays_ = {{"origin", 2}, {"edge0", 3}};
        EdgeThroughNginx::SetUp();
    }
    json ListedGame(uint16_t httpPort) {
        const json list = json::parse(HttpGet(httpPort, "/api/v1/games").Body, nullptr, false);
        return list.is_discarded() || list["games"].empty() ? json::object() : list["games"][0];
    }
};

TEST_F(EdgeThroughNginxUnderDelays, EachTierHoldsItsDelayAndNothingHeldLeaksThroughTheCache) {
    StartCamera();
    const int32_t id = WaitForFirstGame(origin_.HttpPort);
    ASSERT_NE(id, 0);
    int32_t edgeIds[2] = {WaitForFirstGame(edges_[0].HttpPort), WaitForFirstGame(edges_[1].HttpPort)};
    ASSERT_NE(edgeIds[0], 0);
    ASSERT_NE(edgeIds[1], 0);
    TTimedViewer& atOrigin = Watch(origin_.ViewerPort, id);
    TTimedViewer& longTier = Watch(edges_[0].ViewerPort, edgeIds[0]);
    TTimedViewer& shortTier = Watch(edges_[1].ViewerPort, edgeIds[1]);
    const auto uploaded = Clock::now();
    for (int32_t l = 0; l < 4; ++l) Upload(l, "delayed packet " + std::to_string(l));

    const std::string segment0 = "/api/v1/games/" + std::to_string(id) + "/segments/0";
    EXPECT_EQ(HttpGet(origin_.HttpPort, segment0).Status, 404);
    EXPECT_EQ(HttpGet(nginx_port_, segment0).Status, 404);
    for (int e = 0; e < 2; ++e) EXPECT_EQ(Segment(edges_[e].HttpPort, edgeIds[e], 0), "status 404");

    // The long tier has the packets stored while it still holds them back.
    json listed;
    ASSERT_TRUE(
        WaitUntil([&] { return (listed = ListedGame(edges_[0].HttpPort)).value("stored_packets", 0) > 0; }, 10s));
    EXPECT_EQ(listed["visible_packets"], 0);
    EXPECT_EQ(listed["delay_seconds"], 3);
    EXPECT_EQ(Segment(edges_[0].HttpPort, edgeIds[0], 0), "status 404");

    ASSERT_TRUE(WaitUntil([&] { return longTier.Packets.size() == 4 && shortTier.Packets.size() == 4; }, 15s));
    ASSERT_EQ(atOrigin.Packets.size(), 4u);
    const auto after = [&](const TTimedViewer& v) {
        return std::chrono::duration<double>(v.Arrived.front() - uploaded).count();
    };
    // Acknowledged after `uploaded`, so nothing may arrive sooner than this.
    EXPECT_GE(after(atOrigin), 2.0);
    EXPECT_GE(after(shortTier), 2.0);
    EXPECT_GE(after(longTier), 5.0);
    std::printf("first packet after %.2f s at the origin, %.2f s at the short tier, %.2f s at the long tier\n",
                after(atOrigin), after(shortTier), after(longTier));
    EXPECT_EQ(longTier.Packets, atOrigin.Packets);
    EXPECT_EQ(shortTier.Packets, atOrigin.Packets);
    for (TRelay& edge : edges_) EXPECT_TRUE(WaitUntil([&] { return EdgeHoldsTheOrigin(edge, 1); }, 10s));
}

// docs/deploy/nginx-tls.conf for real: nginx with a certificate made here in
// front of a vistreld on loopback whose reads need a password, over HTTPS.
TEST(NginxTls, ServesThePageTheApiTheLogStreamAndTheSegmentsOverHttps) {
    if (access(NGINX_PATH, X_OK) != 0) GTEST_SKIP() << "nginx is not installed (tools/install-deps.sh)";
    const std::string dir = ::testing::TempDir() + "/vistrel-nginx-tls", prefix = dir + "/nginx";
    std::filesystem::create_directories(prefix + "/temp");
    ASSERT_TRUE(MakeCertificate(dir, "site")) << "certtool (gnutls-bin) is needed";
    std::ofstream(dir + "/relay.reg")
        << "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
           "\"RemoteAdminPasswordEdit\"=\"admin pw\"\n\"WatchDemoPasswordEdit\"=\"pw\"\n";
    TChildProcess relay({VISTRELD_PATH, "--address", "127.0.0.1", "--sender-port", "0", "--viewer-port", "0", "--http",
                         "127.0.0.1:0", "--http-closed-read", "--registry", dir + "/relay.reg", "--no-recording"});
    const std::regex ports(
        "senders on 127\\.0\\.0\\.1:([0-9]+)\n(.|\n)*Serving HTTP on (http://127\\.0\\.0\\.1:[0-9]+)/");
    std::smatch m;
    std::string seen;
    for (int i = 0; i < 500 && !std::regex_search(seen = relay.Output(), m, ports); ++i)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(m.size(), 4u) << seen;

    // A port below the kernel's ephemeral range nobody listens on (nginx takes no port 0).
    const std::string base = "https://127.0.0.1:" + std::to_string(FreePort()), ca = dir + "/site-cert.pem";
    std::string site = ReadFile(std::string(SOURCE_DIR) + "/docs/deploy/nginx-tls.conf");
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
             {"server 127.0.0.1:38964;", "server " + m.str(3).substr(7) + ";"},
             {"listen 443 ssl;", "listen " + base.substr(8) + " ssl;"},
             {"listen [::]:443 ssl;", ""},
             {"/etc/letsencrypt/live/relay.example.net/fullchain.pem", ca},
             {"/etc/letsencrypt/live/relay.example.net/privkey.pem", dir + "/site-key.pem"}}) {
        ASSERT_NE(site.find(from), std::string::npos) << from;
        site.replace(site.find(from), from.size(), to);
    }
    std::ofstream(prefix + "/nginx.conf")
        << (geteuid() == 0 ? "user root root;\n" : "") << "daemon off;\nworker_processes 1;\npid nginx.pid;\n"
        << "events { worker_connections 64; }\nhttp {\naccess_log off;\nclient_body_temp_path temp/b;\n"
        << "proxy_temp_path temp/p;\nfastcgi_temp_path temp/f;\nuwsgi_temp_path temp/u;\nscgi_temp_path temp/s;\n"
        << site << "}\n";
    TChildProcess nginx({NGINX_PATH, "-p", prefix + "/", "-c", "nginx.conf", "-e", "error.log"});
    bool up = false;
    for (int i = 0; i < 250 && nginx.Running() && !up; ++i) up = Curl(base + "/", ca, 1).ends_with("\n200");
    ASSERT_TRUE(up) << "nginx did not answer; see " << prefix << "/error.log";

    TRelayClient camera(static_cast<uint16_t>(std::stoi(m.str(1))));
    std::string error;
    ASSERT_TRUE(AwaitGreeting(camera, 5s, error)) << error;
    camera.Send(GameInfo("Cam", "", "Final", "ctf", 1));
    camera.Send(Demo(0, "frame 0"));
    int acks = 0;
    EXPECT_TRUE(camera.WaitUntil([&] { return (acks += camera.TakePacket() == AckNak(0)) == 2; }, 5s));

    const std::string watch = " -u watch:pw ", admin = " -u admin:'admin pw' -X POST ";
    EXPECT_NE(Curl(base + "/", ca).find("<html"), std::string::npos);
    EXPECT_TRUE(Curl(base + "/api/v1/status", ca).ends_with("\n401"));  // loopback behind the proxy needs it too
    EXPECT_TRUE(Curl(watch + base + "/metrics", ca).ends_with("\n200"));
    const std::string segment = Curl(watch + base + "/api/v1/games/1/segments/0", ca);
    EXPECT_TRUE(segment.ends_with("\n200"));
    EXPECT_EQ(segment, Curl(watch + m.str(3) + "/api/v1/games/1/segments/0"));
    EXPECT_NE(Curl("-N" + watch + base + "/api/v1/log/stream?after=0", ca, 2).find("data: "), std::string::npos);
    EXPECT_TRUE(Curl(admin + "-H 'Origin: " + base + "' " + base + "/api/v1/games/1/halt", ca).ends_with("\n200"));
    const std::string foreign =
        Curl(admin + "-H 'Origin: https://elsewhere.example' " + base + "/api/v1/games/1/halt", ca);
    EXPECT_TRUE(foreign.ends_with("\n403") && foreign.find("nginx") != std::string::npos) << foreign;  // not the relay
    EXPECT_TRUE(nginx.Stop(SIGQUIT));
    EXPECT_TRUE(relay.Stop(SIGTERM));
}

}  // namespace
}  // namespace vistrel::testing
