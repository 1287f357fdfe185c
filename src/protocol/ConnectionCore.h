// The conversation connections of one running program, without any window: the listener
// and its accept check, the lists of incoming and outgoing connections, the outgoing calls
// with their connectors, dropping every connection, and sending text lines and voice to every
// partner. The main window owns one and shows what it reports through IConversationUi.
//
// Threads: the methods marked "UI thread" run on the synchronizer's main thread, and none of
// them waits on the network: a call looks its host up, connects and shakes hands on its own
// thread, and packets go to each connection's send queue, which the connection's writer puts
// on the wire. The connection threads reach the window only through OnUi(), which waits until
// the call ran.
// Locks: a list lock is held only to walk its list (a connection's queue lock may be taken
// meanwhile, never the reverse, and no socket is written under one); the two list locks are
// never held together; no lock is held while waiting for the UI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/HostLookup.h"
#include "net/ServerSocket.h"
#include "net/Tls.h"
#include "platform/Synchronizer.h"
#include "protocol/ClientThread.h"
#include "protocol/Conversation.h"
#include "protocol/ConversationUi.h"
#include "protocol/ServerThread.h"

namespace vox {

// What the connect dialog asks for one outgoing call. Texts are CP932 bytes.
struct TCallRequest {
    std::string HostName;  // resolved when set
    std::string Address;   // dotted IPv4 or IPv6, used when HostName is empty
    int Port = 0;
    std::string MyName;
    std::string Comment;
    std::string PartnerName;
    std::string PassPhrase;
};

// What became of an outgoing call, for the one who placed it.
struct TCallOutcome {
    bool Connected = false;  // the connection stands; the handshake goes on from here
    std::string Error;       // why it could not be made (UTF-8), when not connected
    int ErrorCode = 0;       // the socket error's code and failed call, when there is one
    std::string ErrorApi;
};
using TCallId = std::uint64_t;
using TCallDone = std::function<void(const TCallOutcome&)>;

class TConnectionCore : public IVoiceTargets {
  public:
    // mixer: where the connections' voice is decoded to (the playback thread's); without one
    // received voice is only gathered per connection.
    TConnectionCore(TSynchronizer& sync, IConversationUi& ui, TConversationTimeouts timeouts = {},
                    TFusionBuffer* mixer = nullptr);
    // Drops every connection and waits until no connection thread runs any more. UI thread.
    ~TConnectionCore() override;

    TConnectionCore(const TConnectionCore&) = delete;
    TConnectionCore& operator=(const TConnectionCore&) = delete;

    TSynchronizer& Sync() { return FSync; }
    IConversationUi& Ui() { return FUi; }
    const TConversationTimeouts& Timeouts() const { return FTimeouts; }
    TFusionBuffer* Mixer() const { return FMixer; }
    // Runs fn on the UI thread and waits for it; at once when called there.
    void OnUi(const std::function<void()>& fn) { FSync.Synchronize(fn); }

    // --- Listening (UI thread) -------------------------------------------------------------
    // Closes an open listener first (ending its connections), opens it on port and logs
    // "接続待機開始。". A failure to open raises ESocketError and logs nothing.
    void StartListening(int port);
    // Closes the listener, logs "接続待機中止" and drops every incoming connection.
    void StopListening();
    bool Listening() const { return FServer.Active(); }
    // The port the listener is bound to (tests listen on port 0); 0 when not listening.
    int ListeningPort() const { return FServer.LocalPort(); }

    // --- Outgoing calls (UI thread) --------------------------------------------------------
    // Places a call and returns at once: the call's own thread looks the host up (HostName
    // when set, the Address otherwise), connects and then, as a TClientThread, shakes hands and
    // runs the conversation. done runs on the UI thread once the connection stands or the call
    // failed (Error: the socket layer's text); never after CancelCall() or the core's end. The
    // connector is listed from now on; a failed call's connector stays listed, unconnected,
    // until every connection is dropped. A thread that cannot be started raises.
    TCallId Call(const TCallRequest& request, TCallDone done = {});
    // Ends a call at any stage and forgets its done: a look-up under way is abandoned (its
    // thread ends as soon as the resolver returns, and connects nowhere), a connect or a
    // handshake under way is cut off, a conversation is closed. Its connector leaves the list.
    void CancelCall(TCallId call);
    // The threads of outgoing calls that have not ended, at any stage.
    std::size_t CallThreadCount() const;
    // Closes every connection (incoming, outgoing, and the calls under way, which fail with
    // ECONNABORTED) and logs "すべての接続を切断しました。". The threads end by themselves and
    // leave the member list.
    void DisconnectAll();
    // How the calls turn host names into addresses (LookupHostAddress unless set): for tests.
    void SetHostLookup(TClientSocket::TResolve lookup) { FHostLookup = std::move(lookup); }

