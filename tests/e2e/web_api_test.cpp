// The JSON API's read endpoints against a relay with live senders and
// viewers, and the log as Server-Sent Events.
#include <string>

#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using nlohmann::json;
using WebApi = WebTest;

TEST_F(WebApi, StatusCountsWhatTheRelayHolds) {
    TRelayClient* s1 = nullptr;
    TRelayClient* s2 = nullptr;
    SenderWithDemo(s1, "Cam1", 3);
    SenderWithDemo(s2, "Cam2", 2);
    NamedViewer("v1");
    NamedViewer("v2");
    NamedViewer("v3");

    const THttpReply reply = Get("/api/v1/status");
    ASSERT_EQ(reply.Status, 200) << reply.Body;
    const json status = Json(reply);
    EXPECT_EQ(status["version"], "test");
    EXPECT_EQ(status["games"], 2);
    EXPECT_EQ(status["senders"], 2);
    EXPECT_EQ(status["viewers"], 3);
    EXPECT_EQ(status["stored_packets"], 5);
    size_t bytes = 0;
    for (int i = 0; i < 3; ++i) bytes += Demo(i, "demo content " + std::to_string(i)).size();
    for (int i = 0; i < 2; ++i) bytes += Demo(i, "demo content " + std::to_string(i)).size();
    EXPECT_EQ(status["stored_bytes"], bytes);
    // The budget counts each entry's and each game's own cost too.
    EXPECT_EQ(status["memory_budget"]["stored_bytes"], TMainFormProbe::Games(Form())->StoredBytes());
    EXPECT_GT(TMainFormProbe::Games(Form())->StoredBytes(), bytes);
    EXPECT_EQ(status["memory_budget"]["stored_limit_bytes"], 0);
    EXPECT_GE(status["uptime_seconds"], 0);
    EXPECT_EQ(status["start_time"].get<std::string>().size(), 20u);  // 2024-05-01T12:00:00Z
    EXPECT_TRUE(status["connection_buffers"].is_object());
}

TEST_F(WebApi, GamesShowsEveryGameAsTheListDoes) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cammer", 4);
    TRelayClient& anonymous = ConnectSender();  // connected, never logged in
    (void)anonymous;
    TRelayClient& viewer = NamedViewer("watcher");
    viewer.Send(WaitForGame(id));
    Settle();

    THttpReply reply = Get("/api/v1/games");
    ASSERT_EQ(reply.Status, 200);
    json body = Json(reply);
    ASSERT_EQ(body["games"].size(), 2u);
    EXPECT_FALSE(body["more"]);
    const json& game = body["games"][0];
    EXPECT_EQ(game["id"], id);
    EXPECT_EQ(game["name"], "Final");
    EXPECT_EQ(game["game"], Form().Console().Games().Column(0, 2));
    EXPECT_EQ(game["mod"], "ctf");
    EXPECT_EQ(game["stored_packets"], 4);
    size_t bytes = 0;
    for (int i = 0; i < 4; ++i) bytes += Demo(i, "demo content " + std::to_string(i)).size();
    EXPECT_EQ(game["compressed_bytes"], bytes);
    EXPECT_EQ(game["viewers"], 1);
    EXPECT_EQ(game["sender"]["name"], "Cammer");
    EXPECT_EQ(game["sender"]["address"], "127.0.0.1");
    EXPECT_EQ(game["sender"]["connected"], true);
    const json& other = body["games"][1];
    EXPECT_EQ(other["sender"]["name"], "");
    EXPECT_EQ(other["stored_packets"], 0);

    // The sender goes: the game stays, its sender's name with it.
    cam->Close();
    Settle();
    body = Json(Get("/api/v1/games"));
    EXPECT_EQ(body["games"][0]["sender"]["connected"], false);
    EXPECT_EQ(body["games"][0]["sender"]["name"], "Cammer");
    EXPECT_EQ(body["games"][0]["sender"]["address"], "127.0.0.1");

    // after=ID pages through the list.
    body = Json(Get("/api/v1/games?after=" + std::to_string(id)));
    ASSERT_EQ(body["games"].size(), 1u);
    EXPECT_EQ(body["games"][0]["id"], id + 1);
}

