// What the conversation fuzz targets share: one connection core with a scripted main window,
// and each input played as one whole connection, in this one thread.
//
// The input goes into one end of a socket pair, whose sending half is then closed: the other
// end is the connection the core's own code serves (the handshake, the receive loop and the
// writer that a listened or called connection runs), here on the fuzzer's thread, which is
// also the core's user-interface thread, so that the window's calls run at once. What the core
// wrote back is read once the connection has ended: it must be whole, well-formed packets.
// There is no listener, no connect, no accept and no thread to start for an input (what the
// connection queues is written by the thread that queues it, not by a writer thread): the
// tests of those parts use real loopback connections.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/Tls.h"
#include "platform/Synchronizer.h"
#include "protocol/ConnectionCore.h"
#include "support/TrustTestSupport.h"
#include "wire/Packet.h"

// The core's threads keep their CP932 converters in thread-local storage for as long as they
// live (the resolver's thread for the whole run). This toolchain's leak checker does not
// find what only a live thread's thread-local storage refers to, and would report those
// converters as lost; converters that really were lost would show other frames.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__cxa_thread_atexit_impl\n"
           "leak:vox::Utf8ToCp932\n"
           "leak:vox::Cp932ToUtf8\n";
}

namespace vox::fuzz {

// Fails the run with a message: libFuzzer reports it as a crash with the input that did it.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Short limits: a stream that stops early must not hold a run for long. The whole stream is
// there before the core reads, so a wait only ever runs out on a fault.
inline TConversationTimeouts FuzzTimeouts() {
    TConversationTimeouts t;
    t.SocketTimeoutMs = 200;
    t.HandshakeLimitMs = 2000;
    // The caller's host name is not looked up: it comes from the resolver, not from the
    // caller's bytes, and a look-up per input would cost more than the rest of it.
    t.ReverseLookupMs = 0;
    return t;
}

// The main window as a script. The caller's name picks the decision: a name beginning 'R' is
// refused, 'T' times out, any other is accepted. Callers must give the empty pass phrase,
// so a caller with a pass phrase is refused before the dialog. A transfer window opens on
// an offer and closes on a refusal, so that a second offer finds it busy.
class TFuzzUi : public IConversationUi {
  public:
    int Ended = 0;
    bool WindowOpen = false;

    void AddLog(const std::string&) override {}
    void ShowChatLine(const std::string&, const std::string&) override {}
    void AddMember(const std::string&, TConversation*) override {}
    void ConnectionEnded(TConversation*) override { ++Ended; }
    int AskAcceptance(const TIncomingCall& call) override {
        if (!call.PartnerName.empty() && call.PartnerName[0] == 'R') {
            return cdRefused;
        }
        if (!call.PartnerName.empty() && call.PartnerName[0] == 'T') {
            return cdTimedOut;
        }
        return cdAccepted;
    }
    void FetchPassPhraseSetting(bool& use, std::string& passPhrase) override {
        use = true;
        passPhrase.clear();
    }
    bool TransferWindowOpen() override { return WindowOpen; }
    void OpenReceiveWindow(const TTransferOffer&) override { WindowOpen = true; }
    void TransferAccepted(TConversation*) override {}
    void TransferRefused(TConversation*) override { WindowOpen = false; }
    void Beep() override {}
};

// The core and its window, made once on the fuzzer's thread (which plays the user-interface
// thread) and kept for the whole run. With keys, the core serves TLS callers as a copy of the
// program that encrypts does; without, it is an older copy that speaks only the plain protocol.
struct TConversationWorld {
    TSynchronizer Sync;
    TFuzzUi Ui;
    testing::TMemoryTrustStore Trust;
    TConnectionCore Core{Sync, Ui, FuzzTimeouts()};

    explicit TConversationWorld(bool withKeys) {
        if (withKeys) {
            Core.SetTls(TTlsIdentity::Generate(), &Trust);
        }
    }

