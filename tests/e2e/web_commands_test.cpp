// The operator commands over HTTP and the remote admin password: each command
// with no, a wrong and the right password, refused while no password is set,
// and the wait after a failed attempt.
#include <string>

#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using nlohmann::json;
using WebCommands = WebTest;

TEST_F(WebCommands, EveryCommandIsRefusedWhileNoPasswordIsSet) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 1);
    TRelayClient& viewer = NamedViewer("v");
    const int64_t viewerId = Json(Get("/api/v1/viewers"))["viewers"][0]["id"];
    SetPassword("");
    for (const THeaderList& auth : {THeaderList{}, Auth(""), Auth("anything")}) {
        EXPECT_EQ(Request("POST", "/api/v1/games/" + std::to_string(id) + "/halt", auth).Status, 403);
        EXPECT_EQ(Request("DELETE", "/api/v1/games/" + std::to_string(id), auth).Status, 403);
        EXPECT_EQ(Request("POST", "/api/v1/viewers/" + std::to_string(viewerId) + "/kick", auth).Status, 403);
    }
    Settle();
    EXPECT_FALSE(cam->Ended());
    EXPECT_FALSE(viewer.Ended());
    EXPECT_EQ(Form().Console().Games().Count(), 1);
    // Reads on loopback need no password.
    EXPECT_EQ(Get("/api/v1/status").Status, 200);
}

TEST_F(WebCommands, HaltNeedsTheRightPassword) {
    SetPassword("s3cret");
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 2);
    const std::string halt = "/api/v1/games/" + std::to_string(id) + "/halt";

    const THttpReply none = Request("POST", halt);
    EXPECT_EQ(none.Status, 401);
    ASSERT_NE(none.Header("WWW-Authenticate"), nullptr);
    EXPECT_EQ(none.Header("WWW-Authenticate")->rfind("Basic ", 0), 0u);
    // No credentials at all is no failed attempt: the right ones are taken at once.
    THttpReply wrong = Request("POST", halt, Auth("wrong"));
    EXPECT_EQ(wrong.Status, 401);
    Settle();
    EXPECT_FALSE(cam->Ended());

    AdvanceClock(std::chrono::milliseconds(1001));
    const THttpReply right = Request("POST", halt, Auth("s3cret", "anyone"));
    ASSERT_EQ(right.Status, 200) << right.Body;
    EXPECT_EQ(Json(right), (json{{"id", id}, {"halted", true}}));
    EXPECT_TRUE(WaitFor([&] { return cam->Ended(); }));
    Settle();
    // The game stays, without its sender; a second halt has nothing to halt.
    EXPECT_EQ(Form().Console().Games().Count(), 1);
    EXPECT_EQ(Request("POST", halt, Auth("s3cret")).Status, 409);
    EXPECT_EQ(Request("POST", "/api/v1/games/999/halt", Auth("s3cret")).Status, 404);
    EXPECT_TRUE(LoggedContaining("Remote admin 127.0.0.1: Halt Transfer on game " + std::to_string(id)));
}

TEST_F(WebCommands, DeleteNeedsTheRightPassword) {
    SetPassword("s3cret");
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 2);
    TRelayClient& watcher = NamedViewer("w");
    TRelayClient& idle = NamedViewer("idle");
    watcher.Send(WaitForGame(id));
    Settle();
    Drain(idle);
    const std::string game = "/api/v1/games/" + std::to_string(id);

    EXPECT_EQ(Request("DELETE", game).Status, 401);
    EXPECT_EQ(Request("DELETE", game, Auth("s3cre")).Status, 401);
    AdvanceClock(std::chrono::milliseconds(1001));
    EXPECT_EQ(Request("DELETE", game, Auth("s3cret ")).Status, 401);
    AdvanceClock(std::chrono::milliseconds(1001));
    EXPECT_EQ(Form().Console().Games().Count(), 1);

    const THttpReply right = Request("DELETE", game, Auth("s3cret"));
    ASSERT_EQ(right.Status, 200) << right.Body;
    EXPECT_EQ(Json(right), (json{{"id", id}, {"deleted", true}}));
    Settle();
    EXPECT_EQ(Form().Console().Games().Count(), 0);
    EXPECT_TRUE(cam->Ended());
    EXPECT_TRUE(watcher.Ended());
    EXPECT_EQ(Drain(idle), std::vector<std::string>{"GAMEREMOVED(" + std::to_string(id) + ")"});
    EXPECT_EQ(Request("DELETE", game, Auth("s3cret")).Status, 404);
}