    // --- Sending -----------------------------------------------------------------------------
    // A text line to the send queue of every connection whose handshake has ended in
    // acceptance (UI thread); returns at once. A connection whose write fails, or whose queue
    // overflows, is closed (it ends by itself) and the line still goes to the others.
    void SendText(std::string_view line);
    // One whole voice packet to every accepted connection's queue, outgoing ones first (send
    // thread); returns at once.
    void SendVoicePacket(ByteSpan packet) override;

    // --- Lists -----------------------------------------------------------------------------
    std::size_t IncomingCount() const;
    std::size_t OutgoingCount() const;
    std::size_t OutgoingSocketCount() const;
    // Calls fn for each listed connection under that list's lock.
    void ForEachIncoming(const std::function<void(TServerThread&)>& fn) const;
    void ForEachOutgoing(const std::function<void(TClientThread&)>& fn) const;

    // Used by the connection threads.
    void AddIncoming(TServerThread* thread);
    void AddOutgoing(TClientThread* thread);
    // Takes the connection out of its list; an outgoing one also releases its connector.
    void Leave(TConversation& connection);
    // Hands a call's outcome to whoever placed it, on the UI thread (nothing once cancelled).
    void ReportCall(TCallId call, const TCallOutcome& outcome);
    // The reverse look-ups of callers' names.
    THostResolver& Resolver() { return FResolver; }
    // Who has given too many wrong pass phrases lately.
    TGuessLimiter& Guesses() { return FGuesses; }

    // --- Encryption ----------------------------------------------------------------------
    // Calls start TLS with this identity, and the listener serves TLS callers with it; trust
    // remembers the partners' keys. Without them (the default) every connection runs in the
    // clear, as an older copy of the program does. UI thread, before listening or calling.
    void SetTls(std::shared_ptr<const TTlsIdentity> identity, ITrustStore* trust);
    const TTlsIdentity* Identity() const { return FIdentity.get(); }
    std::shared_ptr<const TTlsIdentity> SharedIdentity() const { return FIdentity; }
    ITrustStore* Trust() const { return FTrust; }
    // The user accepts a partner's changed key: it is pinned, and the next call goes through.
    // UI thread.
    void AcceptPartnerKey(const std::string& partner, const std::string& fingerprint);

  private:
    void ServerAccept(TCustomWinSocket& socket);
    void RefuseDuplicate(TCustomWinSocket& socket, const std::string& address);
    std::unique_ptr<TServerClientThread> ServerGetThread(TCustomWinSocket& socket);
    void ReapClientThreads();
    void Unlist(const TMyClientSocket& component);
    void Log(std::string_view utf8);

    TSynchronizer& FSync;
    IConversationUi& FUi;
    const TConversationTimeouts FTimeouts;
    TFusionBuffer* const FMixer;
    TGuessLimiter FGuesses;

    mutable std::mutex FIncomingLock;
    std::vector<TServerThread*> FIncomingThreads;
    mutable std::mutex FOutgoingLock;
    std::vector<TClientThread*> FOutgoingThreads;
    // Changed on the UI thread only; the lock serialises the accept check's reading.
    mutable std::mutex FSocketsLock;
    std::vector<std::shared_ptr<TMyClientSocket>> FOutgoingSockets;
    // The outgoing calls' threads, owned here (UI thread); ended ones are freed at the next
    // call and when every connection is dropped.
    std::vector<std::unique_ptr<TClientThread>> FClientThreads;
    // Whom to tell how each call under way went (UI thread).
    std::map<TCallId, TCallDone> FPendingCalls;
    TCallId FLastCallId = 0;
    TClientSocket::TResolve FHostLookup;
    std::shared_ptr<const TTlsIdentity> FIdentity;
    ITrustStore* FTrust = nullptr;

    // Before the listener: its threads look their callers up here.
    THostResolver FResolver;
    TServerSocket FServer;
};

}  // namespace vox
