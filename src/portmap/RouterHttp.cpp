#include "portmap/RouterHttp.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace vox {

namespace {

using TSteady = std::chrono::steady_clock;

// The milliseconds left until deadline, at least 0.
int MsLeft(TSteady::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TSteady::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60LL * 60 * 1000));
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

class TFd {
  public:
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return fd_; }

  private:
    int fd_;
};

// Waits until fd is ready for events or deadline; false on the deadline.
bool WaitFor(int fd, short events, TSteady::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, MsLeft(deadline));
        if (rc > 0) {
            return true;
        }
        if (rc == 0 || errno != EINTR) {
            return false;
        }
    }
}

// Decodes a chunked body from text; false while incomplete, malformed set when it cannot be.
bool Unchunk(const std::string& text, std::string& body, bool& malformed) {
    std::size_t at = 0;
    body.clear();
    for (;;) {
        const std::size_t eol = text.find('\n', at);
        if (eol == std::string::npos) {
            malformed = text.size() - at > 64;  // a size line is short
            return false;
        }
        std::string line = text.substr(at, eol - at);
        line = line.substr(0, line.find(';'));  // extensions are skipped
        line = Trim(line);
        if (line.empty() || line.size() > 8 ||
            !std::all_of(line.begin(), line.end(),
                         [](unsigned char c) { return std::isxdigit(c) != 0; })) {
            malformed = true;
            return false;
        }
        const std::size_t size = std::stoul(line, nullptr, 16);
        at = eol + 1;
        if (size == 0) {
            return true;  // trailers, if any, are of no interest
        }
        if (text.size() - at < size) {
            return false;
        }
        body.append(text, at, size);
        at += size;
        // The chunk's own line end.
        if (at < text.size() && text[at] == '\r') {
            ++at;
        }
        if (at < text.size() && text[at] == '\n') {
            ++at;
        } else if (at < text.size()) {
            malformed = true;
            return false;
        }
    }
}

}  // namespace

bool SplitHttpUrl(const std::string& url, std::string& host, int& port, std::string& path) {
    const std::string scheme = "http://";
    if (Lower(url.substr(0, scheme.size())) != scheme) {
        return false;
    }
    std::size_t at = scheme.size();
    const std::size_t slash = url.find('/', at);
    const std::string authority = url.substr(at, slash == std::string::npos ? slash : slash - at);
    path = slash == std::string::npos ? "/" : url.substr(slash);
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = authority.substr(1, close - 1);
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') {
                return false;
            }
            portText = rest.substr(1);
        }
    } else {
        const std::size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            portText = authority.substr(colon + 1);
        }
    }
    port = 80;
    if (!portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(),
                                                [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        port = std::stoi(portText);
    }
    return !host.empty() && port > 0 && port < 65536 &&
           path.find_first_of(" \r\n") == std::string::npos;
}

bool ParseHttpAnswer(const std::string& raw, bool closed, THttpReply& reply, bool& malformed,
                     std::size_t* whole) {
    malformed = false;
    std::size_t headEnd = raw.find("\r\n\r\n");
    std::size_t bodyAt = headEnd == std::string::npos ? headEnd : headEnd + 4;
    const std::size_t bare = raw.find("\n\n");
    if (bare != std::string::npos && (headEnd == std::string::npos || bare < headEnd)) {
        headEnd = bare;
        bodyAt = bare + 2;
    }
    if (headEnd == std::string::npos) {
        malformed = closed;
        return false;
    }
    const std::string head = raw.substr(0, headEnd);
    std::size_t lineEnd = head.find('\n');
    const std::string status = Trim(head.substr(0, lineEnd));
    if (status.size() < 12 || status.compare(0, 7, "HTTP/1.") != 0 || status[8] != ' ' ||
        !std::isdigit(static_cast<unsigned char>(status[9])) ||
        !std::isdigit(static_cast<unsigned char>(status[10])) ||
        !std::isdigit(static_cast<unsigned char>(status[11]))) {
        malformed = true;
        return false;
    }
    reply.Status = std::stoi(status.substr(9, 3));
    long long contentLength = -1;
    bool chunked = false;
    while (lineEnd != std::string::npos) {
        const std::size_t next = head.find('\n', lineEnd + 1);
        const std::string line =
            head.substr(lineEnd + 1, next == std::string::npos ? next : next - lineEnd - 1);
        lineEnd = next;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string name = Lower(Trim(line.substr(0, colon)));
        const std::string value = Trim(line.substr(colon + 1));
        if (name == "content-length") {
            if (value.empty() || value.size() > 12 ||
                !std::all_of(value.begin(), value.end(),
                             [](unsigned char c) { return std::isdigit(c) != 0; })) {
                malformed = true;
                return false;
            }
            contentLength = std::stoll(value);
        } else if (name == "transfer-encoding" && Lower(value).find("chunked") == 0) {
            chunked = true;
        }
    }
    const std::string rest = raw.substr(bodyAt);
    if (chunked) {
        if (Unchunk(rest, reply.Body, malformed)) {
            return true;
        }
        malformed = malformed || closed;
        return false;
    }
    if (contentLength >= 0) {
        if (whole != nullptr) {
            *whole = bodyAt + static_cast<std::size_t>(contentLength);
        }
        if (static_cast<long long>(rest.size()) >= contentLength) {
            reply.Body = rest.substr(0, static_cast<std::size_t>(contentLength));
            return true;
        }
        malformed = closed;
        return false;
    }
    if (closed) {
        reply.Body = rest;
        return true;
    }
    return false;
}