TEST_F(WebCommands, KickClosesThatViewersConnection) {
    SetPassword("s3cret");
    TRelayClient& first = NamedViewer("first");
    TRelayClient& second = NamedViewer("second");
    const json viewers = Json(Get("/api/v1/viewers"))["viewers"];
    ASSERT_EQ(viewers.size(), 2u);
    ASSERT_EQ(viewers[1]["name"], "second");
    const std::string kick = "/api/v1/viewers/" + std::to_string(viewers[1]["id"].get<int64_t>()) + "/kick";

    EXPECT_EQ(Request("POST", kick).Status, 401);
    EXPECT_EQ(Request("POST", kick, Auth("nope")).Status, 401);
    AdvanceClock(std::chrono::milliseconds(1001));
    Settle();
    EXPECT_FALSE(second.Ended());

    const THttpReply right = Request("POST", kick, Auth("s3cret"));
    ASSERT_EQ(right.Status, 200) << right.Body;
    EXPECT_EQ(Json(right)["kicked"], true);
    EXPECT_TRUE(WaitFor([&] { return second.Ended(); }));
    Settle();
    EXPECT_FALSE(first.Ended());
    EXPECT_EQ(Form().Console().Users().Count(), 1);
    EXPECT_EQ(Request("POST", kick, Auth("s3cret")).Status, 404);
    EXPECT_EQ(Request("POST", "/api/v1/viewers/0/kick", Auth("s3cret")).Status, 404);
}

TEST_F(WebCommands, AFailedAttemptMakesThatAddressWaitASecond) {
    SetPassword("s3cret");
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 1);
    const std::string halt = "/api/v1/games/" + std::to_string(id) + "/halt";

    EXPECT_EQ(Request("POST", halt, Auth("wrong")).Status, 401);
    // Within the second even the right password is not considered.
    const THttpReply waiting = Request("POST", halt, Auth("s3cret"));
    EXPECT_EQ(waiting.Status, 429);
    ASSERT_NE(waiting.Header("Retry-After"), nullptr);
    EXPECT_EQ(*waiting.Header("Retry-After"), "1");
    AdvanceClock(std::chrono::milliseconds(500));
    EXPECT_EQ(Request("POST", halt, Auth("s3cret")).Status, 429);
    Settle();
    EXPECT_FALSE(cam->Ended());
    // The wait counts from the failure, not from the refused attempts.
    AdvanceClock(std::chrono::milliseconds(501));
    EXPECT_EQ(Request("POST", halt, Auth("s3cret")).Status, 200);
    EXPECT_TRUE(WaitFor([&] { return cam->Ended(); }));
}

TEST_F(WebCommands, ThePasswordIsNeverLogged) {
    SetPassword("TopSecretWord");
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 1);
    Request("POST", "/api/v1/games/" + std::to_string(id) + "/halt", Auth("GuessedWord"));
    AdvanceClock(std::chrono::milliseconds(1001));
    Request("POST", "/api/v1/games/" + std::to_string(id) + "/halt", Auth("TopSecretWord"));
    Settle();
    EXPECT_FALSE(LoggedContaining("TopSecretWord"));
    EXPECT_FALSE(LoggedContaining("GuessedWord"));
    EXPECT_FALSE(LoggedContaining(BasicAuthorization("admin", "TopSecretWord").substr(6)));
}

TEST_F(WebCommands, AnEightBitPasswordMatchesAsUtf8) {
    SetPassword("caf\xE9");  // stored as 8-bit text
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 1);
    EXPECT_EQ(Request("POST", "/api/v1/games/" + std::to_string(id) + "/halt", Auth("caf\xC3\xA9")).Status, 200);
}

