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
    : FSync(sync), FUi(ui), FTimeouts(timeouts), FMixer(mixer), FServer(&sync) {
    // One thread per incoming connection: none is kept for reuse.
    FServer.SetThreadCacheSize(0);
    FServer.OnAccept = [this](TServerSocket&, TCustomWinSocket& socket) { ServerAccept(socket); };
    FServer.OnGetThread = [this](TServerSocket&, TCustomWinSocket& socket) {
        return ServerGetThread(socket);
    };
}

TConnectionCore::~TConnectionCore() {
    FServer.Close();
    {
        std::lock_guard lock(FOutgoingLock);
        for (TClientThread* thread : FOutgoingThreads) {
            thread->Disconnect();
        }
    }
    {
        std::lock_guard lock(FSocketsLock);
        for (const auto& component : FOutgoingSockets) {
            component->Close();
        }
    }
    // Each thread ends by itself now that its connection is closed; waiting on the UI thread
    // keeps running the calls they hand to it.
    for (auto& thread : FClientThreads) {
        thread->Terminate();
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
    OnUi([&] {
        std::lock_guard lock(FSocketsLock);
        const auto it = std::find_if(
            FOutgoingSockets.begin(), FOutgoingSockets.end(),
            [&](const auto& component) { return component.get() == &thread.Component(); });
        if (it != FOutgoingSockets.end()) {
            FOutgoingSockets.erase(it);
        }
    });
}

// --- Outgoing calls ----------------------------------------------------------------------

TMyClientSocket& TConnectionCore::Call(const TCallRequest& request) {
    ReapClientThreads();
    auto component = std::make_shared<TMyClientSocket>();
    component->MyName = request.MyName;
    component->Comment = request.Comment;
    component->PartnerName = request.PartnerName;
    component->PassPhrase = request.PassPhrase;
    if (!request.HostName.empty()) {
        component->SetHost(request.HostName);
    } else {
        component->SetAddress(request.Address);
    }
    component->SetPort(request.Port);
    component->OnConnect = [this, weak = std::weak_ptr<TMyClientSocket>(component)](
                               TClientSocket&, TCustomWinSocket&) {
        if (auto c = weak.lock()) {
            ClientSocketConnect(c);
        }
    };
    {
        std::lock_guard lock(FSocketsLock);
        FOutgoingSockets.push_back(component);
    }
    component->Open();
    return *component;
}

void TConnectionCore::ClientSocketConnect(const std::shared_ptr<TMyClientSocket>& component) {
    auto thread = std::make_unique<TClientThread>(*this, &FSync, component);
    TClientThread& started = *thread;
    FClientThreads.push_back(std::move(thread));
    started.Start();
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
    {
        std::lock_guard lock(FOutgoingLock);
        while (!FOutgoingThreads.empty()) {
            FOutgoingThreads.front()->Disconnect();
            FOutgoingThreads.erase(FOutgoingThreads.begin());
        }
    }
    {
        std::lock_guard lock(FSocketsLock);
        std::erase_if(FOutgoingSockets, [&](const auto& component) {
            component->Close();
            // A connector whose call never stood has no thread to release it.
            return std::none_of(
                FClientThreads.begin(), FClientThreads.end(), [&](const auto& thread) {
                    return &thread->Component() == component.get() && !thread->Finished();
                });
        });
    }
    ReapClientThreads();
    Log(kAllDisconnected);
}

// --- Sending -----------------------------------------------------------------------------

namespace {

// Writes a packet to a connection whose handshake has ended in acceptance. A connection
// whose write fails has been closed by it and ends by itself; the caller goes on with the
// others.
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

}  // namespace vox
