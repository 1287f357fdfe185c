// What the mapper makes of the router's external address, and a mapper with no router at all.
#include "portmap/PortMapper.h"

#include <gtest/gtest.h>

namespace vox {
namespace {

TEST(PortMapperTest, ExternalAddressesThatGiveNoReachFromOutside) {
    for (const char* address : {"10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.0.1",
                                "169.254.3.4", "100.64.0.1", "100.127.255.254"}) {
        EXPECT_EQ(ClassifyExternalAddress(address), "private") << address;
    }
    for (const char* address :
         {"11.22.33.1", "172.32.0.1", "100.128.0.1", "100.63.255.255", "203.0.113.9", "8.8.8.8"}) {
        EXPECT_EQ(ClassifyExternalAddress(address), "") << address;
    }
    for (const char* address : {"0.0.0.0", "", "garbage", "::1"}) {
        EXPECT_EQ(ClassifyExternalAddress(address), "none") << address;
    }
}

TEST(PortMapperTest, WithBothMethodsOffItSaysThereIsNoRouterAndMapsNothing) {
    std::vector<std::string> lines;
    std::mutex mutex;
    TPortMapOptions options;
    options.UseUpnp = false;
    options.UseNatPmp = false;
    {
        TPortMapper mapper(
            [&](const std::string& line) {
                std::lock_guard lock(mutex);
                lines.push_back(line);
            },
            options);
        mapper.SetPorts({9911, 9912});
        ASSERT_TRUE(mapper.WaitIdle(10000));
        EXPECT_FALSE(mapper.State().Mapped);
        mapper.SetPorts({});
        ASSERT_TRUE(mapper.WaitIdle(10000));
    }
    EXPECT_EQ(lines, std::vector<std::string>{portmap_texts::kNoRouter});
}

}  // namespace
}  // namespace vox
