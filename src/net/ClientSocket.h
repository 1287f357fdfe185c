// Connector: opens one outgoing connection, blocking on the calling thread. Another thread may
// end a connect in progress with Close() or, for good, with Cancel().
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/CustomWinSocket.h"
#include "platform/Durations.h"

namespace vox {

class TClientSocket {
  public:
    // connectTimeoutMs bounds the wait for the connection to stand (0: the system's limit).
    // attemptDelayMs: how long each address of a host with several is given before the next
    // one is tried beside it.
    explicit TClientSocket(std::uint32_t connectTimeoutMs = kHandshakeLimitMs,
                           std::uint32_t attemptDelayMs = kConnectAttemptDelayMs);
    virtual ~TClientSocket();  // closes the connection

    TClientSocket(const TClientSocket&) = delete;
    TClientSocket& operator=(const TClientSocket&) = delete;

    // Settings; set them before Open(). Changing one while the connection stands raises
    // ESocketError "ソケットを使用中は値を変更できません".
    const std::string& Host() const { return host_; }  // a name (or numeric address)
    void SetHost(std::string host);
    const std::string& Address() const { return address_; }  // dotted IPv4 or IPv6
    void SetAddress(std::string address);
    int Port() const { return port_; }
    void SetPort(int port);
    // How Host becomes addresses, in the order to try them: LookupHostAddresses unless set. It
    // runs on the thread that calls Open() and must raise ESocketError for a name it cannot
    // find.
    using TResolve = std::function<std::vector<std::string>(const std::string&)>;
    void SetResolver(TResolve resolve) { resolve_ = std::move(resolve); }

    // Connects on the calling thread: to the first of Host's addresses that answers (see
    // TCustomWinSocket::ConnectFirst) when Host is set, otherwise to Address. On success OnConnect
    // runs on this thread before Open returns. Does nothing while the connection stands. Raises
    // ESocketError: "アドレスが指定されていません" with neither Host nor Address, the resolver's
    // error (API 'getaddrinfo') for an unknown host, the socket error with API 'connect' when the
    // connection cannot be made. An exception from OnConnect propagates with the connection
    // left standing.
    void Open();
    // Closes the connection (thread-safe; wakes a thread that uses it).
    void Close();
    // Closes for good (thread-safe): an Open() in progress or to come fails with ECONNABORTED,
    // one in its look-up as soon as the look-up returns.
    void Cancel();
    // True while the connection stands (from a successful Open() until Close()).
    bool Active() const { return socket_.Connected(); }

    TCustomWinSocket& Socket() { return socket_; }
    const TCustomWinSocket& Socket() const { return socket_; }

    std::function<void(TClientSocket&, TCustomWinSocket&)> OnConnect;

  private:
    void CheckInactive() const;

    std::uint32_t connectTimeoutMs_;
    std::uint32_t attemptDelayMs_;
    std::string host_;
    std::string address_;
    int port_ = 0;
    TResolve resolve_;
    TCustomWinSocket socket_;
};

}  // namespace vox
