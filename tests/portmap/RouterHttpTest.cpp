// The mapper's HTTP with a router: what it makes of well-formed and broken answers, and that a
// router that drips, sends without end or never answers is left by the deadline or the size
// bound. The "router" is a thread on loopback that sends what the case says.
#include "portmap/RouterHttp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace vox {
namespace {

using namespace std::chrono_literals;
using TSteady = std::chrono::steady_clock;

// Accepts one connection, reads the request head and hands the socket to serve.
class TFakeRouter {
  public:
    explicit TFakeRouter(std::function<void(int fd)> serve) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, serve = std::move(serve)] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            std::string head;
            char c = 0;
            while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) {
                head += c;
            }
            serve(fd);
            ::close(fd);
        });
    }
    ~TFakeRouter() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/desc.xml"; }

    // Sends text; false once the client has gone.
    static bool Send(int fd, const std::string& text) {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

THttpReply Get(const TFakeRouter& router, std::chrono::milliseconds within,
               std::size_t maxBytes = 4096) {
    return RouterHttp(router.Url(), "GET", "", "", TSteady::now() + within, maxBytes);
}

TEST(RouterHttpTest, WholeAnswersByLengthByChunksAndByClosing) {
    THttpReply reply;
    bool malformed = false;
    EXPECT_TRUE(ParseHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", false,
                                reply, malformed));
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Body, "hello");
    EXPECT_FALSE(ParseHttpAnswer("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhel", false, reply,
                                 malformed));
    EXPECT_FALSE(malformed);
    EXPECT_TRUE(
        ParseHttpAnswer("HTTP/1.1 500 Error\r\nTransfer-Encoding: "
                        "chunked\r\n\r\n3;x=y\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
                        false, reply, malformed));
    EXPECT_EQ(reply.Status, 500);
    EXPECT_EQ(reply.Body, "abcde");
    EXPECT_TRUE(ParseHttpAnswer("HTTP/1.0 200 OK\n\nuntil closed", true, reply, malformed));
    EXPECT_EQ(reply.Body, "until closed");
}

TEST(RouterHttpTest, BrokenAnswersAreMalformedNotWaitedFor) {
    for (const char* raw : {"SSDP/1.0 200 OK\r\n\r\n", "HTTP/1.1 2x0 OK\r\n\r\n",
                            "HTTP/1.1 200 OK\r\nContent-Length: -4\r\n\r\nbody",
                            "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999\r\n\r\n",
                            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab",
                            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nabc"}) {
        THttpReply reply;
        bool malformed = false;
        EXPECT_FALSE(ParseHttpAnswer(raw, false, reply, malformed)) << raw;
        EXPECT_TRUE(malformed) << raw;
    }
    // Cut short by the router closing: no more bytes can make it whole.
    for (const char* raw :
         {"HTTP/1.1 200 OK\r\nContent-Le", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nab",
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"}) {
        THttpReply reply;
        bool malformed = false;
        EXPECT_FALSE(ParseHttpAnswer(raw, true, reply, malformed)) << raw;
        EXPECT_TRUE(malformed) << raw;
    }
}

TEST(RouterHttpTest, UrlsThatAreNotPlainNumericHttpAreRefused) {
    std::string host;
    std::string path;
    int port = 0;
    ASSERT_TRUE(SplitHttpUrl("http://192.168.1.1:5000/rootDesc.xml", host, port, path));
    EXPECT_EQ(host, "192.168.1.1");
    EXPECT_EQ(port, 5000);
    EXPECT_EQ(path, "/rootDesc.xml");
    ASSERT_TRUE(SplitHttpUrl("http://[fe80::1%25eth0]/a", host, port, path));
    EXPECT_EQ(port, 80);
    for (const char* url :
         {"https://1.2.3.4/", "http://[::1/x", "http://1.2.3.4:99999/", "http://1.2.3.4:abc/",
          "http://:80/", "http://1.2.3.4/a b", "ftp://x/"}) {
        EXPECT_FALSE(SplitHttpUrl(url, host, port, path)) << url;
    }
    // A name would need a look-up that cannot be bounded: refused, not resolved.
    const THttpReply reply =
        RouterHttp("http://router.invalid/desc.xml", "GET", "", "", TSteady::now() + 5s, 4096);
    EXPECT_FALSE(reply.Ok);
    EXPECT_EQ(reply.Failure, router_http_texts::kBadUrl);
}

TEST(RouterHttpTest, ARouterAnsweringProperlyIsRead) {
    TFakeRouter router([](int fd) {
        TFakeRouter::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n<root/>");
        char c = 0;
        ::recv(fd, &c, 1, 0);  // keeps the connection open: the length ends the answer
    });
    const THttpReply reply = Get(router, 10s);
    ASSERT_TRUE(reply.Ok) << reply.Failure;
    EXPECT_EQ(reply.Body, "<root/>");
    EXPECT_EQ(reply.LocalAddress, "127.0.0.1");
}

TEST(RouterHttpTest, ADrippingRouterIsLeftAtTheDeadline) {
    TFakeRouter router([](int fd) {
        TFakeRouter::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        while (TFakeRouter::Send(fd, "x")) {
            std::this_thread::sleep_for(50ms);
        }
    });
    const THttpReply reply = Get(router, 500ms);
    EXPECT_FALSE(reply.Ok);
    EXPECT_EQ(reply.Failure, router_http_texts::kTooSlow);
}

TEST(RouterHttpTest, ARouterSendingWithoutEndIsLeftAtTheSizeBound) {
    for (const bool headEnds : {true, false}) {
        TFakeRouter router([headEnds](int fd) {
            // A body that claims to be huge, or a head that never ends.
            if (headEnds) {
                TFakeRouter::Send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n");
            }
            const std::string block(8192, headEnds ? 'x' : 'h');
            while (TFakeRouter::Send(fd, block)) {
            }
        });
        const THttpReply reply = Get(router, 30s, 64 * 1024);
        EXPECT_FALSE(reply.Ok);
        EXPECT_EQ(reply.Failure, router_http_texts::kTooLarge) << headEnds;
    }
}

TEST(RouterHttpTest, ARouterThatNeverAnswersOrClosesAtOnceIsAFailure) {
    TFakeRouter silent([](int fd) {
        char c = 0;
        ::recv(fd, &c, 1, 0);  // until the client gives up
    });
    EXPECT_EQ(Get(silent, 300ms).Failure, router_http_texts::kTooSlow);
    TFakeRouter closing([](int) {});
    EXPECT_EQ(Get(closing, 5s).Failure, router_http_texts::kMalformed);
}

}  // namespace
}  // namespace vox