THttpReply RouterHttp(const std::string& url, const std::string& method,
                      const std::string& extraHeaders, const std::string& body,
                      std::chrono::steady_clock::time_point deadline, std::size_t maxBytes) {
    namespace t = router_http_texts;
    THttpReply reply;
    std::string host;
    std::string path;
    int port = 0;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (!SplitHttpUrl(url, host, port, path) ||
        ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        reply.Failure = t::kBadUrl;
        return reply;
    }
    const TFd socket(::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const bool started =
        socket.Get() >= 0 &&
        (::connect(socket.Get(), found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS);
    ::freeaddrinfo(found);
    int error = 0;
    socklen_t length = sizeof error;
    if (!started || !WaitFor(socket.Get(), POLLOUT, deadline) ||
        ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        reply.Failure = MsLeft(deadline) == 0 && started ? t::kTooSlow : t::kNoConnect;
        return reply;
    }
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    char text[NI_MAXHOST] = {};
    if (::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
        ::getnameinfo(reinterpret_cast<sockaddr*>(&local), localLength, text, sizeof text, nullptr,
                      0, NI_NUMERICHOST) == 0) {
        reply.LocalAddress = text;
    }
    const std::string hostField = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                                  ":" + std::to_string(port);
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + hostField +
                          "\r\nConnection: close\r\n" + extraHeaders;
    if (method == "POST") {
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    request += "\r\n" + body;
    std::size_t sent = 0;
    while (sent < request.size()) {
        if (!WaitFor(socket.Get(), POLLOUT, deadline)) {
            reply.Failure = t::kTooSlow;
            return reply;
        }
        const ssize_t n =
            ::send(socket.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            reply.Failure = t::kNoConnect;
            return reply;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    std::string raw;
    char buffer[4096];
    // Parsed again only when it may have become whole: when the length it needs is there,
    // when it ends in a blank line (the end of the head or of a chunked body), or when it
    // has doubled, so that a router sending one byte at a time costs no more than the bytes.
    std::size_t parsedAt = 0;
    std::size_t whole = 0;
    for (;;) {
        bool malformed = false;
        if (!WaitFor(socket.Get(), POLLIN, deadline)) {
            reply.Failure = t::kTooSlow;
            return reply;
        }
        const ssize_t n = ::recv(socket.Get(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        const bool closed = n <= 0;
        if (!closed) {
            raw.append(buffer, static_cast<std::size_t>(n));
        }
        const bool blankLine = raw.size() >= 2 && raw.compare(raw.size() - 2, 2, "\n\n") == 0;
        const bool blankCrLf = raw.size() >= 4 && raw.compare(raw.size() - 4, 4, "\r\n\r\n") == 0;
        const bool worth =
            closed || (whole != 0 ? raw.size() >= whole
                                  : blankLine || blankCrLf || raw.size() >= 2 * parsedAt);
        if (!worth) {
            if (raw.size() > maxBytes) {
                reply.Failure = t::kTooLarge;
                return reply;
            }
            continue;
        }
        parsedAt = raw.size();
        if (ParseHttpAnswer(raw, closed, reply, malformed, &whole)) {
            reply.Ok = true;
            return reply;
        }
        if (malformed || closed) {
            reply.Failure = t::kMalformed;
            return reply;
        }
        if (raw.size() > maxBytes) {
            reply.Failure = t::kTooLarge;
            return reply;
        }
    }
}

}  // namespace vox
