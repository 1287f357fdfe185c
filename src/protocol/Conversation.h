// What the incoming and the outgoing connection threads share: the partner's identity, the
// locked write of whole packets, the receive loop with its packet handlers and its three
// endings, and the way they talk to the main window.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "net/CustomWinSocket.h"
#include "platform/Durations.h"
#include "protocol/ConversationUi.h"
#include "protocol/GuessLimiter.h"
#include "protocol/Trust.h"
#include "voice/AudioDevice.h"
#include "voice/Buffer.h"
#include "voice/VoiceThreads.h"
#include "wire/Packet.h"

namespace vox {

class TConnectionCore;
class TWinSocketStream;

// How far one partner may fall behind: what waits in its send queue beyond the packet on the
// wire. Three seconds of voice, counted at its uncompressed rate with the packets' headers,
// and the largest packet there is; a partner that lets more pile up is dropped.
inline constexpr std::size_t kSendQueueVoiceSeconds = 3;
inline constexpr std::size_t kSendQueueBytes =
    kSendQueueVoiceSeconds *
        (kVoiceFormat.AvgBytesPerSec + (kVoiceFormat.AvgBytesPerSec / kVoiceBlockSize + 1) *
                                           (kPacketHeaderSize + kVoiceHeaderSize)) +
    kMaxPacketLength;

// The durations (and the send queue's bound) a connection works with; tests shorten them.
struct TConversationTimeouts {
    std::uint32_t SocketTimeoutMs = kSocketTimeoutMs;    // each wait, read and write
    std::uint32_t HandshakeLimitMs = kHandshakeLimitMs;  // no valid handshake packet by then
    std::uint32_t ReverseLookupMs = kReverseLookupMs;    // the caller's host name
    std::size_t SendQueueBytes = kSendQueueBytes;        // a partner's queue beyond this: dropped
    TGuessLimits Guesses;                                // wrong pass phrases before a block
};

// A failure inside a connection: the connection ends through its error path, and the text
// itself is not shown.
class EConversationError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Texts of the conversation protocol, UTF-8 here and CP932 on the wire and in the log.
namespace texts {
inline constexpr std::string_view kWelcomeSuffix = "さん、いらしゃい";
inline constexpr std::string_view kPassPhraseMismatch = "パスフレーズが一致しません。";
inline constexpr std::string_view kCallRefused = "接続を拒否します。";
inline constexpr std::string_view kDecisionTimedOut = "接続可否の判断がタイムアウトしました。";
inline constexpr std::string_view kTransferBusy = "ファイルの転送中のため、少々お待ちください。";
inline constexpr std::string_view kTransferRefusedByPartner = "ファイルの転送を断られました。";
inline constexpr std::string_view kReadFailed = "ソケットからデータの読み出しに失敗しました。";
inline constexpr std::string_view kWrongData = "通信データが間違っています。";
inline constexpr std::string_view kNotOurProgram = " はVoxilen.exeではありません。";
inline constexpr std::string_view kWrongPacket = " データが間違っています。";
inline constexpr std::string_view kErrorWith = " との間でエラーが発生しました。";
inline constexpr std::string_view kShutDown = " がシャットダウンしたと思われます。";
inline constexpr std::string_view kSendStalled = " への送信が滞ったので切断します。";
inline constexpr std::string_view kKeyChanged =
    " の鍵が以前と異なるため、接続を拒否しました。なりすましのおそれがあります。";
inline constexpr std::string_view kPlainFromPinned =
    " は以前暗号化して接続した相手ですが、暗号化なしで応答したため接続を拒否しました。";
inline constexpr std::string_view kUnencryptedRefused =
    " は暗号化に対応していないため、接続を拒否しました。";
inline constexpr std::string_view kFallingBackToPlain =
    " は暗号化に対応していないため、暗号化なしで接続し直します。";
inline constexpr std::string_view kKeyRefusedReply = "鍵が一致しないため接続を拒否します。";
}  // namespace texts

// CP932 bytes of a UTF-8 text of the program's own.
std::string Sjis(std::string_view utf8);

class TConversation {
  public:
    virtual ~TConversation();

    TConversation(const TConversation&) = delete;
    TConversation& operator=(const TConversation&) = delete;

    // Queues one complete packet for the connection's writer and returns at once; the writer
    // puts the queued packets on the wire whole and in order, each under WriteLock within the
    // socket timeout. A write that fails or times out closes the connection (the connection's
    // thread then ends by itself). A partner that lets more than SendQueueBytes pile up in its
    // queue is dropped the same way, and its thread logs why. Once the connection is closed on
    // this side packets are dropped. An empty packet does nothing. Any thread; never waits on
    // the network.
    void SendBuffer(ByteSpan packet);
    // Closes the connection without waiting: what is still queued is dropped, and a packet on
    // the wire is finished first (within the socket timeout) so that the partner never gets
    // part of one. The connection's thread then ends by itself. Any thread.
    void Disconnect();

    // The partner's dotted address, fixed when the thread starts.
    std::string PartnerAddress() const;
    // The name the partner is listed under.
    std::string PartnerName() const;
    // True once the handshake has ended in acceptance: only such connections get voice and
    // text lines.
    bool Established() const { return FEstablished.load(); }
    bool Incoming() const { return FIncoming; }
    // The partner's address while the connection has not been closed on this side; empty
    // after. The accept check compares it without touching the connection itself.
    std::string LiveAddress() const;

    // How the connection is protected, the partner's key and the session's check string
    // (both empty in the clear); fixed before the partner joins the member list.
    TPartnerSecurity Security() const;
    std::string PartnerFingerprint() const;
    std::string CheckString() const;
    TMemberSecurity MemberSecurity() const;
    // The own identity when the conversation is encrypted (a file transfer with this partner
    // then encrypts its data connection with it and expects PartnerFingerprint() there); null
    // in the clear.
    std::shared_ptr<const TTlsIdentity> EncryptionIdentity() const;