TEST_F(WebApi, GamesGiveTheTextsAsTheCameraSentThem) {
    // The games list shows a ';' as ','; the API (and the edges mirroring
    // through it) must keep the camera's own bytes.
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam;1");
    cam->Send(GameInfo("Cam;1", "", "Grand;final", "m;d", 0));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    Settle();
    ASSERT_EQ(Form().Console().Games().Column(0, 1), "Grand,final");
    const json game = Json(Get("/api/v1/games"))["games"][0];
    EXPECT_EQ(game["id"], id);
    EXPECT_EQ(game["name"], "Grand;final");
    EXPECT_EQ(game["mod"], "m;d");
    EXPECT_EQ(game["game"], GameLabel(0));
    EXPECT_EQ(game["sender"]["name"], "Cam;1");
    EXPECT_EQ(Json(Get("/api/v1/games/" + std::to_string(id)))["name"], "Grand;final");
}

TEST_F(WebApi, ViewersShowsEveryConnectionWithAStableId) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    TRelayClient& unnamed = ConnectViewer();
    (void)unnamed;
    TRelayClient& viewer = NamedViewer("Ann");
    viewer.Send(WaitForGame(id));
    Settle();
    Tick();
    Tick();

    json body = Json(Get("/api/v1/viewers"));
    ASSERT_EQ(body["viewers"].size(), 2u);
    const json& first = body["viewers"][0];
    const json& ann = body["viewers"][1];
    EXPECT_TRUE(first["name"].is_null());
    EXPECT_TRUE(first["game"].is_null());
    EXPECT_EQ(first["address"], "127.0.0.1");
    EXPECT_GT(first["port"], 0);
    EXPECT_EQ(ann["name"], "Ann");
    EXPECT_EQ(ann["game"], id);
    EXPECT_EQ(ann["position"], 2);
    EXPECT_EQ(ann["unsent_bytes"], 0);
    EXPECT_LT(first["id"].get<int64_t>(), ann["id"].get<int64_t>());

    // The id stays with the connection when one before it goes.
    const int64_t annId = ann["id"];
    unnamed.Close();
    Settle();
    body = Json(Get("/api/v1/viewers"));
    ASSERT_EQ(body["viewers"].size(), 1u);
    EXPECT_EQ(body["viewers"][0]["id"], annId);
    EXPECT_EQ(Json(Get("/api/v1/viewers?after=" + std::to_string(annId)))["viewers"].size(), 0u);
}

TEST_F(WebApi, GamesTellHowTheirCameraIsAndViewersHowFarBehindTheyAre) {
    SetPassword("pw");
    TRelayClient *halted = nullptr, *leaving = nullptr;
    const int32_t id = SenderWithDemo(halted, "CamA", 3);
    SenderWithDemo(leaving, "CamB", 1);
    NamedViewer("behind").Send(WaitForGame(id));
    Settle();
    Tick();
    EXPECT_EQ(Json(Get("/api/v1/games"))["games"][0]["camera"], "filming");
    const json behind = Json(Get("/api/v1/viewers"))["viewers"][0];
    EXPECT_EQ(behind["lag_packets"], 3 - behind["position"].get<int>());
    EXPECT_GT(behind["lag_packets"], 0);
    EXPECT_GT(behind["lag_seconds"], 0.0);

    ASSERT_EQ(Request("POST", "/api/v1/games/" + std::to_string(id) + "/halt", Auth("pw")).Status, 200);
    leaving->Close();
    EXPECT_TRUE(WaitFor([&] { return halted->Ended(); }));
    Settle();
    const json games = Json(Get("/api/v1/games"))["games"];
    EXPECT_EQ(games[0]["camera"], "halted");
    EXPECT_EQ(games[1]["camera"], "gone");
}

TEST_F(WebApi, ALogLongerThanTheLinesKeptIsReadFromTheOldestKept) {
    const int64_t kept = TLogLines::kKeptLines;
    for (int64_t i = 0; i < kept + 100; ++i) Form().ServerLog(false, "line " + std::to_string(i));
    const TLogLines& log = Form().Console().Log();
    ASSERT_EQ(log.Count() - log.First(), kept);
    EXPECT_EQ(log.Line(log.Count() - 1).substr(20), "line " + std::to_string(kept + 99));
    EXPECT_THROW(log.Line(log.First() - 1), EListError);

    // From the start: the page begins at the oldest line kept, numbered as
    // it always was.
    json body = Json(Get("/api/v1/log?after=0"));
    ASSERT_FALSE(body["lines"].empty());
    EXPECT_EQ(body["lines"][0]["seq"], log.First() + 1);
    EXPECT_EQ(body["lines"][0]["text"], log.Line(log.First()));
    EXPECT_EQ(body["last"], log.Count());
}

