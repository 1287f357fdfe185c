#include "net/ClientSocket.h"

#include <cerrno>
#include <utility>

#include "net/HostLookup.h"
#include "net/SocketError.h"

namespace vox {

TClientSocket::TClientSocket(std::uint32_t connectTimeoutMs, std::uint32_t attemptDelayMs)
    : connectTimeoutMs_(connectTimeoutMs), attemptDelayMs_(attemptDelayMs) {}

TClientSocket::~TClientSocket() {
    Close();
}

void TClientSocket::CheckInactive() const {
    if (Active()) {
        throw ESocketError(kCantChangeWhileActiveText);
    }
}

void TClientSocket::SetHost(std::string host) {
    if (host != host_) {
        CheckInactive();
        host_ = std::move(host);
    }
}

void TClientSocket::SetAddress(std::string address) {
    if (address != address_) {
        CheckInactive();
        address_ = std::move(address);
    }
}

void TClientSocket::SetPort(int port) {
    if (port != port_) {
        CheckInactive();
        port_ = port;
    }
}

void TClientSocket::Open() {
    if (Active()) {
        return;
    }
    if (host_.empty() && address_.empty()) {
        throw ESocketError(kNoAddressText);
    }
    if (socket_.Aborted()) {
        throw ESocketError::ForCall(ECONNABORTED, "connect");
    }
    std::vector<std::string> addresses{address_};
    if (!host_.empty()) {
        addresses = resolve_ ? resolve_(host_) : LookupHostAddresses(host_);
    }
    // A Cancel() during the look-up makes the connect fail before it begins.
    socket_.ConnectFirst(addresses, port_, connectTimeoutMs_, attemptDelayMs_);
    if (OnConnect) {
        OnConnect(*this, socket_);
    }
}

void TClientSocket::Close() {
    socket_.Close();
}

void TClientSocket::Cancel() {
    socket_.Abort();
}

}  // namespace vox
