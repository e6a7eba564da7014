// HOST[:PORT] as the tools take it from a user.
#include "client/server_address.h"

#include <gtest/gtest.h>

namespace vistrel::client {
namespace {

TEST(ServerAddress, TakesAHostWithOrWithoutItsPort) {
    TServerAddress address;
    ASSERT_TRUE(ParseServerAddress("relay.example.org", 38962, address));
    EXPECT_EQ(address.Host, "relay.example.org");
    EXPECT_EQ(address.Port, 38962);
    ASSERT_TRUE(ParseServerAddress("10.0.0.7:65535", 38962, address));
    EXPECT_EQ(address.Host, "10.0.0.7");
    EXPECT_EQ(address.Port, 65535);
    for (const char* six : {"[::1]:38962", "[::1]", "::1"})
        EXPECT_TRUE(ParseServerAddress(six, 38962, address) && address.Host == "::1" && address.Port == 38962) << six;
}

TEST(ServerAddress, RefusesAnEmptyHostAndPortsOutsideOneTo65535) {
    TServerAddress address;
    for (const char* text : {"", ":38963", "host:", "host:0", "host:65536", "host:99999999", "host:12a", "host:-1",
                             "[::1]:0", "[::1]x", "[::1"})
        EXPECT_FALSE(ParseServerAddress(text, 38963, address)) << text;
}

TEST(ServerAddress, ResolvesLoopbackAndKeepsADottedAddress) {
    std::string error;
    EXPECT_EQ(ResolveIpv4("127.0.0.1", error), "127.0.0.1");
    EXPECT_EQ(ResolveIpv4("localhost", error), "127.0.0.1") << error;
    EXPECT_EQ(ResolveIpv4("no-such-host.invalid", error), "");
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vistrel::client
