// For the encryption tests: a trust store in memory, and a relay between two copies that
// records every byte it passes and may hang up on connections that start with a TLS record.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/Trust.h"

namespace vox::testing {

class TMemoryTrustStore : public ITrustStore {
  public:
    std::map<std::string, std::string> Pins;
    std::map<std::string, bool> Plain;
    bool Refuse = false;

    std::string PinnedKey(const std::string& partner) override {
        const auto it = Pins.find(partner);
        return it != Pins.end() ? it->second : std::string();
    }
    void PinKey(const std::string& partner, const std::string& fingerprint) override {
        Pins[partner] = fingerprint;
    }
    bool KnownPlain(const std::string& partner) override {
        const auto it = Plain.find(partner);
        return it != Plain.end() && it->second;
    }
    void MarkPlain(const std::string& partner, bool plain) override { Plain[partner] = plain; }
    bool RefuseUnencrypted() override { return Refuse; }
};

// Listens on loopback and passes each connection on to 127.0.0.1:targetPort, both ways,
// keeping a copy of everything. With dropTls, a connection whose first bytes are a TLS record
// is closed instead, as a middlebox that strips encryption would.
class TRecordingRelay {
  public:
    explicit TRecordingRelay(int targetPort, bool dropTls = false)
        : target_(targetPort), dropTls_(dropTls) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listen_, 8);
        socklen_t length = sizeof addr;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        if (::pipe(stop_) != 0) {
            stop_[0] = stop_[1] = -1;
        }
        accept_ = std::thread([this] { AcceptLoop(); });
    }
    ~TRecordingRelay() {
        [[maybe_unused]] const ssize_t woken = ::write(stop_[1], "x", 1);
        accept_.join();
        for (auto& thread : pipes_) {
            thread.join();
        }
        ::close(listen_);
        ::close(stop_[0]);
        ::close(stop_[1]);
    }
    TRecordingRelay(const TRecordingRelay&) = delete;
    TRecordingRelay& operator=(const TRecordingRelay&) = delete;

    int Port() const { return port_; }
    int Connections() const { return connections_.load(); }
    int Dropped() const { return dropped_.load(); }
    std::string Recording() const {
        std::lock_guard lock(mutex_);
        return recording_;
    }
    bool Saw(std::string_view bytes) const {
        return !bytes.empty() && Recording().find(bytes) != std::string::npos;
    }

  private:
    void AcceptLoop() {
        for (;;) {
            pollfd fds[2] = {{listen_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0 || fds[1].revents != 0) {
                return;
            }
            const int in = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (in < 0) {
                continue;
            }
            ++connections_;
            pipes_.emplace_back([this, in] { Pass(in); });
        }
    }
    void Pass(int in) {
        if (dropTls_) {
            unsigned char first[2] = {};
            pollfd p{in, POLLIN, 0};
            if (::poll(&p, 1, 5000) > 0 && ::recv(in, first, 2, MSG_PEEK) == 2 &&
                first[0] == 0x16 && first[1] == 0x03) {
                ++dropped_;
                ::close(in);
                return;
            }
        }
        const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(target_));
        if (::connect(out, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(out);
            ::close(in);
            return;
        }
        bool open[2] = {true, true};
        char buffer[65536];
        while (open[0] || open[1]) {
            pollfd fds[3] = {{open[0] ? in : -1, POLLIN, 0},
                             {open[1] ? out : -1, POLLIN, 0},
                             {stop_[0], POLLIN, 0}};
            if (::poll(fds, 3, -1) <= 0 || fds[2].revents != 0) {
                break;
            }
            for (int side = 0; side < 2; ++side) {
                if (fds[side].revents == 0) {
                    continue;
                }
                const int from = side == 0 ? in : out;
                const int to = side == 0 ? out : in;
                const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    open[side] = false;
                    ::shutdown(to, SHUT_WR);
                    continue;
                }
                {
                    std::lock_guard lock(mutex_);
                    recording_.append(buffer, static_cast<std::size_t>(n));
                }
                for (ssize_t done = 0; done < n;) {
                    const ssize_t put =
                        ::send(to, buffer + done, static_cast<std::size_t>(n - done), MSG_NOSIGNAL);
                    if (put <= 0) {
                        open[0] = open[1] = false;
                        break;
                    }
                    done += put;
                }
            }
        }
        ::close(in);
        ::close(out);
    }

    int target_;
    bool dropTls_;
    int listen_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::atomic<int> connections_{0};
    std::atomic<int> dropped_{0};
    mutable std::mutex mutex_;
    std::string recording_;
    std::thread accept_;
    std::vector<std::thread> pipes_;
};

}  // namespace vox::testing