    // The queued packets are written by whoever queues them, on its own thread, instead of by
    // a writer thread of the connection's: for running a connection's whole life in one
    // thread, where nothing else queues. Before the handshake.
    void WriteOnQueuingThread() { FWriteOnQueuingThread = true; }

    // Received voice (VoiceHeader + block, back to back) for this connection's decoding; also
    // the key of this partner's voice in the mixer. Without a mixer (a core that plays
    // nothing) the voice only gathers here.
    TThreadFifoBuffer& VoiceInput() {
        return FDecodeThread ? FDecodeThread->InputBuffer() : FVoiceInput;
    }

  protected:
    TConversation(TConnectionCore& core, bool incoming);

    // Writes one complete packet on the calling thread under WriteLock: the handshake's own
    // packets, before the writer runs. A packet that cannot be written whole closes the
    // connection and raises ESocketError.
    void WriteNow(ByteSpan packet);

    // The connection; set by the derived class before the thread body runs.
    virtual TCustomWinSocket* Socket() const = 0;
    // Whether the thread has been told to stop.
    virtual bool StopRequested() const = 0;

    enum class TEnding { Normal, Error, Shutdown };

    // Runs the receive loop until the thread is told to stop, the connection is closed on
    // this side, a read or check fails (Error) or the partner is taken to be gone (Shutdown).
    TEnding ReceiveLoop();
    // Logs and closes as the ending says; a shutdown is followed by the normal ending.
    // normalSuffix / closedSuffix are the side's own texts.
    void TakeEnding(TEnding ending, std::string_view normalSuffix, std::string_view closedSuffix);
    // Stops the writer (the packet on the wire is finished, the rest dropped), leaves the
    // lists and the window: the last step of every connection thread.
    void Finish();
    // Stops the writer; a connection thread's body holds a TWriterScope so that the writer
    // has stopped before the body leaves, however it leaves.
    void StopWriter();
    class TWriterScope {
      public:
        explicit TWriterScope(TConversation& connection) : FConnection(connection) {}
        ~TWriterScope() { FConnection.StopWriter(); }
        TWriterScope(const TWriterScope&) = delete;
        TWriterScope& operator=(const TWriterScope&) = delete;

      private:
        TConversation& FConnection;
    };

    // A log line on the main window. AddPartnerLog puts the partner's address in front.
    void AddLog(const std::string& message);
    void AddPartnerLog(std::string_view suffixUtf8);
    // Closes the connection if it is still connected.
    void CloseSocket();

    // Reads exactly count bytes within one socket timeout. Returns false when they did not
    // all arrive in time, the partner closed, or the connection was closed on this side.
    bool ReadFull(TWinSocketStream& stream, std::uint8_t* buffer, std::size_t count);

    void SetPartnerAddress(std::string address);
    void SetPartnerName(std::string name);
    // The handshake has ended in acceptance: the writer starts (on the connection's thread,
    // after the handshake's own writes) and the connection gets voice and text lines.
    void SetEstablished();
    void MarkClosed() { FClosedHere.store(true); }
    // Takes the protection from the connection's socket: the partner's key and the check
    // string when it is encrypted; verified tells whether the key matched an earlier pin.
    void SetSecurity(bool verified);
    // Logs the refusal (the partner's address first), closes, and warns the window.
    void RefuseForKeys(TSecurityWarning warning);

    TConnectionCore& FCore;
    const TConversationTimeouts FTimeouts;

  private:
    void HandlePacket(std::uint8_t command, ByteSpan rest);
    void HandleTransferRequest(ByteSpan rest);
    void HandleTransferReply(ByteSpan rest);

    // Writes one packet whole under WriteLock; closes the connection and raises when it cannot.
    void WriteWhole(TCustomWinSocket& socket, ByteSpan packet);
    // The writer's thread: sleeps until a packet is queued or it is told to stop.
    void WriterLoop(TCustomWinSocket* socket);
    // Writes the packet at the head of the queue with the queue's lock (held on entry and on
    // return) released meanwhile.
    void WriteHead(std::unique_lock<std::mutex>& lock, TCustomWinSocket& socket);
    // Without a writer thread: writes what is queued on the calling thread (lock held).
    void WriteQueueHere(std::unique_lock<std::mutex>& lock);
    // After a write: closes the connection when a Disconnect() came while it was on the wire.
    void EndWrite(TCustomWinSocket& socket, bool failed);
    void DropQueue();  // under FQueueLock

    const bool FIncoming;
    std::mutex FWriteLock;
    // The send queue and the writer's state.
    std::mutex FQueueLock;
    std::condition_variable FQueueCv;
    std::deque<Packet> FQueue;
    std::size_t FQueuedBytes = 0;
    bool FWriting = false;     // a packet is on the wire (the writer's or the handshake's)
    bool FClosing = false;     // closed on this side, or to be once the write on the wire ends
    bool FWriterStop = false;  // the writer is to end
    std::atomic<bool> FOverflowed{false};
    std::thread FWriter;
    bool FWriteOnQueuingThread = false;
    mutable std::mutex FNameLock;
    std::string FPartnerAddress;
    std::string FPartnerName;
    std::atomic<bool> FEstablished{false};
    TPartnerSecurity FSecurity = TPartnerSecurity::Plain;  // under FNameLock
    std::string FPartnerFingerprint;                       // under FNameLock
    std::string FCheckString;                              // under FNameLock
    std::atomic<bool> FClosedHere{false};
    TThreadFifoBuffer FVoiceInput;
    std::unique_ptr<TDecodeThread> FDecodeThread;
};

}  // namespace vox
