#include "net/Address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vox {

namespace {

std::string DottedText(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// A port as typed: 1 to 65535 in decimal digits (leading zeros allowed, no sign).
bool ReadPort(std::string_view text, int& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) {
        return false;
    }
    port = value;
    return true;
}

// Characters no host name holds; bytes from 0x80 up pass (a PC name typed in Japanese is the
// resolver's to refuse).
bool IsForbiddenInHost(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f ||
           std::strchr("[]/\\@#?,;\"'<>|*%!$&()=+^`{}~", c) != nullptr;
}

}  // namespace

std::string Ipv6Text(const in6_addr& address) {
    if (IN6_IS_ADDR_V4MAPPED(&address)) {
        in_addr v4{};
        std::memcpy(&v4, address.s6_addr + 12, 4);
        return DottedText(v4);
    }
    std::uint16_t groups[8];
    for (std::size_t i = 0; i < 8; ++i) {
        groups[i] =
            static_cast<std::uint16_t>((address.s6_addr[2 * i] << 8) | address.s6_addr[2 * i + 1]);
    }
    // The longest run of zero groups, two or more long, the first one on a tie.
    int bestStart = -1;
    int bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0) {
            ++j;
        }
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    if (bestLength < 2) {
        bestStart = -1;
    }
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        static constexpr char kHex[] = "0123456789abcdef";
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = (groups[i] >> shift) & 0xFu;
            if (digit != 0 || started || shift == 0) {
                text += kHex[digit];
                started = true;
            }
        }
    }
    return text;
}

std::string AddressText(const sockaddr& address) {
    if (address.sa_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, &address, sizeof v4);
        return DottedText(v4.sin_addr);
    }
    if (address.sa_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, &address, sizeof v6);
        return Ipv6Text(v6.sin6_addr);
    }
    return {};
}

bool IsIpv4Literal(std::string_view text) {
    const std::string copy(text);
    in_addr address{};
    return inet_pton(AF_INET, copy.c_str(), &address) == 1;
}

bool IsIpv6Literal(std::string_view text) {
    const std::string copy(text);
    in6_addr address{};
    return inet_pton(AF_INET6, copy.c_str(), &address) == 1;
}

std::string CanonicalAddress(std::string_view text) {
    const std::string copy(text);
    in_addr v4{};
    if (inet_pton(AF_INET, copy.c_str(), &v4) == 1) {
        return DottedText(v4);
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, copy.c_str(), &v6) == 1) {
        return Ipv6Text(v6);
    }
    return {};
}

bool MakeSocketAddress(std::string_view address, int port, sockaddr_storage& out,
                       unsigned& length) {
    if (port < 0 || port > 65535) {
        return false;
    }
    const std::string copy(address);
    out = sockaddr_storage{};
    sockaddr_in v4{};
    if (inet_pton(AF_INET, copy.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&out, &v4, sizeof v4);
        length = sizeof v4;
        return true;
    }
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET6, copy.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&out, &v6, sizeof v6);
        length = sizeof v6;
        return true;
    }
    return false;
}

std::string JoinHostPort(std::string_view host, int port) {
    std::string text;
    if (host.find(':') != std::string_view::npos) {
        text = "[" + std::string(host) + "]";
    } else {
        text = std::string(host);
    }
    return text + ":" + std::to_string(port);
}

std::string ParseDialTarget(std::string_view text, int defaultPort, TDialTarget& target) {
    namespace t = address_texts;
    text = Trimmed(text);
    if (text.empty()) {
        return t::kEmpty;
    }
    for (const char c : text) {
        if (IsBlank(c)) {
            return t::kBlank;
        }
    }
    TDialTarget found;
    found.Port = defaultPort;
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return t::kUnclosedBracket;
        }
        const std::string_view inside = text.substr(1, close - 1);
        if (!IsIpv6Literal(inside)) {
            return t::kBadIpv6;
        }
        found.Host = CanonicalAddress(inside);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return t::kAfterBracket;
            }
            if (rest.size() == 1) {
                return t::kNoPort;
            }
            if (!ReadPort(rest.substr(1), found.Port)) {
                return t::kBadPort;
            }
            found.PortGiven = true;
        }
        target = found;
        return {};
    }
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
        // Two colons or more: an IPv6 address without brackets, which names no port.
        if (!IsIpv6Literal(text)) {
            return t::kBadIpv6;
        }
        found.Host = CanonicalAddress(text);
        target = found;
        return {};
    }
    std::string_view host = text;
    if (colon != std::string_view::npos) {
        host = text.substr(0, colon);
        const std::string_view port = text.substr(colon + 1);
        if (host.empty()) {
            return t::kNoHost;
        }
        if (port.empty()) {
            return t::kNoPort;
        }
        if (!ReadPort(port, found.Port)) {
            return t::kBadPort;
        }
        found.PortGiven = true;
    }
    if (host.size() > kMaxHostNameLength) {
        return t::kTooLong;
    }
    for (const char c : host) {
        if (IsForbiddenInHost(c)) {
            return t::kBadCharacter;
        }
    }
    const std::string canonical = CanonicalAddress(host);
    found.Host = canonical.empty() ? std::string(host) : canonical;
    target = found;
    return {};
}

bool IsGlobalIpv6(const in6_addr& address) {
    return (address.s6_addr[0] & 0xE0) == 0x20;
}

std::vector<std::string> GlobalIpv6Addresses() {
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return found;
    }
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET6 ||
            (it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        sockaddr_in6 v6{};
        std::memcpy(&v6, it->ifa_addr, sizeof v6);
        if (!IsGlobalIpv6(v6.sin6_addr)) {
            continue;
        }
        const std::string text = Ipv6Text(v6.sin6_addr);
        if (std::find(found.begin(), found.end(), text) == found.end()) {
            found.push_back(text);
        }
    }
    freeifaddrs(list);
    return found;
}

std::string PlainConnectError(int code, std::string_view api) {
    if (api == "getaddrinfo") {
        switch (code) {
            case EAI_NONAME:
#ifdef EAI_NODATA
            case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
            case EAI_ADDRFAMILY:
#endif
                return "その名前のコンピューターが見つかりません。";
            case EAI_AGAIN:
            case EAI_FAIL:
                return "名前を調べられませんでした（DNS サーバーが応答しません）。";
            default:
                return "名前を調べられませんでした。";
        }
    }
    switch (code) {
        case ECONNREFUSED:
            return "相手のコンピューターには届きましたが、そのポートで待ち受けているプログラムが"
                   "ありません（ポート番号の違い、待ち受けしていない、またはファイアウォール）。";
        case ETIMEDOUT:
            return "相手から応答がありません（電源が切れている、アドレスの誤り、またはルーターや"
                   "ファイアウォールが通していません）。";
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EADDRNOTAVAIL:
            return "相手のアドレスへの経路がありません（ネットワークにつながっていないか、"
                   "このネットワークからは届かないアドレスです）。";
        case ECONNABORTED:
            return "接続を取りやめました。";
        case ECONNRESET:
            return "相手が接続を切りました。";
        case EINVAL:
            return "アドレスまたはポート番号が正しくありません。";
        default:
            return "接続できませんでした。";
    }
}

}  // namespace vox
