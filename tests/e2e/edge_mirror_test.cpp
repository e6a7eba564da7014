// Edge mode in one process: an origin relay with its HTTP side and an edge
// relay mirroring it (TOriginMirror, libcurl on the same loop), stepped
// together. The edge's viewers receive the origin's packets byte for byte,
// wait at gaps while the origin's camera films, see replaced packets, lose a
// game the origin removed, and keep their games while the origin is down.
// A server answering garbage in the origin's place is refused, never stored.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/recording_format.h"
#include "web/http_server.h"
#include "edge/origin_mirror.h"
#include "testing/loopback_listener.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using nlohmann::json;

class EdgeMirror : public WebTest {
protected:
    void SetUp() override {
        WebTest::SetUp();
        edge_ = std::make_unique<TMainForm>(loop_, front_, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
        ASSERT_TRUE(edge_->FormCreate());
        TMainFormProbe::DistrubuteDemo(*edge_).SetInterval(3600 * 1000);
    }
    void TearDown() override {
        mirror_.reset();
        edge_viewers_.clear();
        edge_.reset();
        WebTest::TearDown();
    }

    TMirrorOptions FastOptions(uint16_t port) {
        TMirrorOptions options;
        options.OriginUrl = "http://127.0.0.1:" + std::to_string(port);
        options.PollInterval = std::chrono::milliseconds(100);
        options.ChangingRefetch = std::chrono::milliseconds(50);
        options.RetryFirst = std::chrono::milliseconds(50);
        options.RetryMax = std::chrono::milliseconds(200);
        options.RequestTimeout = std::chrono::milliseconds(1000);
        return options;
    }
    void StartMirror(TMirrorOptions options) {
        mirror_ = std::make_unique<TOriginMirror>(edge_->Host(), edge_->Loop(), std::move(options));
        mirror_->Start();
    }

    const TActiveGameList* EdgeGame(int32_t originId) {
        const int32_t local = mirror_->LocalIdOf(originId);
        return local == 0 ? nullptr : TMainFormProbe::Games(*edge_)->FindById(local);
    }
    // Whether the edge holds exactly what the origin holds for this game.
    bool SameAsOrigin(int32_t originId) {
        const TActiveGameList* mine = EdgeGame(originId);
        const TActiveGameList* theirs = Game(originId);
        if (!mine || !theirs || mine->Count() != theirs->Count()) return false;
        for (int32_t l = 0; l < mine->Count(); ++l)
            if (mine->Data(l) != theirs->Data(l)) return false;
        return true;
    }
    bool EdgeLogged(std::string_view text) const {
        for (const std::string& line : edge_->Console().Log().Lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    int EdgeLogCount(std::string_view text) const {
        int count = 0;
        for (const std::string& line : edge_->Console().Log().Lines())
            if (line.find(text) != std::string::npos) ++count;
        return count;
    }

    // A viewer of the edge, named, with what it was sent so far dropped.
    TRelayClient& EdgeViewer(std::string_view name) {
        TRelayClient& c = Connect(TMainFormProbe::DemoViewers(*edge_).LocalPort());
        c.Send(UserInfo(name));
        EXPECT_EQ(AckValueOf(Next(c)), 0);
        Settle();
        while (c.HasPacket()) c.TakePacket();
        return c;
    }
    void EdgeTick() {
        TMainFormProbe::DistrubuteDemo(*edge_).Fire();
        Settle();
    }
    // The demo packets the client has received, the rest dropped.
    std::vector<std::string> DemoPackets(TRelayClient& c) {
        Settle();
        std::vector<std::string> out;
        while (c.HasPacket()) {
            std::string p = c.TakePacket();
            if (TypeOf(p) == PacketType::DEMOPACKET || TypeOf(p) == PacketType::DEMORESTART) out.push_back(p);
        }
        return out;
    }

    std::unique_ptr<TMainForm> edge_;
    std::unique_ptr<TOriginMirror> mirror_;
    std::vector<std::unique_ptr<TRelayClient>> edge_viewers_;
};

TEST_F(EdgeMirror, MirrorsAGameWaitsAtGapsWhileTheCameraFilmsAndSeesReplacedPackets) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    for (int32_t l = 0; l < 100; ++l) {
        if (l == 5) continue;  // a gap the camera fills later
        cam->Send(Demo(l, "packet " + std::to_string(l)));
        EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    }
    StartMirror(FastOptions(Port()));
    ASSERT_TRUE(WaitFor([&] { return SameAsOrigin(id); }));
    const TActiveGameList* mirrored = EdgeGame(id);
    EXPECT_EQ(mirrored->Name(), "Final");
    EXPECT_EQ(mirrored->Mod(), "ctf");
    EXPECT_EQ(mirrored->GameType(), 1);
    EXPECT_TRUE(mirrored->LiveUpstream());
    EXPECT_EQ(mirrored->Sender(), nullptr);

    // An edge viewer stops at the gap, as an origin viewer does.
    TRelayClient& viewer = EdgeViewer("edgy");
    viewer.Send(WaitForGame(mirrored->Identifier()));
    Settle();
    DemoPackets(viewer);
    for (int i = 0; i < 8; ++i) EdgeTick();
    std::vector<std::string> got = DemoPackets(viewer);
    ASSERT_EQ(got.size(), 5u);

    // The camera fills the gap and sends location 7 again (segment 0 is now
    // complete); location 80 is replaced in the segment that still changes.
    cam->Send(Demo(5, "packet 5"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    cam->Send(Demo(80, "packet 80, again"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    ASSERT_TRUE(WaitFor([&] { return SameAsOrigin(id); }));
    for (int i = 0; i < 200 && got.size() < 100; ++i) {
        EdgeTick();
        for (std::string& p : DemoPackets(viewer)) got.push_back(std::move(p));
    }
    ASSERT_EQ(got.size(), 100u);
    for (int32_t l = 0; l < 100; ++l)
        EXPECT_EQ(got[static_cast<size_t>(l)], l == 80 ? Demo(80, "packet 80, again") : Demo(l, "packet " + std::to_string(l)));

    // The camera leaves: the game is orphaned on the edge too.
    cam->Send(Demo(130, "after a gap"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    cam->Close();
    ASSERT_TRUE(WaitFor([&] { return SameAsOrigin(id) && !EdgeGame(id)->LiveUpstream(); }));
    EdgeTick();
    got = DemoPackets(viewer);
    ASSERT_EQ(got.size(), 1u);  // the gap 100..129 is passed over
    EXPECT_EQ(got[0], Demo(130, "after a gap"));
    const json list = Json(Get("/api/v1/games"));
    EXPECT_EQ(list["games"][0]["sender"]["connected"], false);
}

TEST_F(EdgeMirror, AnEdgeWithAPasswordFileReadsAnOriginThatNeedsIt) {
    closed_read_ = true;
    StartWeb({});
    SetPassword("admin-pw");
    Form().SetupForEditing().WatchDemoPasswordEdit = "watch pw";
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    char folder[] = "/tmp/vistrel-edge-pw-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string file = std::string(folder) + "/password";
    const auto write = [&](const std::string& text) {
        FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
    };
    // Without it, the origin refuses the edge.
    StartMirror(FastOptions(Port()));
    EXPECT_TRUE(WaitFor([&] { return EdgeLogged("HTTP status 401"); }));
    EXPECT_EQ(EdgeGame(id), nullptr);
    mirror_.reset();

    write("watch pw\r\nthe rest is not read\n");
    TMirrorOptions options = FastOptions(Port());
    options.Password = ReadPasswordFile(file);
    EXPECT_EQ(options.Password, "watch pw");
    StartMirror(options);
    EXPECT_TRUE(WaitFor([&] { return SameAsOrigin(id); }));
    EXPECT_FALSE(LoggedContaining("HTTP login failed"));

    write("\n");
    EXPECT_THROW(ReadPasswordFile(file), Exception);
    write(std::string(5000, 'x'));
    EXPECT_THROW(ReadPasswordFile(file), Exception);
    std::remove(file.c_str());
    EXPECT_THROW(ReadPasswordFile(file), Exception);
    rmdir(folder);
}

TEST_F(EdgeMirror, AGameRemovedAtTheOriginIsRemovedAtTheEdge) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    TRelayClient* other = nullptr;
    const int32_t kept = SenderWithDemo(other, "Other", 2);
    StartMirror(FastOptions(Port()));
    ASSERT_TRUE(WaitFor([&] { return SameAsOrigin(id) && SameAsOrigin(kept); }));
    const int32_t local = mirror_->LocalIdOf(id);
    TRelayClient& viewer = EdgeViewer("edgy");

    Form().DeleteGame1Click({Form().Console().IndexOfGameRow(id)});
    ASSERT_TRUE(WaitFor([&] { return TMainFormProbe::Games(*edge_)->FindById(local) == nullptr; }));
    bool removed = false;
    for (const std::string& p : Drain(viewer))
        if (p == "GAMEREMOVED(" + std::to_string(local) + ")") removed = true;
    EXPECT_TRUE(removed);
    EXPECT_TRUE(EdgeLogged("Forward Server: the origin's game " + std::to_string(id) + " is gone"));
    EXPECT_NE(EdgeGame(kept), nullptr);
}

TEST_F(EdgeMirror, AnOriginThatIsDownChangesNothingAndIsLoggedOnce) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 10);
    const uint16_t port = Port();
    StartMirror(FastOptions(port));
    ASSERT_TRUE(WaitFor([&] { return SameAsOrigin(id); }));

    web_->Stop();
    ASSERT_TRUE(WaitFor([&] { return !mirror_->OriginReachable(); }));
    const uint64_t polls = mirror_->ListPolls();
    // Several polls later: one log line, the game still served.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    WaitFor([&] { return std::chrono::steady_clock::now() > until; }, std::chrono::milliseconds(2000));
    EXPECT_EQ(EdgeLogCount("cannot be read"), 1);
    EXPECT_EQ(mirror_->ListPolls(), polls);
    ASSERT_NE(EdgeGame(id), nullptr);
    EXPECT_EQ(EdgeGame(id)->Count(), 10);

    // Back on the same port, with more packets: the edge resumes.
    TWebOptions options;
    options.Listen = THttpListen{"127.0.0.1", port};
    web_ = std::make_unique<TWebApi>(Form(), options);
    web_->Start();
    for (int32_t l = 10; l < 20; ++l) {
        cam->Send(Demo(l, "more " + std::to_string(l)));
        EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    }
    ASSERT_TRUE(WaitFor([&] { return SameAsOrigin(id); }));
    EXPECT_TRUE(mirror_->OriginReachable());
    EXPECT_EQ(EdgeLogCount("answers again"), 1);
}

TEST_F(EdgeMirror, AnOriginThatNeverAnswersTimesOut) {
    // A listener that never accepts: connections wait in its backlog.
    const TLoopbackListener silent(16);
    ASSERT_TRUE(silent.Listening());
    TMirrorOptions options = FastOptions(silent.Port());
    options.RequestTimeout = std::chrono::milliseconds(300);
    StartMirror(options);
    EXPECT_TRUE(WaitFor([&] { return !mirror_->OriginReachable(); }));
    EXPECT_TRUE(EdgeLogged("timed out") || EdgeLogged("Timeout"));
}

// ------------------------------------------------------- a garbage upstream

// Answers the edge in the origin's place: one live game whose segment 0 is
// whatever the test puts in `segment`.
// Delay tiers: the edge counts its own delay from receipt, on top of the
// origin's, with nothing held by the origin ever fetched.
TEST_F(EdgeMirror, AnEdgesDelayAddsToTheOrigins) {
    Form().SetupForEditing().BroadcastDelaySpin.SetValue(2);
    edge_->SetupForEditing().BroadcastDelaySpin.SetValue(3);
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    StartMirror(FastOptions(Port()));
    ASSERT_TRUE(WaitFor([&] { return EdgeGame(id) != nullptr; }));
    WaitFor([] { return false; }, std::chrono::milliseconds(300));  // a few polls of the list and segments
    EXPECT_EQ(EdgeGame(id)->Count(), 0);
    AdvanceClock(std::chrono::milliseconds(2100));
    ASSERT_TRUE(WaitFor([&] { return SameAsOrigin(id); }));
    TRelayClient& viewer = EdgeViewer("edgy");
    viewer.Send(WaitForGame(EdgeGame(id)->Identifier()));
    EdgeTick();
    EXPECT_EQ(DemoPackets(viewer).size(), 0u);
    AdvanceClock(std::chrono::milliseconds(3100));
    EdgeTick();
    EXPECT_EQ(DemoPackets(viewer).size(), 1u);
}

class GarbageUpstream : public EdgeMirror {
protected:
    void SetUp() override {
        EdgeMirror::SetUp();
        garbage_ = std::make_unique<THttpServer>(loop_, [this](const THttpRequest& request) {
            if (serve_) return serve_(request);
            THttpResponse response;
            if (request.Path == "/api/v1/games") {
                response.Body =
                    R"({"games":[{"id":4,"opened_ms":77,"game_type":1,"name":"Bogus","mod":"x","last_segment":0,)"
                    R"("sender":{"name":"n","address":"a","connected":true}}],"more":false})";
            } else if (request.Path == "/api/v1/games/4/segments/0") {
                ++segment_requests_;
                response.ContentType = "application/octet-stream";
                response.Body = segment_;
                response.Headers.emplace_back("Cache-Control", "public, max-age=31536000, immutable");
            } else {
                response.Status = 404;
            }
            return response;
        });
        garbage_->Start(THttpListen{"127.0.0.1", 0});
    }
    void TearDown() override {
        mirror_.reset();
        garbage_.reset();
        EdgeMirror::TearDown();
    }
    // Serves body as segment 0 until the edge has refused it (and asked
    // again after that); nothing may be stored meanwhile.
    void ExpectRefused(const std::string& body, std::string_view reason) {
        segment_ = body;
        const uint64_t refused = mirror_->SegmentsRefused();
        const int requests = segment_requests_;
        ASSERT_TRUE(WaitFor([&] { return mirror_->SegmentsRefused() >= refused + 2 && segment_requests_ >= requests + 2; }))
            << reason;
        EXPECT_TRUE(EdgeLogged(reason)) << reason;
        ASSERT_NE(EdgeGame(4), nullptr);
        EXPECT_EQ(EdgeGame(4)->Count(), 0) << reason;
        EXPECT_EQ(mirror_->PacketsStored(), 0u);
    }

    // A list page of games from..to (opened_ms 5 unless opened says), each of
    // one segment, finished.
    static std::string ListPage(int32_t from, int32_t to, bool more, int64_t opened = 5) {
        json games = json::array();
        for (int32_t id = from; id <= to; ++id)
            games.push_back(
                {{"id", id}, {"opened_ms", opened}, {"name", "g"}, {"last_segment", 0}, {"sender", json::object()}});
        return json{{"games", games}, {"more", more}}.dump();
    }
    static THttpResponse Final(std::string body) {
        THttpResponse response;
        response.ContentType = "application/octet-stream";
        response.Body = std::move(body);
        response.Headers.emplace_back("Cache-Control", "public, max-age=31536000, immutable");
        return response;
    }
    static int32_t SegmentGame(const THttpRequest& request) {
        int id = 0;
        return std::sscanf(request.Path.c_str(), "/api/v1/games/%d/segments/", &id) == 1 ? id : 0;
    }

    std::unique_ptr<THttpServer> garbage_;
    std::function<THttpResponse(const THttpRequest&)> serve_;
    std::string segment_;
    int segment_requests_ = 0;
};

TEST_F(GarbageUpstream, MalformedTruncatedAndOversizedSegmentsAreRefusedAndAskedForAgain) {
    TMirrorOptions options = FastOptions(garbage_->LocalPort());
    options.MaxSegmentBytes = 64 << 10;
    segment_ = "not a record at all";
    StartMirror(options);
    ASSERT_TRUE(WaitFor([&] { return EdgeGame(4) != nullptr; }));
    EXPECT_EQ(EdgeGame(4)->Name(), "Bogus");

    std::string sound;
    AppendPacketRecord(sound, 0, Demo(0, "zero"));
    AppendPacketRecord(sound, 1, Demo(1, "one"));

    ExpectRefused("not a record at all", "segment 0 of the origin's game 4 is refused");
    ExpectRefused(sound.substr(0, sound.size() - 3), "is cut short");
    std::string badCrc = sound;
    badCrc[20] ^= 0x40;
    ExpectRefused(badCrc, "fails its CRC");
    std::string huge;
    AppendPacketRecord(huge, 0, Demo(0, std::string(100000, 'x')) + std::string(70000, 'y'));
    ExpectRefused(huge, "larger than 65536 bytes");
    std::string outside;
    AppendPacketRecord(outside, 64, Demo(64, "next segment's"));
    ExpectRefused(outside, "outside 0..63");
    std::string backwards;
    AppendPacketRecord(backwards, 1, Demo(1, "one"));
    AppendPacketRecord(backwards, 0, Demo(0, "zero"));
    ExpectRefused(backwards, "names location 0 after 1");
    std::string wrongHeader;
    AppendPacketRecord(wrongHeader, 2, Demo(3, "three"));
    ExpectRefused(wrongHeader, "header disagrees");
    std::string description = EncodeDescriptionRecord(TGameDescription{});
    ExpectRefused(description, "not a packet");
    // A sound record after a sound one, then garbage: nothing of it is kept.
    ExpectRefused(sound + "trailing", "is cut short");
    // Packets a camera's upload would be refused for, in sound records.
    std::string badCheck = sound;
    AppendPacketRecord(badCheck, 2, BadCheckDemo(2, "two"));
    ExpectRefused(badCheck, "record 3 at byte");
    EXPECT_TRUE(EdgeLogged("fails its check (ChecksumMismatch)"));
    std::string inflating;
    AppendPacketRecord(inflating, 0, Demo(0, std::string((size_t{16} << 20) + 1, 'z')));
    ExpectRefused(inflating, "fails its check (TooLarge)");
    std::string notZlib;
    AppendPacketRecord(notZlib, 0, RawDemo(0, "not a zlib stream", 0));
    ExpectRefused(notZlib, "fails its check (EngineError");

    // Sound at last: stored, and asked for no more (it is final).
    segment_ = sound;
    ASSERT_TRUE(WaitFor([&] { return EdgeGame(4)->Count() == 2; }));
    EXPECT_EQ(EdgeGame(4)->Data(0), Demo(0, "zero"));
    EXPECT_EQ(EdgeGame(4)->Data(1), Demo(1, "one"));
    const int requests = segment_requests_;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    WaitFor([&] { return std::chrono::steady_clock::now() > until; }, std::chrono::milliseconds(1000));
    EXPECT_EQ(segment_requests_, requests);
}

// An origin listing 10,000 finished games: each segment is asked for once,
// never more than the bound at a time, the log is not flooded, and a viewer
// of the edge receives one packet a tick throughout.
TEST_F(GarbageUpstream, TenThousandGamesAreFetchedOnceWithinTheBoundWhileViewersKeepTheirPace) {
    constexpr int32_t kGames = 10000;
    std::string one, first;
    AppendPacketRecord(one, 0, Demo(0, "only"));
    for (int32_t l = 0; l < 64; ++l) AppendPacketRecord(first, l, Demo(l, "packet " + std::to_string(l)));
    std::vector<int> asked(kGames + 1);
    bool all = false;
    serve_ = [&](const THttpRequest& request) {
        if (request.Path != "/api/v1/games") {
            const int32_t id = SegmentGame(request);
            ++asked[static_cast<size_t>(id)];
            return Final(id == 1 ? first : one);
        }
        const std::string* after = request.QueryValue("after");
        const int32_t from = after ? std::stoi(*after) + 1 : 1;
        const int32_t to = all ? std::min(from + 999, kGames) : 1;
        THttpResponse response;
        response.Body = ListPage(from, to, to < kGames && all);
        return response;
    };
    TMirrorOptions options = FastOptions(garbage_->LocalPort());
    options.PollInterval = std::chrono::milliseconds(500);
    StartMirror(options);
    ASSERT_TRUE(WaitFor([&] { return EdgeGame(1) && EdgeGame(1)->Count() == 64; }));
    TRelayClient& viewer = EdgeViewer("pace");
    viewer.Send(WaitForGame(EdgeGame(1)->Identifier()));
    Settle();
    DemoPackets(viewer);

    // The distribution at its own pace while the long list is fetched.
    TMainFormProbe::DistrubuteDemo(*edge_).SetInterval(500);
    all = true;
    size_t most = 0;
    int received = 0;
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longest{};
    ASSERT_TRUE(WaitFor(
        [&] {
            most = std::max(most, mirror_->RequestsInFlight());
            const auto now = std::chrono::steady_clock::now();
            if (viewer.HasPacket() && !DemoPackets(viewer).empty()) {
                ++received;
                longest = std::max(longest, now - last);
                last = now;
            }
            return mirror_->PacketsStored() >= 64 + kGames - 1 && received >= 4;
        },
        std::chrono::seconds(60)));
    EXPECT_LE(most, static_cast<size_t>(options.MaxRequests));
    EXPECT_LT(longest, std::chrono::milliseconds(1500));
    EXPECT_EQ(mirror_->Mirrored(), static_cast<size_t>(kGames));
    for (int32_t id = 1; id <= kGames; ++id) ASSERT_EQ(asked[static_cast<size_t>(id)], 1) << id;
    EXPECT_LT(EdgeLogCount("is mirrored as game"), 100);
    EXPECT_GT(mirror_->LinesLeftOut(), 0u);
}

// Large bodies: what the bodies in flight hold stays within their bound, a
// segment larger than it is refused, and every other segment arrives.
TEST_F(GarbageUpstream, BodiesInFlightStayWithinTheirBound) {
    std::mt19937 random(7);
    const auto noise = [&](size_t n) {
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        return bytes;
    };
    std::string large, tooLarge;
    for (int32_t l = 0; l < 4; ++l) AppendPacketRecord(large, l, Demo(l, noise(1 << 20)));
    for (int32_t l = 0; l < 2; ++l) AppendPacketRecord(tooLarge, l, Demo(l, noise(7 << 19)));
    serve_ = [&](const THttpRequest& request) {
        if (request.Path != "/api/v1/games") return Final(SegmentGame(request) == 9 ? tooLarge : large);
        THttpResponse response;
        response.Body = ListPage(1, 9, false);
        return response;
    };
    TMirrorOptions options = FastOptions(garbage_->LocalPort());
    options.MaxBodyBytes = size_t{6} << 20;
    StartMirror(options);
    ASSERT_TRUE(WaitFor([&] { return mirror_->PacketsStored() == 8 * 4 && EdgeLogged("larger than 6291456 bytes"); },
                        std::chrono::seconds(20)));
    EXPECT_LE(mirror_->PeakBodyBytes(), options.MaxBodyBytes);
    EXPECT_GE(mirror_->PeakBodyBytes(), large.size());
}

// An origin whose games' opening times change at every reading is an
// outage: the games here stay as they are, logged once; once the times hold
// still, the game is replaced once.
TEST_F(GarbageUpstream, AnOriginWhoseOpeningTimesFlapIsAnOutageNotNewGames) {
    int64_t opened = 100;
    bool flapping = true;
    std::string one;
    AppendPacketRecord(one, 0, Demo(0, "only"));
    serve_ = [&](const THttpRequest& request) {
        if (request.Path != "/api/v1/games") return Final(one);
        THttpResponse response;
        response.Body = ListPage(4, 4, false, flapping ? ++opened : opened);
        return response;
    };
    StartMirror(FastOptions(garbage_->LocalPort()));
    ASSERT_TRUE(WaitFor([&] { return EdgeGame(4) != nullptr; }));
    const int32_t local = mirror_->LocalIdOf(4);
    ASSERT_TRUE(WaitFor([&] { return !mirror_->OriginReachable(); }));
    const int64_t seen = opened;
    ASSERT_TRUE(WaitFor([&] { return opened > seen + 5; }));
    EXPECT_EQ(mirror_->LocalIdOf(4), local);
    EXPECT_EQ(TMainFormProbe::Games(*edge_)->Count(), 1);
    EXPECT_EQ(EdgeLogCount("change at every reading"), 1);
    EXPECT_EQ(EdgeLogCount("is mirrored as game"), 1);

    flapping = false;
    ASSERT_TRUE(WaitFor(
        [&] { return mirror_->OriginReachable() && mirror_->LocalIdOf(4) != 0 && mirror_->LocalIdOf(4) != local; }));
    EXPECT_EQ(EdgeLogCount("is mirrored as game"), 2);
    EXPECT_EQ(TMainFormProbe::Games(*edge_)->Count(), 1);
}

TEST_F(GarbageUpstream, AGameListThatIsNotUnderstoodChangesNothing) {
    garbage_.reset();
    garbage_ = std::make_unique<THttpServer>(loop_, [](const THttpRequest&) {
        THttpResponse response;
        response.Body = R"({"games":[{"id":"seven"}]})";
        return response;
    });
    garbage_->Start(THttpListen{"127.0.0.1", 0});
    StartMirror(FastOptions(garbage_->LocalPort()));
    ASSERT_TRUE(WaitFor([&] { return EdgeLogged("not understood"); }));
    EXPECT_EQ(mirror_->Mirrored(), 0u);
    EXPECT_EQ(TMainFormProbe::Games(*edge_)->Count(), 0);
}

}  // namespace
}  // namespace vistrel::testing
