// Addresses as the program shows, stores and compares them, and the "host[:port]" text a user
// types to name a partner.
//
// One text per address: IPv4 in dotted form, an IPv4-mapped IPv6 address (how an IPv4 caller
// arrives on a dual-stack listener) as plain dotted IPv4, any other IPv6 address in the
// compressed form of RFC 5952 (lower case, the longest run of two or more zero groups as "::",
// the first such run on a tie). Two texts name the same partner exactly when they are equal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct sockaddr;
struct sockaddr_storage;
struct in6_addr;

namespace vox {

// The text of an IPv4 or IPv6 socket address (its port left out); "" for any other family.
std::string AddressText(const sockaddr& address);
// An IPv6 address in RFC 5952 form; an IPv4-mapped one as dotted IPv4.
std::string Ipv6Text(const in6_addr& address);
// A numeric address typed in any accepted form, in the one form above; "" when the text is no
// numeric IPv4 or IPv6 address.
std::string CanonicalAddress(std::string_view text);
bool IsIpv6Literal(std::string_view text);
bool IsIpv4Literal(std::string_view text);

// Fills a socket address for a numeric address (dotted IPv4 or IPv6) and port; false when the
// text is neither or the port is outside 0..65535.
bool MakeSocketAddress(std::string_view address, int port, sockaddr_storage& out, unsigned& length);

// "host:port", with an IPv6 address in brackets ("[2001:db8::1]:9911").
std::string JoinHostPort(std::string_view host, int port);

// What a user typed to name a partner: a host name or address, and a port.
struct TDialTarget {
    std::string Host;        // a name, dotted IPv4 or IPv6 (canonical form), never bracketed
    int Port = 0;            // the port given, or the default
    bool PortGiven = false;  // whether the text named the port
};

// The longest host name the resolver accepts.
inline constexpr std::size_t kMaxHostNameLength = 253;

// Reads "host", "host:port", "[IPv6]", "[IPv6]:port" or a bare IPv6 literal (which takes the
// default port). Blanks around the text are ignored. Returns "" and fills target when the text
// is sound, otherwise a message for the user (UTF-8) and leaves target as it was. An empty text
// is no target either ("接続先が入力されていません。").
std::string ParseDialTarget(std::string_view text, int defaultPort, TDialTarget& target);

// The texts ParseDialTarget gives (UTF-8).
namespace address_texts {
inline constexpr const char* kEmpty = "接続先が入力されていません。";
inline constexpr const char* kBlank = "接続先に空白が含まれています。";
inline constexpr const char* kUnclosedBracket = "接続先の「[」に対応する「]」がありません。";
inline constexpr const char* kBadIpv6 = "接続先の IPv6 アドレスが正しくありません。";
inline constexpr const char* kAfterBracket =
    "接続先の「]」の後にはポート番号を「:ポート番号」の形で書いてください。";
inline constexpr const char* kNoHost = "接続先のホスト名がありません。";
inline constexpr const char* kNoPort = "接続先の「:」の後にポート番号がありません。";
inline constexpr const char* kBadPort =
    "接続先のポート番号は 1 から 65535 までの数字で書いてください。";
inline constexpr const char* kTooLong = "接続先のホスト名が長すぎます（253 文字まで）。";
inline constexpr const char* kBadCharacter = "接続先のホスト名に使えない文字が含まれています。";
}  // namespace address_texts

// True for a global unicast IPv6 address (2000::/3), the kind a partner elsewhere can reach.
bool IsGlobalIpv6(const in6_addr& address);
// This machine's global IPv6 addresses, from the interfaces that are up, in RFC 5952 form.
std::vector<std::string> GlobalIpv6Addresses();

// Why a connect or look-up failed, in plain words (UTF-8), from the error code and the failed
// call's name as ESocketError carries them.
std::string PlainConnectError(int code, std::string_view api);

}  // namespace vox