    static TConversationWorld& Get(bool withKeys = false) {
        static auto* world = new TConversationWorld(withKeys);  // never freed: see above
        return *world;
    }
};

// The address the connection reports for its partner: loopback, whose name the hosts file
// gives, so that the core's reverse look-up never leaves the machine.
inline sockaddr_in LoopbackPeer() {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(40000);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return peer;
}

// A connected socket pair: the core's end (taken by its socket) and the partner's end, which
// the fuzzer fills before the core reads and empties after the core has finished.
class TSocketPair {
  public:
    TSocketPair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) {
            Fail("no socket pair");
        }
        // The two sides take turns on one thread, so neither may wait for the other: a socket
        // pair's own room (some 200 KiB each way) holds every input the targets are run with
        // and everything the core answers to one.
    }
    ~TSocketPair() {
        for (const int fd : fds_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    TSocketPair(const TSocketPair&) = delete;
    TSocketPair& operator=(const TSocketPair&) = delete;

    // The core's end, for its socket to own.
    int TakeCoreEnd() {
        const int fd = fds_[0];
        fds_[0] = -1;
        return fd;
    }
    int PartnerEnd() const { return fds_[1]; }

    // The partner's bytes, as far as the pair has room for them (a longer stream is cut short
    // there, which is a stream like any other).
    void Feed(const std::uint8_t* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::send(fds_[1], data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    // The partner has said all it will.
    void EndFeeding() { ::shutdown(fds_[1], SHUT_WR); }

    // Everything the core wrote; the core's end must be closed by now.
    std::vector<std::uint8_t> Drain() const {
        std::vector<std::uint8_t> got;
        std::uint8_t buf[16384];
        for (;;) {
            const ssize_t n = ::recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                got.insert(got.end(), buf, buf + n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            // A socket pair's end that is closed with bytes left unread reports a reset.
            if (n < 0 && errno != ECONNRESET) {
                Fail("the core ended a connection without closing it");
            }
            return got;
        }
    }

  private:
    int fds_[2] = {-1, -1};
};

// What the core wrote must be whole packets, one after the other, each with a valid header.
inline void CheckWholePackets(const std::vector<std::uint8_t>& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < kPacketHeaderSize) {
            Fail("the core wrote part of a packet header");
        }
        const ByteSpan header(bytes.data() + at, kPacketHeaderSize);
        if (!CheckMagic(header)) {
            Fail("the core wrote a packet without the magic");
        }
        const PacketHeader h = ReadPacketHeader(header);
        if (!TotalLengthFits(h)) {
            Fail("the core wrote a packet whose length cannot describe it");
        }
        if (bytes.size() - at < h.TotalLength) {
            Fail("the core wrote part of a packet");
        }
        at += h.TotalLength;
    }
}

// One incoming connection with prefix and data as the caller's whole stream, served to its
// end; returns what the core wrote back.
inline std::vector<std::uint8_t> ServeIncoming(TConversationWorld& world,
                                               const std::vector<std::uint8_t>& prefix,
                                               const std::uint8_t* data, std::size_t size) {
    world.Ui.WindowOpen = false;
    const int endedBefore = world.Ui.Ended;
    TSocketPair pair;
    pair.Feed(prefix.data(), prefix.size());
    pair.Feed(data, size);
    pair.EndFeeding();
    {
        auto socket = std::make_unique<TCustomWinSocket>();
        const sockaddr_in peer = LoopbackPeer();
        socket->AdoptConnected(pair.TakeCoreEnd(), reinterpret_cast<const sockaddr&>(peer));
        // As the listener hands a connection out: listed before the thread's body runs.
        TServerThread thread(world.Core, &world.Sync);
        thread.WriteOnQueuingThread();
        thread.PrepareFor(*socket);
        world.Core.AddIncoming(&thread);
        thread.ServeHere(std::move(socket));
    }
    if (world.Ui.Ended != endedBefore + 1) {
        Fail("the incoming connection did not tell the window it ended");
    }
    if (world.Core.IncomingCount() != 0) {
        Fail("the incoming connection stayed listed");
    }
    return pair.Drain();
}

// The same, on the core without keys, whose answer must be whole packets.
inline void RunIncoming(const std::vector<std::uint8_t>& prefix, const std::uint8_t* data,
                        std::size_t size) {
    CheckWholePackets(ServeIncoming(TConversationWorld::Get(), prefix, data, size));
}

}  // namespace vox::fuzz
