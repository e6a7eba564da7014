// The chat for the operator: every line passed on listed and streamed, the
// log left as it was, and muting a viewer with the remote admin password.
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using nlohmann::json;
using WebChat = WebTest;
using Packets = std::vector<std::string>;

TEST_F(WebChat, LinesPassedOnAreListedPagedAndStreamedButNotLogged) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    TRelayClient& a = NamedViewer("Andr\xE9");
    TRelayClient& b = NamedViewer("B");
    a.Send(WaitForGame(id));
    Settle();
    const int64_t aId = Json(Get("/api/v1/viewers"))["viewers"][0]["id"];
    THttpClient stream(Port());
    stream.Send(HttpRequestText("GET", "/api/v1/chat/stream"));
    THttpReply head;
    ASSERT_TRUE(WaitFor([&] { return stream.Pump(), stream.PeekReply(head) && !head.Body.empty(); }));
    const std::vector<std::string> logBefore(Form().Console().Log().Lines().begin(),
                                             Form().Console().Log().Lines().end());

    a.Send(SendText("hi\nthere"));
    Settle();
    b.Send(SendText("lobby"));
    cam->Send(SendText("from cam"));
    Settle();
    const json chat = Json(Get("/api/v1/chat"));
    ASSERT_EQ(chat["lines"].size(), 3u) << chat;
    const json& first = chat["lines"][0];
    EXPECT_EQ(first["from"], "viewer");
    EXPECT_EQ(first["viewer"], aId);
    EXPECT_EQ(first["game"], id);
    EXPECT_EQ(first["name"], "Andr\xC3\xA9");
    EXPECT_EQ(first["text"], "hi\nthere");
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    EXPECT_NEAR(first["time_ms"].get<double>(), static_cast<double>(now), 60000.0);
    EXPECT_EQ(chat["lines"][1]["game"], nullptr);
    EXPECT_EQ(chat["lines"][2]["from"], "camera");
    EXPECT_EQ(chat["lines"][2]["name"], "Cam");
    EXPECT_EQ(chat["lines"][2]["viewer"], nullptr);
    const json page = Json(Get("/api/v1/chat?after=2"));
    EXPECT_EQ(page["lines"].size(), 1u);
    EXPECT_EQ(page["lines"][0]["seq"], 3);
    EXPECT_EQ(page["last"], 3);
    EXPECT_EQ(Get("/api/v1/chat?after=x").Status, 400);

    // One event a line, its data one line of JSON.
    ASSERT_TRUE(WaitFor(
        [&] { return stream.Pump(), stream.PeekReply(head) && head.Body.find("id: 3\n") != std::string::npos; }));
    EXPECT_NE(head.Body.find("id: 1\ndata: {"), std::string::npos) << head.Body;
    EXPECT_NE(head.Body.find("\"text\":\"hi\\nthere\""), std::string::npos) << head.Body;
    // The log is as it was: chat never goes into it.
    const std::vector<std::string> logAfter(Form().Console().Log().Lines().begin(),
                                            Form().Console().Log().Lines().end());
    EXPECT_EQ(logAfter, logBefore);
}

TEST_F(WebChat, AMutedViewerIsAnsweredAndHeardByNobodyUntilUnmuted) {
    SetPassword("s3cret");
    Form().SetupForEditing().WatchDemoPasswordEdit = "watch";
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    TRelayClient& a = NamedViewer("A");
    TRelayClient& c = NamedViewer("C");
    a.Send(WaitForGame(id));
    c.Send(WaitForGame(id));
    Settle();
    const std::string aId = std::to_string(Json(Get("/api/v1/viewers"))["viewers"][0]["id"].get<int64_t>());
    for (TRelayClient* r : {&a, &c, cam}) Drain(*r);

    EXPECT_EQ(Request("POST", "/api/v1/viewers/" + aId + "/mute", Auth("watch")).Status, 403);
    EXPECT_EQ(Request("POST", "/api/v1/viewers/999/mute", Auth("s3cret")).Status, 404);
    const THttpReply muted = Request("POST", "/api/v1/viewers/" + aId + "/mute", Auth("s3cret"));
    ASSERT_EQ(muted.Status, 200) << muted.Body;
    EXPECT_EQ(Json(muted)["muted"], true);
    EXPECT_TRUE(Logged("Remote admin 127.0.0.1: Mute User on viewer " + aId));
    EXPECT_EQ(Json(Get("/api/v1/viewers"))["viewers"][0]["muted"], true);
    a.Send(SendText("spam"));
    EXPECT_EQ(Drain(a), Packets{"ACKNAK(0)"});
    EXPECT_EQ(Drain(c), Packets{});
    EXPECT_EQ(Drain(*cam), Packets{});
    EXPECT_EQ(Json(Get("/api/v1/chat"))["last"], 0);

    ASSERT_EQ(Request("POST", "/api/v1/viewers/" + aId + "/unmute", Auth("s3cret")).Status, 200);
    EXPECT_TRUE(Logged("Remote admin 127.0.0.1: Unmute User on viewer " + aId));
    a.Send(SendText("sorry"));
    EXPECT_EQ(Drain(c), Packets{"SENDTEXT(A: sorry)"});
    EXPECT_EQ(Json(Get("/api/v1/chat"))["lines"][0]["text"], "sorry");
}

TEST_F(WebChat, ChatStreamsAreBounded) {
    std::vector<std::unique_ptr<THttpClient>> streams;
    // Each from an address of its own: one address may hold only so many connections.
    for (int i = 0; i < TWebApi::kMaxChatStreams; ++i) {
        streams.push_back(std::make_unique<THttpClient>(Port(), "127.0.0.1", "127.0.1." + std::to_string(i + 1)));
        streams.back()->Send(HttpRequestText("GET", "/api/v1/chat/stream"));
    }
    ASSERT_TRUE(WaitFor([&] { return web_->Server().Streams() == TWebApi::kMaxChatStreams; }));
    EXPECT_EQ(Get("/api/v1/chat/stream").Status, 503);
    // A place is free again once the server has seen the reader go (a
    // line wakes the streams).
    streams.pop_back();
    NamedViewer("v").Send(SendText("wake up"));
    ASSERT_TRUE(WaitFor([&] { return web_->Server().Streams() == TWebApi::kMaxChatStreams - 1; }));
    THttpClient again(Port(), "127.0.0.1", "127.0.1.200");
    again.Send(HttpRequestText("GET", "/api/v1/chat/stream"));
    THttpReply head;
    EXPECT_TRUE(WaitFor([&] { return again.Pump(), again.PeekReply(head) && head.Status == 200; }));
}

}  // namespace
}  // namespace vistrel::testing
