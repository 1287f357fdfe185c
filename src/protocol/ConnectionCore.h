// The conversation connections of one running program, without any window: the listener
// and its accept check, the lists of incoming and outgoing connections, the connectors of
// outgoing calls, dropping every connection, and sending text lines and voice to every
// partner. The main window owns one and shows what it reports through IConversationUi.
//
// Threads: the methods marked "UI thread" run on the synchronizer's main thread. The
// connection threads reach the window only through OnUi(), which waits until the call ran.
// Locks: a list lock may be held while a connection's WriteLock is taken, never the reverse;
// the two list locks are never held together; no lock is held while waiting for the UI thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/ServerSocket.h"
#include "platform/Synchronizer.h"
#include "protocol/ClientThread.h"
#include "protocol/Conversation.h"
#include "protocol/ConversationUi.h"
#include "protocol/ServerThread.h"

namespace vox {

// What the connect dialog asks for one outgoing call. Texts are CP932 bytes.
struct TCallRequest {
    std::string HostName;  // resolved when set
    std::string Address;   // dotted IPv4, used when HostName is empty
    int Port = 0;
    std::string MyName;
    std::string Comment;
    std::string PartnerName;
    std::string PassPhrase;
};

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
    // Creates the connector, adds it to the outgoing sockets and opens it; once it stands a
    // TClientThread takes it over. A connect failure raises ESocketError; the connector then
    // stays in the list, unconnected, until every connection is dropped.
    TMyClientSocket& Call(const TCallRequest& request);
    // Closes every connection (incoming, outgoing, pending connectors) and logs
    // "すべての接続を切断しました。". The threads end by themselves and leave the member list.
    void DisconnectAll();

    // --- Sending -----------------------------------------------------------------------------
    // A text line to every connection whose handshake has ended in acceptance (UI thread).
    // A connection whose write fails is closed (it ends by itself) and the line still goes to
    // the others.
    void SendText(std::string_view line);
    // One whole voice packet to every accepted connection, outgoing ones first (send thread).
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

  private:
    void ServerAccept(TCustomWinSocket& socket);
    void RefuseDuplicate(TCustomWinSocket& socket, const std::string& address);
    std::unique_ptr<TServerClientThread> ServerGetThread(TCustomWinSocket& socket);
    void ClientSocketConnect(const std::shared_ptr<TMyClientSocket>& component);
    void ReapClientThreads();
    void Log(std::string_view utf8);

    TSynchronizer& FSync;
    IConversationUi& FUi;
    const TConversationTimeouts FTimeouts;
    TFusionBuffer* const FMixer;

    mutable std::mutex FIncomingLock;
    std::vector<TServerThread*> FIncomingThreads;
    mutable std::mutex FOutgoingLock;
    std::vector<TClientThread*> FOutgoingThreads;
    // Changed on the UI thread only; the lock serialises the accept check's reading.
    mutable std::mutex FSocketsLock;
    std::vector<std::shared_ptr<TMyClientSocket>> FOutgoingSockets;
    // The outgoing connection threads, owned here; ended ones are freed at the next call.
    std::vector<std::unique_ptr<TClientThread>> FClientThreads;

    TServerSocket FServer;
};

}  // namespace vox