TEST_F(WebApi, LogAnswersAtMostAThousandLinesAfterN) {
    const int32_t before = Form().Console().Log().Count();
    for (int i = 0; i < 1500; ++i) Form().ServerLog(false, "line " + std::to_string(i));
    const int32_t count = Form().Console().Log().Count();

    json body = Json(Get("/api/v1/log"));
    ASSERT_EQ(body["lines"].size(), 1000u);
    EXPECT_EQ(body["lines"][0]["seq"], 1);
    EXPECT_EQ(body["lines"][999]["seq"], 1000);
    EXPECT_EQ(body["next"], 1000);
    EXPECT_EQ(body["last"], count);
    EXPECT_TRUE(body["more"]);

    body = Json(Get("/api/v1/log?after=1000"));
    ASSERT_EQ(body["lines"].size(), static_cast<size_t>(count - 1000));
    EXPECT_EQ(body["lines"][0]["seq"], 1001);
    EXPECT_FALSE(body["more"]);
    const json& last = body["lines"].back();
    EXPECT_EQ(last["seq"], count);
    EXPECT_EQ(last["text"], Form().Console().Log().Line(count - 1));
    EXPECT_EQ(last["text"].get<std::string>().substr(20), "line 1499");
    EXPECT_EQ(Json(Get("/api/v1/log?after=" + std::to_string(before + 1)))["lines"][0]["text"].get<std::string>().substr(20),
              "line 1");

    EXPECT_EQ(Json(Get("/api/v1/log?after=999999"))["lines"].size(), 0u);
    EXPECT_EQ(Get("/api/v1/log?after=-1").Status, 400);
    EXPECT_EQ(Get("/api/v1/log?after=x").Status, 400);
}

TEST_F(WebApi, LogTextsFromTheNetworkAreUtf8) {
    TRelayClient& viewer = ConnectViewer();
    viewer.Send(UserInfo("Andr\xE9"));
    Settle();
    Form().ServerLog(false, "name Andr\xE9");
    const json body = Json(Get("/api/v1/log"));
    EXPECT_EQ(body["lines"].back()["text"].get<std::string>().substr(20), "name Andr\xC3\xA9");
    EXPECT_EQ(Json(Get("/api/v1/viewers"))["viewers"][0]["name"], "Andr\xC3\xA9");
}

TEST_F(WebApi, LogStreamSendsNewLinesLive) {
    Form().ServerLog(false, "old line");
    const int32_t before = Form().Console().Log().Count();
    THttpClient stream(Port());
    stream.Send(HttpRequestText("GET", "/api/v1/log/stream"));
    THttpReply head;
    ASSERT_TRUE(WaitFor([&] {
        stream.Pump();
        return stream.PeekReply(head) && head.Body.find("retry:") != std::string::npos;
    }));
    EXPECT_EQ(head.Status, 200);
    ASSERT_NE(head.Header("Content-Type"), nullptr);
    EXPECT_EQ(head.Header("Content-Type")->rfind("text/event-stream", 0), 0u);
    EXPECT_EQ(head.Body.find("old line"), std::string::npos);  // it starts at the end
    EXPECT_EQ(web_->Server().Streams(), 1u);

    // The stream waits parked; new lines arrive as events.
    for (int round = 0; round < 3; ++round) {
        const std::string text = "live line " + std::to_string(round);
        Form().ServerLog(false, text);
        const std::string expected = "id: " + std::to_string(before + round + 1) + "\ndata: ";
        ASSERT_TRUE(WaitFor([&] {
            stream.Pump();
            return stream.PeekReply(head) && head.Body.find(text + "\n\n") != std::string::npos;
        })) << head.Body;
        EXPECT_NE(head.Body.find(expected), std::string::npos) << head.Body;
    }
    // A line from the network's side (a viewer connecting) arrives too.
    ConnectViewer();
    ASSERT_TRUE(WaitFor([&] {
        stream.Pump();
        return stream.PeekReply(head) && head.Body.find("Viewer connecting: 127.0.0.1") != std::string::npos;
    }));

    // The reader goes: the stream ends once it is woken.
    stream.Close();
    Form().ServerLog(false, "after the reader left");
    EXPECT_TRUE(WaitFor([&] { return web_->Server().Streams() == 0; }));
}

