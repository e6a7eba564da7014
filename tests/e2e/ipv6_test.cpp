// The relay over IPv6: senders, viewers, the HTTP side and an edge on ::1,
// one port shared by an IPv6 and an IPv4 address, and an IPv4 peer of a
// dual-stack socket shown as the dotted address it is.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "web/http_server.h"
#include "edge/origin_mirror.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using nlohmann::json;

bool HasIpv6Loopback() {
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return bound;
}

class Ipv6Relay : public WebTest {
protected:
    void SetUp() override {
        if (!HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
        WebTest::SetUp();
        StartWeb({}, false, web_addr_);
    }
    std::string web_addr_ = "::1";
};

class Ipv6Loopback : public Ipv6Relay {
protected:
    Ipv6Loopback() {
        listen_ = TListenSettings{"::1", "0", "0", TWSocketServer::kDefaultBacklog, {"127.0.0.1"}};
        client_address_ = http_address_ = "::1";
    }
};

TEST_F(Ipv6Loopback, SendersViewersHttpAndAnEdgeWorkOverIpv6) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    TRelayClient& viewer = NamedViewer("six");
    viewer.Send(WaitForGame(id));
    Tick();
    EXPECT_TRUE(LoggedContaining("Viewer connecting: ::1"));
    EXPECT_TRUE(LoggedContaining("::1 joined game " + std::to_string(id)));
    EXPECT_TRUE(SafetyWarnings(Form()).empty());  // ::1 and 127.0.0.1 are both loopback

    // The IPv4 address beside it listens at the same port.
    client_address_ = "127.0.0.1";
    NamedViewer("four");
    EXPECT_TRUE(LoggedContaining("Viewer connecting: 127.0.0.1"));

    const json viewers = Json(Get("/api/v1/viewers"));
    ASSERT_EQ(viewers["viewers"].size(), 2u);
    EXPECT_EQ(viewers["viewers"][0]["address"], "::1");
    EXPECT_EQ(viewers["viewers"][1]["address"], "127.0.0.1");

    // An edge on ::1 mirrors the origin through http://[::1]:PORT.
    TMainForm edge(loop_, front_, nullptr, TListenSettings{"::1", "0", "0"});
    ASSERT_TRUE(edge.FormCreate());
    TMirrorOptions options;
    options.OriginUrl = "http://[::1]:" + std::to_string(Port());
    options.PollInterval = std::chrono::milliseconds(100);
    TOriginMirror mirror(edge.Host(), edge.Loop(), options);
    mirror.Start();
    ASSERT_TRUE(WaitFor([&] {
        const int32_t local = mirror.LocalIdOf(id);
        const TActiveGameList* game = local == 0 ? nullptr : TMainFormProbe::Games(edge)->FindById(local);
        return game && game->Count() == 3;
    }));
}

class DualStack : public Ipv6Relay {
protected:
    DualStack() {
        listen_ = TListenSettings{"::", "0", "0"};
        web_addr_ = "::";
    }
};

TEST_F(DualStack, AnIpv4PeerShowsAsItsDottedAddressInTheLogTheListsAndTheApi) {
    NamedViewer("four");
    EXPECT_TRUE(LoggedContaining("Viewer connecting: 127.0.0.1"));
    client_address_ = "::1";
    NamedViewer("six");
    EXPECT_TRUE(LoggedContaining("Viewer connecting: ::1"));
    ASSERT_EQ(Form().Console().Users().Count(), 2);
    EXPECT_EQ(Form().Console().Users().Column(0, 1), "127.0.0.1") << Form().Console().Users().Line(0);

    // The HTTP side on :: (not loopback: reads need a password) names the
    // IPv4 peer it refused the same way.
    SetPassword("pw");
    EXPECT_EQ(Get("/api/v1/viewers", Auth("wrong")).Status, 401);
    EXPECT_TRUE(LoggedContaining("HTTP login failed from 127.0.0.1"));
    AdvanceClock(std::chrono::seconds(2));
    const json viewers = Json(Get("/api/v1/viewers", Auth("pw")));
    ASSERT_EQ(viewers["viewers"].size(), 2u);
    EXPECT_EQ(viewers["viewers"][0]["address"], "127.0.0.1");
    EXPECT_FALSE(SafetyWarnings(Form()).empty());  // :: is every interface
}

}  // namespace
}  // namespace vistrel::testing
