#include "protocol/ConnectionCore.h"

#include <algorithm>

#include "net/SocketError.h"

namespace vox {

namespace {

constexpr std::string_view kListeningStarted = "接続待機開始。";
constexpr std::string_view kListeningStopped = "接続待機中止";
constexpr std::string_view kAllDisconnected = "すべての接続を切断しました。";
constexpr std::string_view kCallAccepted = " から接続要求を受け付けました。";
constexpr std::string_view kAlreadyConnected = " とは既に接続しているので切断します。";

// The address a connector counts under for the accept check: its partner's, while the
// connection stands.
std::string LiveAddress(const TCustomWinSocket& socket) {
    return socket.Connected() ? socket.RemoteAddress() : std::string();
}

template <class T>
void EraseOne(std::vector<T*>& list, const T* item) {
    const auto it = std::find(list.begin(), list.end(), item);
    if (it != list.end()) {
        list.erase(it);
    }
}

}  // namespace

TConnectionCore::TConnectionCore(TSynchronizer& sync, IConversationUi& ui,
                                 TConversationTimeouts timeouts, TFusionBuffer* mixer)
    : FSync(sync),
      FUi(ui),
      FTimeouts(timeouts),
      FMixer(mixer),
      FGuesses(timeouts.Guesses),
      FServer(&sync) {
    // One thread per incoming connection: none is kept for reuse.
    FServer.SetThreadCacheSize(0);
    FServer.OnAccept = [this](TServerSocket&, TCustomWinSocket& socket) { ServerAccept(socket); };
    FServer.OnGetThread = [this](TServerSocket&, TCustomWinSocket& socket) {
        return ServerGetThread(socket);
    };
}

TConnectionCore::~TConnectionCore() {
    // Nobody hears of a call any more.
    FPendingCalls.clear();
    FServer.Close();
    {
        std::lock_guard lock(FOutgoingLock);
        for (TClientThread* thread : FOutgoingThreads) {
            thread->Disconnect();
        }
    }
    // Every call ends now, the ones whose connector has left the list included; each thread
    // ends by itself (one in a look-up once the resolver returns), and waiting on the UI
    // thread keeps running the calls they hand to it.
    for (auto& thread : FClientThreads) {
        thread->Terminate();
        thread->Component().Cancel();
    }
    for (auto& thread : FClientThreads) {
        thread->WaitFor();
    }
    FClientThreads.clear();
    std::lock_guard lock(FSocketsLock);
    FOutgoingSockets.clear();
}

void TConnectionCore::Log(std::string_view utf8) {
    const std::string line = Sjis(utf8);
    OnUi([&] { FUi.AddLog(line); });
}

// --- Listening ---------------------------------------------------------------------------

void TConnectionCore::StartListening(int port) {
    FServer.Close();
    FServer.SetPort(port);
    FServer.Open();
    Log(kListeningStarted);
}

void TConnectionCore::StopListening() {
    FServer.Close();
    Log(kListeningStopped);
    std::lock_guard lock(FIncomingLock);
    while (!FIncomingThreads.empty()) {
        FIncomingThreads.front()->Disconnect();
        FIncomingThreads.erase(FIncomingThreads.begin());
    }
}

void TConnectionCore::ServerAccept(TCustomWinSocket& socket) {
    const std::string address = socket.RemoteAddress();
    Log(address + std::string(kCallAccepted));
    bool duplicate = false;
    {
        std::lock_guard lock(FSocketsLock);
        for (const auto& component : FOutgoingSockets) {
            if (LiveAddress(component->Socket()) == address) {
                duplicate = true;
                break;
            }
        }
    }
    if (!duplicate) {
        std::lock_guard lock(FIncomingLock);
        for (TServerThread* thread : FIncomingThreads) {
            if (thread->LiveAddress() == address) {
                duplicate = true;
                break;
            }
        }
    }
    if (duplicate) {
        RefuseDuplicate(socket, address);
    }
}

void TConnectionCore::RefuseDuplicate(TCustomWinSocket& socket, const std::string& address) {
    OnUi([&] { FUi.Beep(); });
    Log(address + std::string(kAlreadyConnected));
    socket.Close();
}

std::unique_ptr<TServerClientThread> TConnectionCore::ServerGetThread(TCustomWinSocket& socket) {
    auto thread = std::make_unique<TServerThread>(*this, &FSync);
    thread->PrepareFor(socket);
    // Listed from now on, before its body runs: the accept check of a second connection
    // from the same address, which runs right after this one is handed out, must see it.
    AddIncoming(thread.get());
    return thread;
}

void TConnectionCore::AddIncoming(TServerThread* thread) {
    std::lock_guard lock(FIncomingLock);
    if (std::find(FIncomingThreads.begin(), FIncomingThreads.end(), thread) ==
        FIncomingThreads.end()) {
        FIncomingThreads.push_back(thread);
    }
}

void TConnectionCore::AddOutgoing(TClientThread* thread) {
    std::lock_guard lock(FOutgoingLock);
    if (std::find(FOutgoingThreads.begin(), FOutgoingThreads.end(), thread) ==
        FOutgoingThreads.end()) {
        FOutgoingThreads.push_back(thread);
    }
}

void TConnectionCore::Leave(TConversation& connection) {
    if (connection.Incoming()) {
        std::lock_guard lock(FIncomingLock);
        EraseOne(FIncomingThreads, &static_cast<TServerThread&>(connection));
        return;
    }
    auto& thread = static_cast<TClientThread&>(connection);
    {
        std::lock_guard lock(FOutgoingLock);
        EraseOne(FOutgoingThreads, static_cast<const TClientThread*>(&thread));
    }
    // The connector leaves the list on the UI thread; the thread keeps it alive until it
    // has ended.
    OnUi([&] { Unlist(thread.Component()); });
}

void TConnectionCore::Unlist(const TMyClientSocket& component) {
    std::lock_guard lock(FSocketsLock);
    const auto it = std::find_if(FOutgoingSockets.begin(), FOutgoingSockets.end(),
                                 [&](const auto& listed) { return listed.get() == &component; });
    if (it != FOutgoingSockets.end()) {
        FOutgoingSockets.erase(it);
    }
}

// --- Outgoing calls ----------------------------------------------------------------------

TCallId TConnectionCore::Call(const TCallRequest& request, TCallDone done) {
    ReapClientThreads();
    auto component = std::make_shared<TMyClientSocket>();
    component->MyName = request.MyName;
    component->Comment = request.Comment;
    component->PartnerName = request.PartnerName;
    component->PassPhrase = request.PassPhrase;
    component->PartnerKey = CalledPartnerKey(
        !request.HostName.empty() ? request.HostName : request.Address, request.Port);
    if (!request.HostName.empty()) {
        component->SetHost(request.HostName);
    } else {
        component->SetAddress(request.Address);
    }
    component->SetPort(request.Port);
    if (FHostLookup) {
        component->SetResolver(FHostLookup);
    }
    const TCallId call = ++FLastCallId;
    FClientThreads.push_back(std::make_unique<TClientThread>(*this, &FSync, component, call));
    TClientThread& thread = *FClientThreads.back();
    {
        std::lock_guard lock(FSocketsLock);
        FOutgoingSockets.push_back(component);
    }
    FPendingCalls[call] = std::move(done);
    try {
        thread.Start();
    } catch (...) {
        FPendingCalls.erase(call);
        Unlist(*component);
        FClientThreads.pop_back();
        throw;
    }
    return call;
}

void TConnectionCore::ReportCall(TCallId call, const TCallOutcome& outcome) {
    OnUi([&] {
        const auto it = FPendingCalls.find(call);
        if (it == FPendingCalls.end()) {
            return;  // cancelled: nobody waits for it any more
        }
        const TCallDone done = std::move(it->second);
        FPendingCalls.erase(it);
        if (done) {
            done(outcome);
        }
    });
}

void TConnectionCore::CancelCall(TCallId call) {
    FPendingCalls.erase(call);
    for (const auto& thread : FClientThreads) {
        if (thread->CallId() == call) {
            // Terminated first: a thread whose connect has just succeeded sees it once the
            // outcome has been handed over, and ends without a handshake.
            thread->Terminate();
            thread->Component().Cancel();
            Unlist(thread->Component());
        }
    }
}

std::size_t TConnectionCore::CallThreadCount() const {
    return static_cast<std::size_t>(
        std::count_if(FClientThreads.begin(), FClientThreads.end(),
                      [](const auto& thread) { return !thread->Finished(); }));
}

void TConnectionCore::ReapClientThreads() {
    std::erase_if(FClientThreads, [](const auto& thread) {
        if (!thread->Finished()) {
            return false;
        }
        thread->WaitFor();
        return true;
    });
}

void TConnectionCore::DisconnectAll() {
    {
        std::lock_guard lock(FIncomingLock);
        while (!FIncomingThreads.empty()) {
            FIncomingThreads.front()->Disconnect();
            FIncomingThreads.erase(FIncomingThreads.begin());
        }
    }
    // Calls still under way end (a thread lists itself as outgoing before it counts as in
    // conversation, so each call is ended one way or the other)...
    for (const auto& thread : FClientThreads) {
        if (!thread->InConversation()) {
            thread->Component().Cancel();
        }
    }
    // ...and the connections close, each once the packet on its wire is finished.
    {
        std::lock_guard lock(FOutgoingLock);
        while (!FOutgoingThreads.empty()) {
            FOutgoingThreads.front()->Disconnect();
            FOutgoingThreads.erase(FOutgoingThreads.begin());
        }
    }
    {
        std::lock_guard lock(FSocketsLock);
        FOutgoingSockets.clear();
    }
    ReapClientThreads();
    Log(kAllDisconnected);
}

// --- Sending -----------------------------------------------------------------------------

namespace {

// Queues a packet for a connection whose handshake has ended in acceptance; the caller goes
// on with the others whatever becomes of it.
void SendIfAccepted(TConversation& connection, ByteSpan packet) {
    if (!connection.Established()) {
        return;
    }
    try {
        connection.SendBuffer(packet);
    } catch (const std::exception&) {
    }
}

}  // namespace

void TConnectionCore::SendText(std::string_view line) {
    const Packet packet = BuildText(line);
    ForEachIncoming([&](TConversation& connection) { SendIfAccepted(connection, packet); });
    ForEachOutgoing([&](TConversation& connection) { SendIfAccepted(connection, packet); });
}

void TConnectionCore::SendVoicePacket(ByteSpan packet) {
    ForEachOutgoing([&](TConversation& connection) { SendIfAccepted(connection, packet); });
    ForEachIncoming([&](TConversation& connection) { SendIfAccepted(connection, packet); });
}

// --- Lists -------------------------------------------------------------------------------

std::size_t TConnectionCore::IncomingCount() const {
    std::lock_guard lock(FIncomingLock);
    return FIncomingThreads.size();
}

std::size_t TConnectionCore::OutgoingCount() const {
    std::lock_guard lock(FOutgoingLock);
    return FOutgoingThreads.size();
}

std::size_t TConnectionCore::OutgoingSocketCount() const {
    std::lock_guard lock(FSocketsLock);
    return FOutgoingSockets.size();
}

void TConnectionCore::ForEachIncoming(const std::function<void(TServerThread&)>& fn) const {
    std::lock_guard lock(FIncomingLock);
    for (TServerThread* thread : FIncomingThreads) {
        fn(*thread);
    }
}

void TConnectionCore::ForEachOutgoing(const std::function<void(TClientThread&)>& fn) const {
    std::lock_guard lock(FOutgoingLock);
    for (TClientThread* thread : FOutgoingThreads) {
        fn(*thread);
    }
}

// --- Encryption --------------------------------------------------------------------------

void TConnectionCore::SetTls(std::shared_ptr<const TTlsIdentity> identity, ITrustStore* trust) {
    FIdentity = std::move(identity);
    FTrust = trust;
}

void TConnectionCore::AcceptPartnerKey(const std::string& partner, const std::string& fingerprint) {
    if (FTrust != nullptr && !fingerprint.empty()) {
        FTrust->PinKey(partner, fingerprint);
        FTrust->MarkPlain(partner, false);
    }
}

std::string CalledPartnerKey(const std::string& hostOrAddress, int port) {
    return "call " + hostOrAddress + " " + std::to_string(port);
}

std::string CallerPartnerKey(const std::string& announcedName) {
    return "caller " + announcedName;
}

}  // namespace vox
