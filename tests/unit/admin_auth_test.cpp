// The remote admin password's pieces: the comparison, the Basic credentials
// and the bounded memory of failed addresses.
#include <string>

#include <gtest/gtest.h>

#include "net/event_loop.h"
#include "testing/http_client.h"
#include "web/admin_auth.h"

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
    TAdminAuth auth;
    const std::string wrong = BasicAuthorization("", "wrong");
    auto now = TEventLoop::Clock::now();
    for (size_t i = 0; i < TAdminAuth::kMaxRemembered + 100; ++i)
        auth.Check(&wrong, "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), "pw", now);
    EXPECT_EQ(auth.Remembered(), TAdminAuth::kMaxRemembered);
    // Once their wait is over, the old ones make room.
    now += TAdminAuth::kFailureWait;
    EXPECT_EQ(auth.Check(&wrong, "192.0.2.1", "pw", now), TAuthResult::Wrong);
    EXPECT_EQ(auth.Remembered(), 1u);
    EXPECT_EQ(auth.Check(&wrong, "192.0.2.1", "pw", now), TAuthResult::Waiting);
}

}  // namespace
}  // namespace vistrel::testing
