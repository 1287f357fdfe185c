// Which addresses partners are told to dial.
#include "session/Reach.h"

#include <gtest/gtest.h>

namespace vox {
namespace {

TMappingState Mapped(const std::string& external, std::vector<TMappedPort> ports) {
    TMappingState state;
    state.Mapped = true;
    state.Method = "NAT-PMP";
    state.ExternalAddress = external;
    state.Ports = std::move(ports);
    return state;
}

TEST(ReachTest, TheRouterMappingComesFirstWithThePortTheRouterGranted) {
    // NAT-PMP gave another external port for the conversation port: partners dial that one.
    const auto state = Mapped("11.22.33.1", {{9911, 40001}, {9912, 40002}});
    const auto addresses = ReachAddresses(state, {"2001:db8::5"}, 9911);
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(addresses[0].Kind, "IPv4");
    EXPECT_EQ(addresses[0].Dial, "11.22.33.1:40001");
    EXPECT_EQ(addresses[1].Dial, "[2001:db8::5]:9911");
    EXPECT_EQ(AddressForPartners(state, {"2001:db8::5"}, 9911), "11.22.33.1:40001");
}

TEST(ReachTest, NoMappingOrAPrivateOneLeavesIpv6OrNothing) {
    TMappingState none;
    EXPECT_EQ(AddressForPartners(none, {"2001:db8::5"}, 9921), "[2001:db8::5]:9921");
    EXPECT_EQ(AddressForPartners(none, {}, 9921), "");
    // A router behind another NAT: its "external" address is no use outside.
    const auto doubleNat = Mapped("100.64.1.2", {{9911, 9911}, {9912, 9912}});
    EXPECT_EQ(AddressForPartners(doubleNat, {}, 9911), "");
    // A mapping that failed for some ports counts as none.
    auto partial = Mapped("11.22.33.1", {{9912, 9912}});
    partial.Mapped = false;
    EXPECT_EQ(AddressForPartners(partial, {}, 9911), "");
}

}  // namespace
}  // namespace vox