TEST_F(WebCommands, ReadsNeedThePasswordOffLoopbackUnlessPublic) {
    // Not started: the answers are asked of the API directly, as for a
    // server listening on every interface.
    TWebOptions options;
    options.Listen = THttpListen{"0.0.0.0", 0};
    TWebApi open(Form(), options);
    EXPECT_TRUE(open.ReadsNeedPassword());
    THttpRequest request;
    request.Method = "GET";
    request.Path = "/api/v1/status";
    request.PeerAddr = "192.0.2.7";
    SetPassword("");
    EXPECT_EQ(open.Handle(request).Status, 403);  // nothing is open by default
    SetPassword("pw");
    EXPECT_EQ(open.Handle(request).Status, 401);
    request.Path = "/metrics";
    EXPECT_EQ(open.Handle(request).Status, 401);
    request.Headers.emplace_back("Authorization", BasicAuthorization("x", "pw"));
    EXPECT_EQ(open.Handle(request).Status, 200);
    request.Headers.clear();
    request.Headers.emplace_back("Authorization", BasicAuthorization("x", "bad"));
    EXPECT_EQ(open.Handle(request).Status, 401);
    EXPECT_EQ(open.Handle(request).Status, 429);

    options.PublicRead = true;
    TWebApi publicRead(Form(), options);
    EXPECT_FALSE(publicRead.ReadsNeedPassword());
    request.Headers.clear();
    for (const char* path : {"/api/v1/status", "/api/v1/games", "/api/v1/viewers", "/api/v1/log", "/metrics"}) {
        request.Path = path;
        EXPECT_EQ(publicRead.Handle(request).Status, 200) << path;
    }
    // Commands still need it.
    request.Method = "DELETE";
    request.Path = "/api/v1/games/1";
    EXPECT_EQ(publicRead.Handle(request).Status, 401);

    options.PublicRead = false;
    options.Listen.Addr = "127.0.0.1";
    EXPECT_FALSE(TWebApi(Form(), options).ReadsNeedPassword());
}

TEST_F(WebCommands, EachRouteAsksForThePasswordAsItsAccessSays) {
    TRelayClient* cam = nullptr;
    SenderWithDemo(cam, "Cam", 1);
    SetPassword("pw");
    TWebOptions options;
    options.Listen = THttpListen{"0.0.0.0", 0};
    const auto answer = [&](TWebApi& api, const char* method, const char* path, bool withPassword) {
        THttpRequest request;
        request.Method = method;
        request.Path = path;
        request.PeerAddr = "192.0.2.8";
        if (withPassword) request.Headers.emplace_back("Authorization", BasicAuthorization("x", "pw"));
        return api.Handle(request).Status;
    };
    TWebApi closed(Form(), options);
    options.PublicRead = true;
    TWebApi open(Form(), options);
    for (const char* path :
         {"/metrics", "/api/v1/status", "/api/v1/games", "/api/v1/viewers", "/api/v1/log", "/api/v1/log/stream",
          "/api/v1/games/1", "/api/v1/games/1/segments/0", "/api/v1/games/1/recording", "/api/v1/settings"}) {
        EXPECT_EQ(answer(closed, "GET", path, false), 401) << path;
        EXPECT_NE(answer(closed, "GET", path, true), 401) << path;
        EXPECT_NE(answer(open, "GET", path, false), 401) << path;
    }
    EXPECT_EQ(answer(closed, "GET", "/", false), 200);
    // Commands need it even where reads are public; nothing ran.
    for (const auto& [method, path] :
         {std::pair{"POST", "/api/v1/games/1/halt"}, std::pair{"DELETE", "/api/v1/games/1"},
          std::pair{"POST", "/api/v1/viewers/1/kick"}, std::pair{"PUT", "/api/v1/settings"}})
        EXPECT_EQ(answer(open, method, path, false), 401) << path;
    Settle();
    EXPECT_FALSE(cam->Ended());
    EXPECT_EQ(Form().Console().Games().Count(), 1);
}

TEST_F(WebCommands, ACommandFromAnotherSitesPageIsRefused) {
    SetPassword("s3cret");
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 1);
    const std::string halt = "/api/v1/games/" + std::to_string(id) + "/halt";
    // A browser that has the credentials cached would add them to a form
    // another site posts here; its Origin gives it away.
    THeaderList foreign = Auth("s3cret");
    foreign.emplace_back("Origin", "http://attacker.example");
    EXPECT_EQ(Request("POST", halt, foreign).Status, 403);
    Settle();
    EXPECT_FALSE(cam->Ended());
    // The page's own requests carry its own origin.
    THeaderList own = Auth("s3cret");
    own.emplace_back("Origin", "http://127.0.0.1");
    EXPECT_EQ(Request("POST", halt, own).Status, 200);
}

TEST_F(WebCommands, ThePageIsAskedNoPasswordByTheBrowser) {
    SetPassword("s3cret");
    // The page asks for the password itself: its refusals carry no challenge
    // that would make the browser open a password box of its own.
    const THttpReply fromPage = Request("POST", "/api/v1/games/1/halt", {{"X-Requested-With", "vistrel-page"}});
    EXPECT_EQ(fromPage.Status, 401);
    EXPECT_EQ(fromPage.Header("WWW-Authenticate"), nullptr);
    const THttpReply fromElsewhere = Request("POST", "/api/v1/games/1/halt");
    EXPECT_EQ(fromElsewhere.Status, 401);
    EXPECT_NE(fromElsewhere.Header("WWW-Authenticate"), nullptr);
}

