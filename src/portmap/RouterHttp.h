// The HTTP that the port mapper speaks with a UPnP router: the device description (GET) and
// the control calls (SOAP POST). Written here rather than left to libminiupnpc, whose HTTP
// reader has no bound on the size of an answer and waits anew for each piece of it, so that
// a router that drips one byte every few seconds or sends without end would hold the mapper
// forever. Here every exchange ends by a deadline and reads at most a given number of bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vox {

struct THttpReply {
    bool Ok = false;           // a whole answer arrived in time and was read
    std::string Failure;       // why not (Japanese, for the log), when !Ok
    int Status = 0;            // the HTTP status code
    std::string Body;          // decoded (chunked bodies put together)
    std::string LocalAddress;  // this machine's address on the connection (numeric)
};

namespace router_http_texts {
inline constexpr const char* kBadUrl = "ルーターが示したアドレスが正しくありません";
inline constexpr const char* kNoConnect = "ルーターにつながりません";
inline constexpr const char* kTooSlow = "ルーターの応答が時間内に終わりません";
inline constexpr const char* kTooLarge = "ルーターの応答が大きすぎます";
inline constexpr const char* kMalformed = "ルーターの応答の形式が正しくありません";
}  // namespace router_http_texts

// One exchange with the router at url ("http://<numeric address>[:port]/path"; a name is
// refused rather than looked up, since a look-up could not be bounded): method, extra header
// lines (each ending in "\r\n") and body. Waits no later than deadline and reads at most
// maxBytes (head and body together); on either bound the answer is a failure.
THttpReply RouterHttp(const std::string& url, const std::string& method,
                      const std::string& extraHeaders, const std::string& body,
                      std::chrono::steady_clock::time_point deadline, std::size_t maxBytes);

// Splits "http://host:port/path" into its parts; false when it is no such URL. The host of
// an IPv6 URL comes without its brackets.
bool SplitHttpUrl(const std::string& url, std::string& host, int& port, std::string& path);

// Reads a whole HTTP answer from raw (head and body). Returns false when it is not complete
// yet or malformed: malformed is then set when no more bytes could make it whole. closed: the
// router has closed the connection (no more bytes come). whole, when given, receives the size
// raw needs to be whole once the head tells it (Content-Length).
bool ParseHttpAnswer(const std::string& raw, bool closed, THttpReply& reply, bool& malformed,
                     std::size_t* whole = nullptr);

}  // namespace vox
