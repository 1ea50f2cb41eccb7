// The limit on guessing the bootstrap secret.
#include "Bootstrap.hpp"
#include "ServiceFixture.hpp"

using namespace ZUQRelayTests;
using ZUQRelay::Bootstrap;

namespace {

const char* const tooMany = "Too many wrong bootstrap secrets. Try again in a minute.";

TEST(BootstrapTest, FailuresCountAgainstAnIPv4AddressOrAnIPv6Network) {
    struct Case {
        std::string address;
        std::string counted;
    } cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2:3:4:5:6", "2001:0db8:0001:0002::/64"},
        {"2001:db8:1:2::ffff", "2001:0db8:0001:0002::/64"},
        {"[2001:DB8:1:2::1]", "2001:0db8:0001:0002::/64"},
        {"fe80::1%eth0", "fe80:0000:0000:0000::/64"},
        {"2001:db8:1:3::1", "2001:0db8:0001:0003::/64"},
        {"not an address", "not an address"},
    };
    for (const auto& [address, counted] : cases) {
        EXPECT_EQ(Bootstrap::counted(address), counted) << address;
    }
}

TEST(BootstrapTest, AddressesOfOneIPv6NetworkShareTheirLimit) {
    ManualClock clock;
    Bootstrap bootstrap("secret", clock);
    for (int host = 1; host <= 10; ++host) {
        EXPECT_REFUSED(bootstrap.check("2001:db8:1:2::" + std::to_string(host), "guess"), 403,
                       "Invalid bootstrap secret");
    }
    // Even the right secret, from a fresh address of the same network.
    EXPECT_REFUSED(bootstrap.check("2001:db8:1:2:aaaa::1", "secret"), 429, tooMany);
    EXPECT_NO_THROW(bootstrap.check("2001:db8:1:3::1", "secret"));
    clock.advance(60);
    EXPECT_NO_THROW(bootstrap.check("2001:db8:1:2::1", "secret"));
}

TEST(BootstrapTest, AFullTableRefusesNewAddressesRatherThanStopCounting) {
    ManualClock clock;
    Bootstrap bootstrap("secret", clock, 3);
    for (const char* address : {"192.0.2.1", "192.0.2.2", "192.0.2.3"}) {
        EXPECT_REFUSED(bootstrap.check(address, "guess"), 403, "Invalid bootstrap secret");
    }
    // A new address is neither checked nor let guess while every place holds a recent failure.
    EXPECT_REFUSED(bootstrap.check("192.0.2.4", "guess"), 429, tooMany);
    EXPECT_REFUSED(bootstrap.check("192.0.2.4", "secret"), 429, tooMany);
    // Addresses already counted go on as before.
    EXPECT_NO_THROW(bootstrap.check("192.0.2.1", "secret"));
    EXPECT_REFUSED(bootstrap.check("192.0.2.2", "guess"), 403, "Invalid bootstrap secret");
    // Once their failures are a minute old, the places are free again.
    clock.advance(60);
    EXPECT_NO_THROW(bootstrap.check("192.0.2.4", "secret"));
    EXPECT_REFUSED(bootstrap.check("192.0.2.5", "guess"), 403, "Invalid bootstrap secret");
}

} // namespace