TEST_F(WebCommands, SettingsAreSetThroughTheirFieldsOnlyWhenTheWholeBodyIsSound) {
    const json defaults = {{"broadcast_delay_seconds", 0},
                           {"catch_up_packets", 1},
                           {"crowd_limit", 200},
                           {"max_clients", 0}};
    EXPECT_EQ(Json(Get("/api/v1/settings")), defaults);
    SetPassword("s3cret");
    const auto put = [&](std::string_view body) { return Request("PUT", "/api/v1/settings", Auth("s3cret"), body); };
    for (const char* bad : {R"({"max_clients":1,"crowd_limit":-1})", R"({"catch_up_packets":17})",
                            R"({"max_clients":18446744073709551615})", R"({"crowd_limit":"5"})",
                            R"({"crowd_limit":5.5})", R"({"colour":1})", "[1]", "{\"crowd_limit\":"})
        EXPECT_EQ(put(bad).Status, 400) << bad;
    EXPECT_EQ(Json(put(R"({"catch_up_packets":0})"))["error"], "catch_up_packets must be a whole number from 1 to 16");
    EXPECT_EQ(put(std::string(4097, ' ')).Status, 413);
    EXPECT_EQ(Json(Get("/api/v1/settings")), defaults);

    const THttpReply set = put(R"({"broadcast_delay_seconds":90,"max_clients":1})");
    ASSERT_EQ(set.Status, 200) << set.Body;
    EXPECT_EQ(Json(set)["broadcast_delay_seconds"], 90);
    EXPECT_EQ(Json(Get("/api/v1/settings"))["max_clients"], 1);
    EXPECT_TRUE(LoggedContaining("Remote admin 127.0.0.1: Setup BroadcastDelaySpin = 90"));
    // Set through the field: the change event the relay wired acted.
    EXPECT_EQ(TMainFormProbe::DemoViewers(Form()).MaxClients, 1);
}

// Off loopback, as a server on every interface: the answers are asked of
// the API directly, from one address.
struct TClosedApi {
    TClosedApi(TMainForm& form, TAuthLimits limits = {}) : Api(form, Options(limits)) {}
    static TWebOptions Options(TAuthLimits limits) {
        TWebOptions options;
        options.Listen = THttpListen{"0.0.0.0", 0};
        options.AuthLimits = limits;
        return options;
    }
    int Status(const std::string& method, const std::string& path, std::string_view password,
               const std::string& peer = "192.0.2.9", std::string* error = nullptr) {
        THttpRequest request;
        request.Method = method;
        request.Path = path;
        request.PeerAddr = peer;
        if (!password.empty()) request.Headers.emplace_back("Authorization", BasicAuthorization("x", password));
        const THttpResponse response = Api.Handle(request);
        if (error) *error = nlohmann::json::parse(response.Body, nullptr, false).value("error", "");
        return response.Status;
    }
    TWebApi Api;
};

TEST_F(WebCommands, TheWatchPasswordReadsButNeverCommands) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 2);
    NamedViewer("v");
    const std::string viewerId = std::to_string(Json(Get("/api/v1/viewers"))["viewers"][0]["id"].get<int64_t>());
    const std::string kick = "/api/v1/viewers/" + viewerId + "/kick";
    SetPassword("admin-pw");
    Form().SetupForEditing().WatchDemoPasswordEdit = "watch-pw";
    TClosedApi closed(Form());
    const std::string game = "/api/v1/games/" + std::to_string(id);
    for (const std::string& path :
         {std::string("/metrics"), game + "/segments/0", game, std::string("/api/v1/settings")}) {
        EXPECT_EQ(closed.Status("GET", path, "watch-pw"), 200) << path;
        EXPECT_EQ(closed.Status("GET", path, "admin-pw"), 200) << path;
    }
    std::string error;
    EXPECT_EQ(closed.Status("POST", kick, "watch-pw", "192.0.2.9", &error), 403);
    EXPECT_EQ(error, "the watch password allows reading only: commands need the remote admin password");
    EXPECT_EQ(closed.Status("POST", "/api/v1/games/" + std::to_string(id) + "/halt", "watch-pw"), 403);
    // A command with the watch password is no failed guess: the admin password is heard at once.
    EXPECT_EQ(closed.Status("POST", kick, "admin-pw"), 200);

    // An empty watch password is no credential; with no admin password either, reads are off.
    Form().SetupForEditing().WatchDemoPasswordEdit = "";
    EXPECT_EQ(closed.Status("GET", "/metrics", "watch-pw", "192.0.2.10"), 401);
    SetPassword("");
    Form().SetupForEditing().WatchDemoPasswordEdit = "watch-pw";
    EXPECT_EQ(closed.Status("GET", "/metrics", "watch-pw", "192.0.2.11"), 200);
    EXPECT_EQ(closed.Status("POST", kick, "watch-pw", "192.0.2.11"), 403);
    Form().SetupForEditing().WatchDemoPasswordEdit = "";
    EXPECT_EQ(closed.Status("GET", "/metrics", "anything", "192.0.2.12"), 403);
}

