#include "protocol/ServerThread.h"

#include <vector>

#include "net/Tls.h"
#include "net/WinSocketStream.h"
#include "platform/Clock.h"
#include "protocol/ConnectionCore.h"
#include "protocol/GuessLimiter.h"
#include "wire/PassPhrase.h"

namespace vox {

namespace {

constexpr std::string_view kServerNormalEnd = " とのサーバー接続を終了します。";
constexpr std::string_view kServerSocketClosed = " サーバーソケットを閉じました。";
constexpr std::string_view kCallerTimedOut = " 接続相手を確認できずにタイムアウトしました。";
constexpr std::string_view kPassPhraseRefused = " のパスフレーズが一致しませんでした。";
constexpr std::string_view kConnected = " と接続しました。";
constexpr std::string_view kRefusedByUser = " の接続を拒否しました。";
constexpr std::string_view kHandshakeFailed = " エラーが発生して接続できませんでした。";
constexpr std::string_view kPlainRefusedReply = "暗号化なしの接続は受け付けていません。";
constexpr std::string_view kGuessing =
    " からのパスフレーズの誤りが続いたので、%d 秒間その接続を確かめずに断ります。";

// The caller hung up, or a field did not arrive in time: the handshake cannot go on.
struct THandshakeBroken {};

}  // namespace

TServerThread::TServerThread(TConnectionCore& core, TSynchronizer* sync)
    : TServerClientThread(sync), TConversation(core, true) {
    SetPriority(TThreadPriority::tpHigher);
}

void TServerThread::TerminateRequested() {
    TServerClientThread::TerminateRequested();
    CloseConnection();
}

TServerThread::~TServerThread() {
    Terminate();
    CloseConnection();
    WaitFor();
    // A thread stopped before its body ran never left the list by itself.
    FCore.Leave(*this);
}

void TServerThread::PrepareFor(const TCustomWinSocket& socket) {
    SetPartnerAddress(socket.RemoteAddress());
    if (!socket.Connected()) {
        MarkClosed();
    }
}

std::string TServerThread::PartnerComment() const {
    std::lock_guard lock(FInfoLock);
    return FPartnerComment;
}

std::string TServerThread::PartnerHost() const {
    std::lock_guard lock(FInfoLock);
    return FPartnerHost;
}

void TServerThread::ClientExecute() {
    const TWriterScope writer(*this);
    SetData(this);
    VoiceInput().Clear();
    SetPartnerAddress(ClientSocket()->RemoteAddress());
    FCore.AddIncoming(this);
    Handshake();
    const TEnding ending = ReceiveLoop();
    TakeEnding(ending, kServerNormalEnd, kServerSocketClosed);
    Finish();
    // One thread serves one connection.
    Terminate();
}

void TServerThread::Handshake() {
    TCustomWinSocket& socket = *ClientSocket();
    {
        std::string host = socket.RemoteHost(FCore.Resolver(), FTimeouts.ReverseLookupMs);
        std::lock_guard lock(FInfoLock);
        FPartnerHost = std::move(host);
    }
    SetPartnerAddress(socket.RemoteAddress());
    const std::uint32_t start = TimeGetTime();
    if (!socket.Connected()) {
        return;  // refused by the accept check: no reply, no log line
    }
    if (!StartTlsIfAsked()) {
        return;
    }
    TWinSocketStream stream(socket, FTimeouts.SocketTimeoutMs);
    std::uint8_t header[kPacketHeaderSize];
    std::size_t have = 0;
    try {
        while (socket.Connected()) {
            if (stream.WaitForData(FTimeouts.SocketTimeoutMs) && socket.Connected()) {
                const int n = stream.Read(header + have, static_cast<int>(sizeof header - have));
                if (n <= 0) {
                    if (!socket.Connected()) {
                        return;  // closed on this side: no decision, no reply
                    }
                    // Readable but nothing to read: the caller hung up and can never
                    // finish its request, so waiting out the limit would only spin.
                    throw THandshakeBroken{};
                }
                have += static_cast<std::size_t>(n);
                if (have == sizeof header) {
                    if (!CheckMagic(header)) {
                        AddPartnerLog(texts::kNotOurProgram);
                        CloseSocket();
                        return;
                    }
                    if (ReadPacketHeader(header).Command != pcConnect) {
                        AddPartnerLog(texts::kWrongPacket);
                        CloseSocket();
                        return;
                    }
                    std::string passPhrase;
                    if (!ReadConnectRequest(stream, passPhrase)) {
                        if (!socket.Connected()) {
                            return;  // closed on this side: no decision, no reply
                        }
                        throw THandshakeBroken{};
                    }
                    if (!CheckCallerKey()) {
                        return;
                    }
                    Decide(passPhrase);
                    PinAfterAcceptance();
                    return;
                }
            }
            if (ElapsedMs(start, TimeGetTime()) > FTimeouts.HandshakeLimitMs) {
                CloseSocket();
                AddPartnerLog(kCallerTimedOut);
                return;
            }
        }
    } catch (...) {
        CloseSocket();
        AddPartnerLog(kHandshakeFailed);
    }
}

bool TServerThread::ReadConnectRequest(TWinSocketStream& stream, std::string& passPhrase) {
    std::uint8_t sub[kConnectRequestHeaderSize];
    if (!ReadFull(stream, sub, sizeof sub)) {
        return false;
    }
    const ConnectRequestHeader request = ReadConnectRequestHeader(sub);
    auto readField = [&](std::size_t length, std::string& out) {
        std::vector<std::uint8_t> bytes(length);
        if (length > 0 && !ReadFull(stream, bytes.data(), length)) {
            return false;
        }
        out = TextUpToZero(bytes);
        return true;
    };
    std::string name;
    std::string comment;
    std::string encoded;
    if (!readField(request.NameLength, name) || !readField(request.CommentLength, comment) ||
        !readField(request.PassPhraseLength, encoded)) {
        return false;
    }
    SetPartnerName(name);
    {
        std::lock_guard lock(FInfoLock);
        FPartnerComment = comment;
    }
    passPhrase = DecodePassPhrase(name, encoded);
    return true;
}

void TServerThread::Decide(const std::string& receivedPassPhrase) {
    bool usePassPhrase = false;
    std::string ownPassPhrase;
    FCore.OnUi([&] { FCore.Ui().FetchPassPhraseSetting(usePassPhrase, ownPassPhrase); });

    if (usePassPhrase) {
        // A caller that guessed too often gets the wrong pass phrase's answer whatever it sent,
        // without a log line for each call: the block's line has said it.
        const std::string address = ClientSocket()->RemoteAddress();
        TGuessLimiter& guesses = FCore.Guesses();
        if (guesses.Blocked(address, SteadyMs())) {
            WriteNow(BuildConnectReply(rcRefused, Sjis(texts::kPassPhraseMismatch)));
            CloseSocket();
            return;
        }
        if (ownPassPhrase != receivedPassPhrase) {
            WriteNow(BuildConnectReply(rcRefused, Sjis(texts::kPassPhraseMismatch)));
            CloseSocket();
            AddPartnerLog(kPassPhraseRefused);
            if (const std::uint64_t blockMs = guesses.Failed(address, SteadyMs()); blockMs > 0) {
                std::string line(kGuessing);
                line.replace(line.find("%d"), 2, std::to_string((blockMs + 999) / 1000));
                AddLog(GuessKey(address) + Sjis(line));
            }
            return;
        }
        guesses.Succeeded(address);
    }

    TIncomingCall call;
    call.Address = ClientSocket()->RemoteAddress();
    call.HostName = PartnerHost();
    call.PartnerName = PartnerName();
    call.Comment = PartnerComment();
    int result = cdTimedOut;
    FCore.OnUi([&] { result = FCore.Ui().AskAcceptance(call); });

    if (result == cdAccepted) {
        WriteNow(BuildConnectReply(rcAccepted, PartnerName() + Sjis(texts::kWelcomeSuffix)));
        AddPartnerLog(kConnected);
        SetEstablished();
        FCore.OnUi([&] {
            FCore.Ui().AddMember(PartnerName(), this);
            FCore.Ui().MemberSecurity(this, MemberSecurity());
        });
    } else if (result == cdRefused) {
        WriteNow(BuildConnectReply(rcRefused, Sjis(texts::kCallRefused)));
        CloseSocket();
        AddPartnerLog(kRefusedByUser);
    } else {
        WriteNow(BuildConnectReply(rcRefused, Sjis(texts::kDecisionTimedOut)));
        CloseSocket();
        AddLog(Sjis(texts::kDecisionTimedOut));
    }
}

bool TServerThread::StartTlsIfAsked() {
    const TTlsIdentity* identity = FCore.Identity();
    if (identity == nullptr || FCore.Trust() == nullptr) {
        return true;  // a core without keys serves everyone in the clear
    }
    TCustomWinSocket& socket = *ClientSocket();
    try {
        // The caller speaks first: a TLS hello, or the plain protocol's magic.
        TWinSocketStream stream(socket, FTimeouts.SocketTimeoutMs);
        std::uint8_t first[kTlsDetectBytes] = {};
        const int seen = stream.Peek(first, sizeof first);
        if (!LooksLikeTls(first, static_cast<std::size_t>(seen))) {
            return true;
        }
        if (socket.StartTls(*identity, true, FTimeouts.SocketTimeoutMs) ==
            TTlsOutcome::Established) {
            return true;
        }
    } catch (...) {
    }
    if (socket.Connected()) {
        CloseSocket();
        AddPartnerLog(kHandshakeFailed);
    }
    return false;
}

bool TServerThread::CheckCallerKey() {
    ITrustStore* trust = FCore.Trust();
    if (FCore.Identity() == nullptr || trust == nullptr) {
        return true;
    }
    TCustomWinSocket& socket = *ClientSocket();
    const std::string partner = CallerPartnerKey(PartnerName());
    std::string pinned;
    bool refusePlain = false;
    FCore.OnUi([&] {
        pinned = trust->PinnedKey(partner);
        refusePlain = trust->RefuseUnencrypted();
    });
    TSecurityWarning warning;
    warning.Partner = partner;
    warning.PartnerName = PartnerName();
    warning.PinnedFingerprint = pinned;
    if (socket.Encrypted()) {
        const std::string presented = socket.PeerFingerprint();
        if (pinned.empty() || presented == pinned) {
            SetSecurity(!pinned.empty());
            FCallerKey = partner;
            return true;
        }
        warning.Problem = TSecurityProblem::KeyChanged;
        warning.NewFingerprint = presented;
        WriteNow(BuildConnectReply(rcRefused, Sjis(texts::kKeyRefusedReply)));
    } else if (pinned.empty() && !refusePlain) {
        SetSecurity(false);
        return true;
    } else {
        warning.Problem =
            !pinned.empty() ? TSecurityProblem::PlainFromPinned : TSecurityProblem::Unencrypted;
        WriteNow(BuildConnectReply(
            rcRefused, Sjis(!pinned.empty() ? texts::kKeyRefusedReply : kPlainRefusedReply)));
    }
    RefuseForKeys(warning);
    return false;
}

void TServerThread::PinAfterAcceptance() {
    ITrustStore* trust = FCore.Trust();
    if (trust == nullptr || FCallerKey.empty() || !Established()) {
        return;
    }
    const std::string fingerprint = PartnerFingerprint();
    FCore.OnUi([&] { trust->PinKey(FCallerKey, fingerprint); });
}

}  // namespace vox
