#include "protocol/Conversation.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "net/SocketError.h"
#include "net/SocketPoll.h"
#include "net/WinSocketStream.h"
#include "platform/Clock.h"
#include "platform/Cp932.h"
#include "protocol/ConnectionCore.h"

namespace vox {

namespace {

// A payload is read in pieces of at most this many bytes.
constexpr std::size_t kPayloadPiece = 512;
// The partner is taken to be gone when this many reads in a row brought nothing.
constexpr int kIdleLimit = 100;

}  // namespace

std::string Sjis(std::string_view utf8) {
    return Utf8ToCp932(utf8);
}

TConversation::TConversation(TConnectionCore& core, bool incoming)
    : FCore(core), FTimeouts(core.Timeouts()), FIncoming(incoming) {
    if (TFusionBuffer* mixer = core.Mixer()) {
        FDecodeThread = std::make_unique<TDecodeThread>(*mixer);
        FDecodeThread->SetPriority(TThreadPriority::tpHigher);
        FDecodeThread->Start();
    }
}

TConversation::~TConversation() {
    // The connection's thread has stopped the writer in Finish(); this is for a thread that
    // never got there.
    StopWriter();
}

std::string TConversation::PartnerAddress() const {
    std::lock_guard lock(FNameLock);
    return FPartnerAddress;
}

std::string TConversation::PartnerName() const {
    std::lock_guard lock(FNameLock);
    return FPartnerName;
}

void TConversation::SetPartnerAddress(std::string address) {
    std::lock_guard lock(FNameLock);
    FPartnerAddress = std::move(address);
}

void TConversation::SetPartnerName(std::string name) {
    std::lock_guard lock(FNameLock);
    FPartnerName = std::move(name);
}

std::string TConversation::LiveAddress() const {
    return FClosedHere.load() ? std::string() : PartnerAddress();
}

// --- Sending ---------------------------------------------------------------------------------

void TConversation::DropQueue() {
    FQueue.clear();
    FQueuedBytes = 0;
}

void TConversation::SendBuffer(ByteSpan packet) {
    if (packet.empty()) {
        return;
    }
    {
        std::unique_lock lock(FQueueLock);
        if (FClosing) {
            return;
        }
        // A packet alone always fits: the bound is on what piles up behind the wire.
        if (FQueue.empty() || FQueuedBytes + packet.size() <= FTimeouts.SendQueueBytes) {
            FQueue.emplace_back(packet.begin(), packet.end());
            FQueuedBytes += packet.size();
            FQueueCv.notify_all();
            if (FWriteOnQueuingThread && FEstablished.load()) {
                WriteQueueHere(lock);
            }
            return;
        }
        // The partner does not take what it is sent: dropped at once, the write it holds up
        // included. Its thread logs why as it ends.
        FOverflowed.store(true);
        FClosing = true;
        DropQueue();
    }
    FQueueCv.notify_all();
    MarkClosed();
    if (TCustomWinSocket* socket = Socket()) {
        socket->Close();
    }
}

void TConversation::WriteQueueHere(std::unique_lock<std::mutex>& lock) {
    TCustomWinSocket* socket = Socket();
    while (socket != nullptr && !FWriterStop && !FWriting && !FQueue.empty()) {
        WriteHead(lock, *socket);
    }
}

void TConversation::WriteWhole(TCustomWinSocket& socket, ByteSpan packet) {
    std::lock_guard lock(FWriteLock);
    TWinSocketStream stream(socket, FTimeouts.SocketTimeoutMs);
    int written = 0;
    try {
        written = stream.Write(packet.data(), static_cast<int>(packet.size()));
    } catch (...) {
        MarkClosed();
        socket.Close();
        throw;
    }
    if (written != static_cast<int>(packet.size())) {
        // Part of a packet on the wire would put the partner's stream out of step.
        MarkClosed();
        socket.Close();
        throw ESocketError::ForStream("Write", ETIMEDOUT);
    }
}

void TConversation::EndWrite(TCustomWinSocket& socket, bool failed) {
    bool closeNow = false;
    {
        std::lock_guard lock(FQueueLock);
        FWriting = false;
        if (failed) {
            FClosing = true;
            DropQueue();
        } else {
            closeNow = FClosing;
        }
    }
    if (closeNow) {
        socket.Close();
    }
}

void TConversation::WriteNow(ByteSpan packet) {
    TCustomWinSocket* socket = Socket();
    if (packet.empty() || socket == nullptr) {
        return;
    }
    {
        std::lock_guard lock(FQueueLock);
        FWriting = true;
    }
    try {
        WriteWhole(*socket, packet);
    } catch (...) {
        EndWrite(*socket, true);
        throw;
    }
    EndWrite(*socket, false);
}

void TConversation::WriterLoop(TCustomWinSocket* socket) {
    std::unique_lock lock(FQueueLock);
    for (;;) {
        FQueueCv.wait(lock, [this] { return FWriterStop || !FQueue.empty(); });
        if (FWriterStop) {
            return;
        }
        WriteHead(lock, *socket);
    }
}

void TConversation::WriteHead(std::unique_lock<std::mutex>& lock, TCustomWinSocket& socket) {
    const Packet packet = std::move(FQueue.front());
    FQueue.pop_front();
    FQueuedBytes -= packet.size();
    FWriting = true;
    lock.unlock();
    bool failed = false;
    try {
        WriteWhole(socket, packet);
    } catch (...) {
        failed = true;  // closed by WriteWhole: the connection's thread ends by itself
    }
    EndWrite(socket, failed);
    lock.lock();
}

void TConversation::SetEstablished() {
    if (FWriteOnQueuingThread) {
        FEstablished.store(true);
        std::unique_lock lock(FQueueLock);
        WriteQueueHere(lock);
        return;
    }
    if (!FWriter.joinable()) {
        FWriter = std::thread([this, socket = Socket()] { WriterLoop(socket); });
    }
    FEstablished.store(true);
}

void TConversation::StopWriter() {
    {
        std::lock_guard lock(FQueueLock);
        FWriterStop = true;
        DropQueue();
    }
    FQueueCv.notify_all();
    if (FWriter.joinable()) {
        FWriter.join();
    }
}

void TConversation::Disconnect() {
    MarkClosed();
    bool closeNow = false;
    {
        std::lock_guard lock(FQueueLock);
        FClosing = true;
        DropQueue();
        // A packet on the wire is finished first; its writer closes after it.
        closeNow = !FWriting;
    }
    if (closeNow) {
        if (TCustomWinSocket* socket = Socket()) {
            socket->Close();
        }
    }
}

void TConversation::CloseSocket() {
    TCustomWinSocket* socket = Socket();
    if (socket != nullptr && socket->Connected()) {
        Disconnect();
    }
}

void TConversation::AddLog(const std::string& message) {
    FCore.OnUi([&] { FCore.Ui().AddLog(message); });
}

void TConversation::AddPartnerLog(std::string_view suffixUtf8) {
    AddLog(PartnerAddress() + Sjis(suffixUtf8));
}

bool TConversation::ReadFull(TWinSocketStream& stream, std::uint8_t* buffer, std::size_t count) {
    // The whole field within one socket timeout: a partner that trickles its bytes cannot
    // hold the connection for longer than that.
    const std::uint32_t start = TimeGetTime();
    std::size_t have = 0;
    while (have < count) {
        const std::uint32_t elapsed = ElapsedMs(start, TimeGetTime());
        if (elapsed >= FTimeouts.SocketTimeoutMs ||
            !stream.WaitForData(FTimeouts.SocketTimeoutMs - elapsed)) {
            return false;
        }
        const int n = stream.Read(buffer + have, static_cast<int>(count - have));
        if (n <= 0) {
            return false;  // the partner closed, or the connection was closed on this side
        }
        have += static_cast<std::size_t>(n);
    }
    return true;
}

TConversation::TEnding TConversation::ReceiveLoop() {
    TCustomWinSocket& socket = *Socket();
    TWinSocketStream stream(socket, FTimeouts.SocketTimeoutMs);
    int idleCount = 0;
    // One payload buffer for the whole connection: a packet's bytes are handled before the
    // next packet is read.
    std::vector<std::uint8_t> rest;
    try {
        while (!StopRequested() && socket.Connected()) {
            // A silent partner costs nothing: the thread sleeps until bytes arrive or the
            // connection is closed (closing wakes it; so does Terminate, which closes).
            if (!stream.WaitForData(kNoDeadline)) {
                continue;
            }
            // The header is read whole: a header that TCP happens to deliver in two pieces
            // is no failure. Nothing at all means the partner has closed the connection.
            std::uint8_t header[kPacketHeaderSize];
            if (!ReadFull(stream, header, sizeof header)) {
                throw EConversationError(Sjis(texts::kReadFailed));
            }
            if (!CheckMagic(header)) {
                throw EConversationError(Sjis(texts::kWrongData));
            }
            const PacketHeader h = ReadPacketHeader(header);
            if (CommandHasHandler(h.Command)) {
                // A length that cannot describe the packet ends the connection before
                // anything is allocated for it.
                if (!TotalLengthFits(h)) {
                    throw EConversationError(Sjis(texts::kWrongData));
                }
                rest.resize(h.TotalLength - kPacketHeaderSize);
                std::size_t have = 0;
                while (have < rest.size() && socket.Connected() && !StopRequested() &&
                       idleCount < kIdleLimit) {
                    if (!stream.WaitForData(FTimeouts.SocketTimeoutMs)) {
                        continue;
                    }
                    const std::size_t want = std::min(kPayloadPiece, rest.size() - have);
                    const int n = stream.Read(rest.data() + have, static_cast<int>(want));
                    if (n > 0) {
                        have += static_cast<std::size_t>(n);
                        idleCount = 0;
                    }
                    if (++idleCount > kIdleLimit) {
                        break;
                    }
                }
                if (have == rest.size()) {
                    HandlePacket(h.Command, rest);
                }
            }
            // Commands without a handler leave their payload in the stream.
            if (++idleCount > kIdleLimit) {
                return TEnding::Shutdown;
            }
        }
        return TEnding::Normal;
    } catch (...) {
        // Closed on this side while reading: that is the normal way out.
        return socket.Connected() ? TEnding::Error : TEnding::Normal;
    }
}

void TConversation::HandlePacket(std::uint8_t command, ByteSpan rest) {
    switch (command) {
        case pcVoice: {
            // Exactly the VoiceHeader and its block: bytes beyond CompressedLength would put
            // the decoding out of step.
            const VoicePacket voice = ParseVoicePacket(rest);
            VoiceInput().Write(rest.data(),
                               static_cast<std::int32_t>(kVoiceHeaderSize + voice.Block.size()));
            break;
        }
        case pcText: {
            const TextPacket text = ParseTextPacket(rest);
            const std::string name = PartnerName();
            FCore.OnUi([&] { FCore.Ui().ShowChatLine(name, text.Text); });
            break;
        }
        case pcTransferRequest:
            HandleTransferRequest(rest);
            break;
        case pcTransferReply:
            HandleTransferReply(rest);
            break;
        default:
            break;
    }
}

void TConversation::HandleTransferRequest(ByteSpan rest) {
    const TransferRequestPacket request = ParseTransferRequestPacket(rest);
    TTransferOffer offer;
    offer.Connection = this;
    offer.PartnerName = PartnerName();
    offer.PartnerAddress = PartnerAddress();
    offer.FileName = request.FileName;
    offer.FileSize = request.Header.FileSize;
    offer.Port = request.Header.Port;
    bool busy = false;
    FCore.OnUi([&] {
        if (FCore.Ui().TransferWindowOpen()) {
            busy = true;
        } else {
            FCore.Ui().OpenReceiveWindow(offer);
        }
    });
    if (busy) {
        SendBuffer(BuildTransferReply(rcBusy, Sjis(texts::kTransferBusy)));
    }
}

void TConversation::HandleTransferReply(ByteSpan rest) {
    const ReplyPacket reply = ParseReplyPacket(rest);
    if (reply.Header.TextLength > 0) {
        AddLog(reply.Text);
    }
    if (reply.Header.Result == rcAccepted) {
        FCore.OnUi([&] { FCore.Ui().TransferAccepted(this); });
    } else if (reply.Header.Result == rcRefused) {
        AddLog(Sjis(texts::kTransferRefusedByPartner));
        FCore.OnUi([&] { FCore.Ui().TransferRefused(this); });
    }
}

void TConversation::TakeEnding(TEnding ending, std::string_view normalSuffix,
                               std::string_view closedSuffix) {
    const bool haveAddress = !PartnerAddress().empty();
    if (FOverflowed.load()) {
        AddPartnerLog(texts::kSendStalled);
    }
    switch (ending) {
        case TEnding::Error:
            AddPartnerLog(texts::kErrorWith);
            CloseSocket();
            AddPartnerLog(closedSuffix);
            return;
        case TEnding::Shutdown:
            AddPartnerLog(texts::kShutDown);
            CloseSocket();
            [[fallthrough]];
        case TEnding::Normal:
            if (haveAddress) {
                AddPartnerLog(normalSuffix);
            }
            CloseSocket();
            return;
    }
}

void TConversation::Finish() {
    StopWriter();
    FCore.Leave(*this);
    FCore.OnUi([&] { FCore.Ui().ConnectionEnded(this); });
    // The decode thread stops before its voice leaves the mixer, so that no block decoded
    // late leaves a child behind; what this partner had not yet been heard saying is dropped.
    if (FDecodeThread) {
        FDecodeThread->StopAndRemoveSource();
    }
}

TPartnerSecurity TConversation::Security() const {
    std::lock_guard lock(FNameLock);
    return FSecurity;
}

std::string TConversation::PartnerFingerprint() const {
    std::lock_guard lock(FNameLock);
    return FPartnerFingerprint;
}

std::string TConversation::CheckString() const {
    std::lock_guard lock(FNameLock);
    return FCheckString;
}

TMemberSecurity TConversation::MemberSecurity() const {
    std::lock_guard lock(FNameLock);
    TMemberSecurity security;
    security.Encrypted = FSecurity != TPartnerSecurity::Plain;
    security.Verified = FSecurity == TPartnerSecurity::Verified;
    security.CheckString = FCheckString;
    security.PartnerFingerprint = FPartnerFingerprint;
    return security;
}

std::shared_ptr<const TTlsIdentity> TConversation::EncryptionIdentity() const {
    std::lock_guard lock(FNameLock);
    if (FSecurity == TPartnerSecurity::Plain || FPartnerFingerprint.empty()) {
        return nullptr;
    }
    return FCore.SharedIdentity();
}

void TConversation::SetSecurity(bool verified) {
    TCustomWinSocket& socket = *Socket();
    const bool encrypted = socket.Encrypted();
    std::string fingerprint = encrypted ? socket.PeerFingerprint() : std::string();
    std::string check = encrypted ? socket.CheckString() : std::string();
    std::lock_guard lock(FNameLock);
    FSecurity = !encrypted ? TPartnerSecurity::Plain
                : verified ? TPartnerSecurity::Verified
                           : TPartnerSecurity::Encrypted;
    FPartnerFingerprint = std::move(fingerprint);
    FCheckString = std::move(check);
}

void TConversation::RefuseForKeys(TSecurityWarning warning) {
    CloseSocket();
    warning.Address = PartnerAddress();
    const std::string_view text =
        warning.Problem == TSecurityProblem::KeyChanged        ? texts::kKeyChanged
        : warning.Problem == TSecurityProblem::PlainFromPinned ? texts::kPlainFromPinned
                                                               : texts::kUnencryptedRefused;
    AddLog(warning.Address + Sjis(text));
    FCore.OnUi([&] { FCore.Ui().SecurityWarning(warning); });
}

}  // namespace vox
