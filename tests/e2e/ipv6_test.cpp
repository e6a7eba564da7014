// Senders, viewers, HTTP and an edge on ::1 (127.0.0.1 at the same port); the
// default, dual-stack, naming an IPv4 peer by its dotted address.
#include <string>

#include "edge/origin_mirror.h"
#include "tests/e2e/free_port.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

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
    NamedViewer("six").Send(WaitForGame(id));
    Settle();
    EXPECT_TRUE(SafetyWarnings(Form()).empty());  // ::1 and 127.0.0.1 are loopback
    client_address_ = "127.0.0.1";                // the IPv4 address at the same port
    NamedViewer("four");
    const std::string viewers = Get("/api/v1/viewers").Body, four = "\"address\":\"127.0.0.1\"";
    EXPECT_LT(viewers.find("\"address\":\"::1\""), viewers.find(four)) << viewers;

    TMainForm edge(loop_, front_, nullptr, TListenSettings{"::1", "0", "0"});
    ASSERT_TRUE(edge.FormCreate());
    TOriginMirror mirror(edge.Host(), edge.Loop(), {"http://[::1]:" + std::to_string(Port()), ""});
    mirror.Start();
    EXPECT_TRUE(WaitFor([&] {
        const TActiveGameList* game = TMainFormProbe::Games(edge)->FindById(mirror.LocalIdOf(id));
        return game && game->Count() == 3;
    }));
}

class DualStack : public Ipv6Relay {
protected:
    DualStack() {
        listen_ = TListenSettings{TListenSettings::kEveryInterface, "0", "0"};
        web_addr_ = "::";
    }
};

TEST_F(DualStack, AnIpv4PeerShowsAsItsDottedAddressInTheLogTheListsAndTheApi) {
    EXPECT_TRUE(LoggedContaining("Listening on every IPv4 and IPv6 interface (one dual-stack socket per port)"));
    NamedViewer("four");
    client_address_ = "::1";
    NamedViewer("six");
    EXPECT_TRUE(LoggedContaining("Viewer connecting: 127.0.0.1") && LoggedContaining("Viewer connecting: ::1"));
    EXPECT_EQ(Form().Console().Users().Column(0, 1), "127.0.0.1");
    SetPassword("pw");  // on :: reads need it
    EXPECT_NE(Get("/api/v1/viewers", Auth("pw")).Body.find("\"address\":\"127.0.0.1\""), std::string::npos);
    EXPECT_EQ(Get("/api/v1/viewers", Auth("wrong")).Status, 401);
    EXPECT_TRUE(LoggedContaining("HTTP login failed from 127.0.0.1"));
}

}  // namespace
}  // namespace vistrel::testing
