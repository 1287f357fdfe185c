// Address texts and the "host[:port]" a user types.
#include "net/Address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <string>

#include "net/HostLookup.h"

namespace vox {
namespace {

TEST(AddressTest, Ipv6IsWrittenInRfc5952Form) {
    const std::pair<const char*, const char*> cases[] = {
        {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},     // first of two equal runs
        {"2001:db8:0:0:0:1:0:0", "2001:db8::1:0:0"},       // the longer run, even when later
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays "0"
        {"0:0:0:0:0:0:0:1", "::1"},
        {"::", "::"},
        {"fe80::", "fe80::"},
        {"::ffff:192.0.2.7", "192.0.2.7"},  // IPv4-mapped: plain dotted IPv4
        {"::ffff:c000:0207", "192.0.2.7"},
        {"2001:db8::ffff:c000:207", "2001:db8::ffff:c000:207"},  // not mapped
        {"192.168.001.2", ""},                                   // no valid numeric form
        {"10.0.0.1", "10.0.0.1"},
        {"example.com", ""},
    };
    for (const auto& [typed, canonical] : cases) {
        EXPECT_EQ(CanonicalAddress(typed), canonical) << typed;
    }
}

TEST(AddressTest, SocketAddressesOfBothFamiliesReadBackAsTheirTexts) {
    for (const char* text : {"127.0.0.1", "::1", "2001:db8::5"}) {
        sockaddr_storage address{};
        unsigned length = 0;
        ASSERT_TRUE(MakeSocketAddress(text, 9911, address, length)) << text;
        EXPECT_EQ(AddressText(reinterpret_cast<const sockaddr&>(address)), text);
    }
    sockaddr_storage address{};
    unsigned length = 0;
    EXPECT_FALSE(MakeSocketAddress("host.example", 1, address, length));
    EXPECT_FALSE(MakeSocketAddress("127.0.0.1", 65536, address, length));
    EXPECT_EQ(JoinHostPort("2001:db8::1", 9921), "[2001:db8::1]:9921");
    EXPECT_EQ(JoinHostPort("example.com", 9921), "example.com:9921");
}

TDialTarget Parsed(const std::string& text, int defaultPort = 9911) {
    TDialTarget target;
    const std::string error = ParseDialTarget(text, defaultPort, target);
    EXPECT_EQ(error, "") << text;
    return target;
}

TEST(AddressTest, EveryAcceptedFormGivesHostAndPort) {
    struct TCase {
        const char* text;
        const char* host;
        int port;
        bool given;
    };
    const TCase cases[] = {
        {"example.com", "example.com", 9911, false},
        {"example.com:9921", "example.com", 9921, true},
        {"  pc-01:1  ", "pc-01", 1, true},  // blanks around it are dropped
        {"192.0.2.1:65535", "192.0.2.1", 65535, true},
        {"[2001:db8::1]:9921", "2001:db8::1", 9921, true},
        {"[2001:DB8:0::1]", "2001:db8::1", 9911, false},
        {"2001:db8::1", "2001:db8::1", 9911, false},  // bare: the own port
        {"::1", "::1", 9911, false},
        {"[::ffff:10.0.0.1]:80", "10.0.0.1", 80, true},
        {"host:09921", "host", 9921, true},
    };
    for (const TCase& c : cases) {
        const TDialTarget target = Parsed(c.text);
        EXPECT_EQ(target.Host, c.host) << c.text;
        EXPECT_EQ(target.Port, c.port) << c.text;
        EXPECT_EQ(target.PortGiven, c.given) << c.text;
    }
}

TEST(AddressTest, BadInputGetsItsOwnMessageAndLeavesTheTargetAlone) {
    namespace t = address_texts;
    const std::string longName(300, 'a');
    const std::pair<std::string, const char*> cases[] = {
        {"", t::kEmpty},
        {"   ", t::kEmpty},
        {"[::1", t::kUnclosedBracket},
        {"[::1]x", t::kAfterBracket},
        {"[::1]:", t::kNoPort},
        {"[example.com]:80", t::kBadIpv6},
        {"[::1]:0", t::kBadPort},
        {"host:99999", t::kBadPort},
        {"host:65536", t::kBadPort},
        {"host:0", t::kBadPort},
        {"host:abc", t::kBadPort},
        {"host:-1", t::kBadPort},
        {"host:123456", t::kBadPort},
        {"host:", t::kNoPort},
        {":9911", t::kNoHost},
        {longName, t::kTooLong},
        {longName + ":80", t::kTooLong},
        {"my host", t::kBlank},
        {"host :80", t::kBlank},
        {"ho\tst", t::kBlank},
        {"2001:db8::1::2", t::kBadIpv6},
        {"1:2:3", t::kBadIpv6},
        {"host/x", t::kBadCharacter},
        {"user@host", t::kBadCharacter},
        {std::string("ho\x01st"), t::kBadCharacter},
    };
    for (const auto& [text, message] : cases) {
        TDialTarget target;
        target.Host = "unchanged";
        EXPECT_EQ(ParseDialTarget(text, 9911, target), message) << text;
        EXPECT_EQ(target.Host, "unchanged") << text;
    }
    EXPECT_EQ(Parsed(std::string(253, 'a')).Host.size(), 253u);  // the longest name passes
}

TEST(AddressTest, TheCallOrderStartsWithIpv6AndAlternatesTheFamilies) {
    EXPECT_EQ(InterleaveFamilies({"10.0.0.1", "10.0.0.2", "2001:db8::1", "10.0.0.1"}),
              (std::vector<std::string>{"2001:db8::1", "10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(InterleaveFamilies({"2001:db8::1", "2001:db8::2", "10.0.0.1"}),
              (std::vector<std::string>{"2001:db8::1", "10.0.0.1", "2001:db8::2"}));
    // A numeric address is no look-up.
    EXPECT_EQ(LookupHostAddresses("::1"), std::vector<std::string>{"::1"});
}

TEST(AddressTest, ConnectFailuresAreSaidInPlainWords) {
    EXPECT_NE(PlainConnectError(ECONNREFUSED, "connect"), PlainConnectError(ETIMEDOUT, "connect"));
    EXPECT_EQ(PlainConnectError(EAI_NONAME, "getaddrinfo"),
              "その名前のコンピューターが見つかりません。");
    EXPECT_NE(PlainConnectError(EHOSTUNREACH, "connect").find("経路"), std::string::npos);
}

}  // namespace
}  // namespace vox
