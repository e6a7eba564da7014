// The remote admin password's pieces: the comparison, the Basic credentials
// and the bounded memory of failed addresses.
#include "web/admin_auth.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/event_loop.h"
#include "testing/http_client.h"

namespace vistrel::testing {
namespace {

TEST(AdminAuth, ComparesInConstantTimeOverTheGivenText) {
    EXPECT_TRUE(ConstantTimeEquals("secret", "secret"));
    EXPECT_FALSE(ConstantTimeEquals("secreT", "secret"));
    EXPECT_FALSE(ConstantTimeEquals("secret1", "secret"));
    EXPECT_FALSE(ConstantTimeEquals("secre", "secret"));
    EXPECT_FALSE(ConstantTimeEquals("secretsecret", "secret"));  // cycled, still unequal
    EXPECT_FALSE(ConstantTimeEquals("", "secret"));
    EXPECT_TRUE(ConstantTimeEquals("", ""));
    EXPECT_FALSE(ConstantTimeEquals("x", ""));
}

TEST(AdminAuth, ReadsBasicCredentials) {
    std::string password;
    EXPECT_TRUE(BasicPassword(BasicAuthorization("user", "pa:ss"), password));
    EXPECT_EQ(password, "pa:ss");
    EXPECT_TRUE(BasicPassword("basic " + BasicAuthorization("", "x").substr(6), password));
    EXPECT_EQ(password, "x");
    EXPECT_FALSE(BasicPassword("Bearer abc", password));
    EXPECT_FALSE(BasicPassword("Basic", password));
    EXPECT_FALSE(BasicPassword("Basic !!!!", password));
    EXPECT_FALSE(BasicPassword("Basic " + BasicAuthorization("nocolon", "").substr(6, 8), password));
}

TEST(AdminAuth, RemembersABoundedNumberOfAddresses) {
    std::vector<std::string> lines;
    TAdminAuth auth({.MaxRemembered = 4096, .MaxFailuresPerSecond = 100000},
                    [&](const std::string& l) { lines.push_back(l); });
    const std::string wrong = BasicAuthorization("", "wrong");
    const std::string right = BasicAuthorization("", "pw");
    const TCredentials pw{"pw", ""};
    auto now = TEventLoop::Clock::now();
    for (size_t i = 0; i < 4096 + 100; ++i)
        auth.Check(&wrong, "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), pw, true, now);
    EXPECT_EQ(auth.Remembered(), 4096u);
    EXPECT_EQ(lines.size(), 4096u);
    // Every remembered address still waits: a new one is not heard, not even with the right password.
    EXPECT_EQ(auth.Check(&right, "192.0.2.1", pw, true, now), TAuthResult::Busy);
    // Once the oldest's wait is over it makes room, and the newcomer waits in its turn.
    now += TAdminAuth::kFailureWait;
    EXPECT_EQ(auth.Check(&wrong, "192.0.2.1", pw, true, now), TAuthResult::Wrong);
    EXPECT_EQ(auth.Remembered(), 4096u);
    EXPECT_EQ(auth.Check(&right, "192.0.2.1", pw, true, now), TAuthResult::Waiting);
}

TEST(AdminAuth, AFailureAMinuteAfterTheLastLineReportsThoseSince) {
    std::vector<std::string> lines;
    TAdminAuth auth({}, [&](const std::string& l) { lines.push_back(l); });
    const std::string wrong = BasicAuthorization("", "wrong");
    auto now = TEventLoop::Clock::now();
    for (int i = 0; i < 3; ++i, now += TAdminAuth::kFailureWait)
        EXPECT_EQ(auth.Check(&wrong, "10.0.0.7", {"pw", "watch"}, false, now), TAuthResult::Wrong);
    auth.ReportPending(now);
    EXPECT_EQ(lines, std::vector<std::string>{"HTTP login failed from 10.0.0.7"});
    now += std::chrono::seconds(58);
    EXPECT_EQ(auth.Check(&wrong, "10.0.0.7", {"pw", "watch"}, false, now), TAuthResult::Wrong);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "HTTP login failed from 10.0.0.7 (3 times in the last minute)");
    EXPECT_EQ(auth.Check(&wrong, "10.0.0.7", {"pw", "watch"}, false, now + std::chrono::seconds(1)),
              TAuthResult::Wrong);
    auth.ReportPending(now + std::chrono::seconds(200));
    EXPECT_EQ(lines.back(), "HTTP login failed from 10.0.0.7");
}

TEST(AdminAuth, FailuresEverywhereHaveACeilingPerSecond) {
    TAdminAuth auth({.MaxRemembered = 4096, .MaxFailuresPerSecond = 5});
    const std::string wrong = BasicAuthorization("", "wrong");
    const std::string right = BasicAuthorization("", "pw");
    auto now = TEventLoop::Clock::now();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(auth.Check(&wrong, "10.1.0." + std::to_string(i), {"pw", ""}, true, now), TAuthResult::Wrong);
    EXPECT_EQ(auth.Check(&right, "10.2.0.1", {"pw", ""}, true, now), TAuthResult::Busy);
    now += std::chrono::seconds(1);
    EXPECT_EQ(auth.Check(&right, "10.2.0.1", {"pw", ""}, true, now), TAuthResult::Allowed);
}

}  // namespace
}  // namespace vistrel::testing
