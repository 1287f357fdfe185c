#include "protocol/ClientThread.h"

#include <vector>

#include "net/SocketError.h"
#include "net/Tls.h"
#include "net/WinSocketStream.h"
#include "platform/Clock.h"
#include "protocol/ConnectionCore.h"
#include "wire/PassPhrase.h"

namespace vox {

namespace {

constexpr std::string_view kClientNormalEnd = " との接続を終了します。";
constexpr std::string_view kClientSocketClosed = " クライアントソケットを閉じます。";
constexpr std::string_view kPartnerTimedOut = " 接続相手から返答されずタイムアウトしました。";
constexpr std::string_view kConnectFailed = " 接続中にエラーが発生しました。";

struct THandshakeBroken {};

}  // namespace

TClientThread::TClientThread(TConnectionCore& core, TSynchronizer* sync,
                             std::shared_ptr<TMyClientSocket> component, std::uint64_t call)
    : TThread(sync),
      TConversation(core, false),
      FComponent(std::move(component)),
      FCallId(call),
      FMyName(FComponent->MyName),
      FComment(FComponent->Comment),
      FPassPhrase(FComponent->PassPhrase) {
    SetPriority(TThreadPriority::tpHigher);
    SetPartnerName(FComponent->PartnerName);
}

void TClientThread::TerminateRequested() {
    FComponent->Socket().Close();
}

TClientThread::~TClientThread() {
    Terminate();
    FComponent->Socket().Close();
    WaitFor();
}

void TClientThread::Execute() {
    const TWriterScope writer(*this);
    if (!PlaceCall()) {
        return;
    }
    Converse();
}

void TClientThread::ConverseHere() {
    const TWriterScope writer(*this);
    SetPartnerAddress(FComponent->Socket().RemoteAddress());
    Converse();
}

void TClientThread::Converse() {
    VoiceInput().Clear();
    FCore.AddOutgoing(this);
    FInConversation.store(true);
    Handshake();
    const TEnding ending = ReceiveLoop();
    TakeEnding(ending, kClientNormalEnd, kClientSocketClosed);
    Finish();
}

bool TClientThread::PlaceCall() {
    try {
        FComponent->Open();
    } catch (const ESocketError& e) {
        FCore.ReportCall(FCallId, TCallOutcome{false, e.what(), e.ErrorCode(), e.Api()});
        return false;
    } catch (const std::exception& e) {
        // The connector stays listed, unconnected, until every connection is dropped.
        FCore.ReportCall(FCallId, TCallOutcome{false, e.what(), 0, {}});
        return false;
    }
    SetPartnerAddress(FComponent->Socket().RemoteAddress());
    FCore.ReportCall(FCallId, TCallOutcome{true, {}, 0, {}});
    // Cancelled before the outcome was handed over: the call ends without a word.
    if (Terminated()) {
        FComponent->Socket().Close();
        return false;
    }
    return true;
}

void TClientThread::Handshake() {
    TCustomWinSocket& socket = FComponent->Socket();
    // The address as the socket reports it now, before any close.
    const std::string address = socket.RemoteAddress();
    auto log = [&](std::string_view suffix) { AddLog(address + Sjis(suffix)); };
    auto failed = [&](TCallFailure why) {
        FCore.OnUi([&] { FCore.Ui().CallFailed(address, why); });
    };
    bool verified = false;
    if (!Secure(verified)) {
        return;
    }
    std::uint8_t header[kPacketHeaderSize];
    std::size_t have = 0;
    try {
        WriteNow(BuildConnect(FMyName, FComment, EncodePassPhrase(FMyName, FPassPhrase)));
        const std::uint32_t start = TimeGetTime();
        TWinSocketStream stream(socket, FTimeouts.SocketTimeoutMs);
        while (socket.Connected()) {
            if (stream.WaitForData(FTimeouts.SocketTimeoutMs) && socket.Connected()) {
                const int n = stream.Read(header + have, static_cast<int>(sizeof header - have));
                if (n <= 0) {
                    if (!socket.Connected()) {
                        return;
                    }
                    throw THandshakeBroken{};  // the partner hung up without answering
                }
                have += static_cast<std::size_t>(n);
                if (have == sizeof header) {
                    have = 0;
                    if (!CheckMagic(header)) {
                        log(texts::kNotOurProgram);
                        CloseSocket();
                        failed(TCallFailure::NotOurProgram);
                        return;
                    }
                    if (ReadPacketHeader(header).Command != pcConnectReply) {
                        log(texts::kWrongPacket);
                        CloseSocket();
                        failed(TCallFailure::NotOurProgram);
                        return;
                    }
                    std::uint8_t sub[kReplyHeaderSize];
                    if (!ReadFull(stream, sub, sizeof sub)) {
                        throw THandshakeBroken{};
                    }
                    const ReplyHeader reply = ReadReplyHeader(sub);
                    std::string replyText;
                    if (reply.TextLength > 0) {
                        std::vector<std::uint8_t> text(reply.TextLength);
                        if (!ReadFull(stream, text.data(), text.size())) {
                            throw THandshakeBroken{};
                        }
                        replyText = TextUpToZero(text);
                        std::string line = address;
                        line += ' ';
                        line += replyText;
                        AddLog(line);
                    }
                    if (reply.Result == rcAccepted) {
                        PinAfterAcceptance(verified);
                        SetEstablished();
                        FCore.OnUi([&] {
                            FCore.Ui().AddMember(PartnerName(), this);
                            FCore.Ui().MemberSecurity(this, MemberSecurity());
                        });
                        return;
                    }
                    CloseSocket();
                    failed(replyText == Sjis(texts::kPassPhraseMismatch)
                               ? TCallFailure::WrongPassPhrase
                           : replyText == Sjis(texts::kDecisionTimedOut) ? TCallFailure::NoDecision
                                                                         : TCallFailure::Refused);
                    continue;
                }
            }
            if (ElapsedMs(start, TimeGetTime()) > FTimeouts.HandshakeLimitMs) {
                CloseSocket();
                log(kPartnerTimedOut);
                failed(TCallFailure::NoAnswer);
                return;
            }
        }
    } catch (...) {
        log(kConnectFailed);
        CloseSocket();
        failed(TCallFailure::Broken);
    }
}

bool TClientThread::Secure(bool& verified) {
    const TTlsIdentity* identity = FCore.Identity();
    ITrustStore* trust = FCore.Trust();
    if (identity == nullptr || trust == nullptr) {
        return true;  // a core without keys calls in the clear
    }
    TCustomWinSocket& socket = FComponent->Socket();
    const std::string address = socket.RemoteAddress();
    const std::string& partner = FComponent->PartnerKey;
    std::string pinned;
    bool knownPlain = false;
    bool refusePlain = false;
    FCore.OnUi([&] {
        pinned = trust->PinnedKey(partner);
        knownPlain = trust->KnownPlain(partner);
        refusePlain = trust->RefuseUnencrypted();
    });
    TSecurityWarning warning;
    warning.Partner = partner;
    warning.PartnerName = PartnerName();
    warning.PinnedFingerprint = pinned;
    if (knownPlain && pinned.empty()) {
        if (refusePlain) {
            warning.Problem = TSecurityProblem::Unencrypted;
            RefuseForKeys(warning);
            return false;
        }
        return true;  // known to answer in the clear only: not probed again for a while
    }
    const TTlsOutcome outcome = socket.StartTls(*identity, false, FTimeouts.SocketTimeoutMs);
    if (outcome == TTlsOutcome::Established) {
        const std::string presented = socket.PeerFingerprint();
        if (!pinned.empty() && presented != pinned) {
            warning.Problem = TSecurityProblem::KeyChanged;
            warning.NewFingerprint = presented;
            RefuseForKeys(warning);
            return false;
        }
        verified = !pinned.empty();
        return true;
    }
    if (outcome == TTlsOutcome::PeerClosed && Terminated()) {
        return false;
    }
    if (outcome == TTlsOutcome::PeerClosed) {
        // An older copy read the TLS hello as a wrong packet and hung up.
        if (!pinned.empty() || refusePlain) {
            warning.Problem =
                !pinned.empty() ? TSecurityProblem::PlainFromPinned : TSecurityProblem::Unencrypted;
            RefuseForKeys(warning);
            return false;
        }
        FCore.OnUi([&] { trust->MarkPlain(partner, true); });
        AddLog(address + Sjis(texts::kFallingBackToPlain));
        socket.Close();
        try {
            FComponent->Open();
        } catch (const std::exception&) {
            AddLog(address + Sjis(kConnectFailed));
            FCore.OnUi([&] { FCore.Ui().CallFailed(address, TCallFailure::Broken); });
            return false;
        }
        return true;
    }
    CloseSocket();
    if (outcome == TTlsOutcome::TimedOut) {
        AddLog(address + Sjis(kPartnerTimedOut));
        FCore.OnUi([&] { FCore.Ui().CallFailed(address, TCallFailure::NoAnswer); });
    } else if (!Terminated()) {
        AddLog(address + Sjis(kConnectFailed));
        FCore.OnUi([&] { FCore.Ui().CallFailed(address, TCallFailure::Broken); });
    }
    return false;
}

void TClientThread::PinAfterAcceptance(bool verified) {
    SetSecurity(verified);
    ITrustStore* trust = FCore.Trust();
    TCustomWinSocket& socket = FComponent->Socket();
    if (trust == nullptr || FCore.Identity() == nullptr || !socket.Encrypted()) {
        return;
    }
    const std::string fingerprint = socket.PeerFingerprint();
    FCore.OnUi([&] {
        trust->PinKey(FComponent->PartnerKey, fingerprint);
        trust->MarkPlain(FComponent->PartnerKey, false);
    });
}

}  // namespace vox