TEST_F(WebApi, LogStreamResumesAfterTheLastEventSeen) {
    for (int i = 0; i < 5; ++i) Form().ServerLog(false, "line " + std::to_string(i));
    const int32_t count = Form().Console().Log().Count();
    THttpClient stream(Port());
    stream.Send(HttpRequestText("GET", "/api/v1/log/stream", {{"Last-Event-ID", std::to_string(count - 2)}}));
    THttpReply head;
    ASSERT_TRUE(WaitFor([&] {
        stream.Pump();
        return stream.PeekReply(head) && head.Body.find("line 4\n\n") != std::string::npos;
    }));
    EXPECT_EQ(head.Body.find("line 2\n"), std::string::npos);
    EXPECT_NE(head.Body.find("id: " + std::to_string(count - 1) + "\ndata: "), std::string::npos);

    THttpClient fromStart(Port());
    fromStart.Send(HttpRequestText("GET", "/api/v1/log/stream?after=0"));
    ASSERT_TRUE(WaitFor([&] {
        fromStart.Pump();
        return fromStart.PeekReply(head) && head.Body.find("line 4\n\n") != std::string::npos;
    }));
    EXPECT_NE(head.Body.find("id: 1\ndata: "), std::string::npos);
}

TEST_F(WebApi, ManyStreamsAndStoppingWithStreamsParked) {
    std::vector<std::unique_ptr<THttpClient>> streams;
    for (int i = 0; i < 10; ++i) {
        streams.push_back(std::make_unique<THttpClient>(Port()));
        streams.back()->Send(HttpRequestText("GET", "/api/v1/log/stream"));
    }
    ASSERT_TRUE(WaitFor([&] { return web_->Server().Streams() == 10; }));
    Settle();
    // Every connection parked: stopping wakes them to end first.
    web_->Stop();
    for (auto& s : streams) {
        ASSERT_TRUE(WaitFor([&] {
            s->Pump();
            return s->Ended();
        }));
    }
}