TEST_F(WebCommands, FailedLoginsAreLoggedOncePerAddressAMinute) {
    SetPassword("s3cret");
    const auto lines = [&](std::string_view text) {
        int count = 0;
        const TLogLines& log = Form().Console().Log();
        for (int64_t i = log.First(); i < log.Count(); ++i) count += log.Line(i).find(text) != std::string::npos;
        return count;
    };
    const std::string settings = "/api/v1/settings";
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Request("PUT", settings, Auth("guess" + std::to_string(i)), "{}").Status, 401);
        AdvanceClock(std::chrono::milliseconds(1001));
    }
    EXPECT_EQ(lines("HTTP login failed from 127.0.0.1"), 1);
    EXPECT_FALSE(LoggedContaining("guess"));
    // Another address has a line of its own.
    TClosedApi closed(Form());
    EXPECT_EQ(closed.Status("GET", "/metrics", "nope", "10.0.0.7"), 401);
    EXPECT_TRUE(LoggedContaining("HTTP login failed from 10.0.0.7"));
    // A minute after its line, the periodic check reports the failures since.
    AdvanceClock(std::chrono::seconds(58));
    EXPECT_TRUE(WaitFor([&] { return lines("HTTP login failed from 127.0.0.1") == 2; }));
    EXPECT_TRUE(LoggedContaining("HTTP login failed from 127.0.0.1 (2 times in the last minute)"));
    EXPECT_EQ(Request("PUT", settings, Auth("guess"), "{}").Status, 401);
    Settle();
    EXPECT_EQ(lines("HTTP login failed from 127.0.0.1"), 2);
}

TEST_F(WebCommands, TheWaitFailsClosedWhenItsTableIsFull) {
    SetPassword("pw");
    TClosedApi closed(Form(), {.MaxRemembered = 2, .MaxFailuresPerSecond = 100});
    EXPECT_EQ(closed.Status("GET", "/metrics", "bad", "10.0.0.1"), 401);
    EXPECT_EQ(closed.Status("GET", "/metrics", "bad", "10.0.0.2"), 401);
    std::string error;
    EXPECT_EQ(closed.Status("GET", "/metrics", "pw", "10.0.0.3", &error), 429);
    EXPECT_EQ(error, "too many failed attempts from everywhere: try again in a second");
    AdvanceClock(TAdminAuth::kFailureWait);
    EXPECT_EQ(closed.Status("GET", "/metrics", "pw", "10.0.0.3"), 200);
    EXPECT_EQ(closed.Api.Auth().Remembered(), 2u);
}

TEST_F(WebCommands, StatusWarnsOfNoFilmingPasswordOffLoopback) {
    EXPECT_EQ(Json(Get("/api/v1/status"))["warnings"], json::array());  // the fixture's relay is on loopback
    TMainForm open(loop_, front_, nullptr, TListenSettings{"0.0.0.0", "38963", "38962"});
    TClosedApi closed(open);
    open.SetupForEditing().RemoteAdminPasswordEdit = "pw";
    THttpRequest request;
    request.Method = "GET";
    request.Path = "/api/v1/status";
    request.Headers.emplace_back("Authorization", BasicAuthorization("x", "pw"));
    const json warned = json::parse(closed.Api.Handle(request).Body);
    EXPECT_EQ(warned["warnings"],
              json::array({"Warning: no filming password is set: anyone who can reach port 38963 can film"}));
    open.SetupForEditing().FilmDemoPasswordEdit = "film";
    EXPECT_EQ(json::parse(closed.Api.Handle(request).Body)["warnings"], json::array());
}

}  // namespace
}  // namespace vistrel::testing