TEST_F(WebApi, UnknownPathsAndMethods) {
    EXPECT_EQ(Get("/api/v1/nothing").Status, 404);
    EXPECT_EQ(Get("/api/v2/status").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/abc/halt").Status, 404);
    const THttpReply post = Request("POST", "/api/v1/status");
    EXPECT_EQ(post.Status, 405);
    ASSERT_NE(post.Header("Allow"), nullptr);
    EXPECT_EQ(*post.Header("Allow"), "GET, HEAD");
    EXPECT_EQ(Get("/api/v1/games/1/halt").Status, 405);
    EXPECT_EQ(Request("POST", "/api/v1/games/1").Status, 405);
    // HEAD: the head alone.
    THttpClient client(Port());
    client.Send(HttpRequestText("HEAD", "/api/v1/status", {{"Connection", "close"}}));
    ASSERT_TRUE(WaitFor([&] {
        client.Pump();
        return client.Ended();
    }));
    THttpReply head;
    ASSERT_TRUE(client.PeekReply(head));
    EXPECT_EQ(head.Status, 200);
    EXPECT_EQ(head.Body, "");
}

TEST_F(WebApi, EveryRouteAnswers405WithItsMethodsAndBadIdentifiers404) {
    const std::pair<const char*, const char*> routes[] = {
        {"/", "GET, HEAD"},
        {"/index.html", "GET, HEAD"},
        {"/metrics", "GET, HEAD"},
        {"/api/v1/status", "GET, HEAD"},
        {"/api/v1/games", "GET, HEAD"},
        {"/api/v1/viewers", "GET, HEAD"},
        {"/api/v1/log", "GET, HEAD"},
        {"/api/v1/log/stream", "GET, HEAD"},
        {"/api/v1/games/1", "GET, HEAD, DELETE"},
        {"/api/v1/games/1/segments/0", "GET, HEAD"},
        {"/api/v1/games/1/recording", "GET, HEAD"},
        {"/api/v1/games/1/halt", "POST"},
        {"/api/v1/viewers/1/kick", "POST"},
    };
    for (const auto& [path, allow] : routes) {
        const THttpReply reply = Request("PUT", path);
        EXPECT_EQ(reply.Status, 405) << path;
        ASSERT_NE(reply.Header("Allow"), nullptr) << path;
        EXPECT_EQ(*reply.Header("Allow"), allow) << path;
    }
    // Each number within its bound: a game's is 32-bit, a viewer's 64-bit.
    SetPassword("pw");
    const std::pair<const char*, const char*> beyond[] = {
        {"GET", "/api/v1/games/2147483648"},
        {"DELETE", "/api/v1/games/2147483648"},
        {"POST", "/api/v1/games/2147483648/halt"},
        {"GET", "/api/v1/games/1/segments/2147483648"},
        {"POST", "/api/v1/viewers/9223372036854775808/kick"},
        {"POST", "/api/v1/viewers/-1/kick"},
        {"GET", "/api/v1/games/{id}"},
        {"GET", "/api/v1/games/1/segments/0/x"},
        {"GET", "/api/v1/log/stream/x"},
    };
    for (const auto& [method, path] : beyond) {
        const THttpReply reply = Request(method, path, Auth("pw"));
        EXPECT_EQ(reply.Status, 404) << method << " " << path;
        EXPECT_EQ(Json(reply)["error"], "no such resource") << method << " " << path;
    }
    const THttpReply largest = Request("POST", "/api/v1/viewers/9223372036854775807/kick", Auth("pw"));
    EXPECT_EQ(largest.Status, 404);
    EXPECT_EQ(Json(largest)["error"], "no such viewer");
}

TEST_F(WebApi, KeepAliveServesSeveralRequestsOnOneConnection) {
    THttpClient client(Port());
    for (int i = 0; i < 3; ++i) {
        client.Send(HttpRequestText("GET", "/api/v1/status"));
        ASSERT_TRUE(WaitFor([&] {
            client.Pump();
            return client.HasReply();
        }));
        EXPECT_EQ(client.TakeReply().Status, 200);
    }
    EXPECT_FALSE(client.Ended());
}

}  // namespace
}  // namespace vistrel::testing

namespace vistrel::testing {
namespace {

using WebPage = WebTest;

TEST_F(WebPage, TheOperatorPageIsServedWholeFromTheProgram) {
    const THttpReply page = Get("/");
    ASSERT_EQ(page.Status, 200);
    ASSERT_NE(page.Header("Content-Type"), nullptr);
    EXPECT_EQ(*page.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page.Body.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.Body.find("<title>Vistrel Server</title>"), std::string::npos);
    EXPECT_NE(page.Body.find("/api/v1/log/stream"), std::string::npos);
    // Nothing is fetched from anywhere else: no external scripts, styles or fonts.
    for (const char* outside : {"src=", "href=", "http://", "https://", "@import", "url("})
        EXPECT_EQ(page.Body.find(outside), std::string::npos) << outside;
    ASSERT_NE(page.Header("Content-Security-Policy"), nullptr);
    EXPECT_NE(page.Header("Content-Security-Policy")->find("default-src 'none'"), std::string::npos);
    EXPECT_NE(page.Header("Content-Security-Policy")->find("connect-src 'self'"), std::string::npos);
    EXPECT_EQ(Get("/index.html").Body, page.Body);
    EXPECT_EQ(Request("POST", "/").Status, 405);
}

TEST_F(WebPage, OnLoopbackOnlyLocalHostNamesAreAnswered) {
    // A page elsewhere whose name a stranger points at 127.0.0.1 reads nothing.
    const THttpReply rebound = Get("/api/v1/status", {{"Host", "attacker.example:38964"}});
    EXPECT_EQ(rebound.Status, 403);
    EXPECT_EQ(Get("/", {{"Host", "attacker.example"}}).Status, 403);
    for (const char* host : {"127.0.0.1", "127.0.0.1:38964", "localhost:38964", "LOCALHOST", "[::1]:38964"})
        EXPECT_EQ(Get("/api/v1/status", {{"Host", host}}).Status, 200) << host;
}

}  // namespace
}  // namespace vistrel::testing
