// What the file-transfer threads need from the transfer window, the durations and limits they
// work with, and the texts they show.
//
// The threads never touch a window. Every report reaches the window through ITransferView on
// the user-interface thread (the synchronizer's main thread) while the reporting thread waits
// for it, holding no lock. Texts given to the view are UTF-8; log lines come without the date
// and time, which the log adds itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/Durations.h"

namespace vox {

class TTlsIdentity;

class ITransferView {
  public:
    virtual ~ITransferView() = default;

    // The transfer window's caption.
    virtual void SetCaption(const std::string& text) = 0;
    // The progress bar's range becomes 0 to maximum (the announced size, below 2 GiB).
    virtual void SetProgressRange(std::int64_t maximum) = 0;
    // The progress bar's position: bytes received (receiving end) or acknowledged (sending end).
    virtual void SetProgress(std::int64_t position) = 0;
    // One line for the main window's log.
    virtual void AddLog(const std::string& text) = 0;
    // The transfer thread (TFileServerThread receiving, TFileClientThread sending) has ended;
    // reported from its end notification, the last report it makes. The window starts its
    // closing timer.
    virtual void TransferThreadEnded() = 0;
};

// Bytes of progress between two updates of the progress bar.
inline constexpr std::int64_t kProgressStepBytes = 511;
// At most one progress update per this many milliseconds: every update is a blocking call
// onto the user-interface thread, and a fast transfer would otherwise make tens of thousands
// of them per second. 0 updates on every step.
inline constexpr std::uint32_t kTransferProgressIntervalMs = 50;
// The piece size of the stop-and-wait partners this program must work with: a sender that
// writes one piece and waits for its acknowledgement, a receiver that reads at most one piece.
inline constexpr int kTransferPieceBytes = 256;
// Bytes the sending end keeps in flight without an acknowledgement at the start: about one
// bandwidth-delay product of a 100 Mbit/s link with a 300 ms round trip, so that the common
// paths run at full rate from the first round trip. From there the window follows the
// bandwidth-delay product measured from the acknowledgements.
inline constexpr std::int64_t kSendWindowBytes = std::int64_t{4} * 1024 * 1024;
// The most the window grows to: 64 MiB carries 1 Gbit/s over a 500 ms round trip. The bytes in
// flight are held by the system's socket buffers and the network, not by the program.
inline constexpr std::int64_t kMaxSendWindowBytes = std::int64_t{64} * 1024 * 1024;

// Durations and limits of one transfer; tests shorten them.
struct TTransferOptions {
    std::uint32_t SocketTimeoutMs = kSocketTimeoutMs;   // each wait, read and write
    std::uint32_t IdleLimitMs = kTransferIdleLimitMs;   // nothing received for this long
    std::uint32_t ConnectTimeoutMs = kSocketTimeoutMs;  // the sending end's connect
    std::uint32_t ProgressIntervalMs = kTransferProgressIntervalMs;
    // The window at the start. 256 or less: stop-and-wait, one piece per write, and the window
    // stays as it is.
    std::int64_t SendWindowBytes = kSendWindowBytes;
    // The most the window grows to; at most SendWindowBytes: it stays as it is.
    std::int64_t MaxSendWindowBytes = kMaxSendWindowBytes;
    // The TLS handshake of an encrypted data connection, as a whole.
    std::uint32_t TlsHandshakeMs = kSocketTimeoutMs;
};

// How the data connection is protected. Between two copies whose conversation is encrypted,
// the data connection runs TLS with the same own identity (the sending end as the client), and
// the partner must present the key it presented on the conversation; otherwise (an older
// partner, a conversation in the clear) the data connection is plain, as it always was.
struct TDataSecurity {
    std::shared_ptr<const TTlsIdentity> Identity;
    // The partner's certificate fingerprint as seen on the conversation.
    std::string PartnerFingerprint;
    bool Encrypted() const { return Identity != nullptr && !PartnerFingerprint.empty(); }
};

// What one end of a transfer works on.
struct TTransferJob {
    TTransferJob() = default;
    TTransferJob(std::string partnerAddress, int port, std::string filePath, std::int64_t fileSize,
                 TTransferOptions options = {}, TDataSecurity security = {})
        : PartnerAddress(std::move(partnerAddress)),
          Port(port),
          FilePath(std::move(filePath)),
          FileSize(fileSize),
          Options(options),
          Security(std::move(security)) {}

    // The conversation partner's dotted IPv4 address: the receiving end serves only it, the
    // sending end connects to it.
    std::string PartnerAddress;
    // The data port. On the receiving end 0 listens on a free port (see LocalPort()).
    int Port = 0;
    // Local path (UTF-8): the file to send, or the file to save.
    std::string FilePath;
    // The announced size: what the receiving end waits for and the sending end sends.
    std::int64_t FileSize = 0;
    TTransferOptions Options;
    TDataSecurity Security;
};

// Texts of the transfer threads (UTF-8). <name> is the file name part of the path.
namespace transfer_texts {
inline constexpr std::string_view kReceiving = " を受信中です。";            // <name>
inline constexpr std::string_view kSending = " を送信中です。";              // <name>
inline constexpr std::string_view kReceiveDone = " の受信を完了しました。";  // <name>
inline constexpr std::string_view kSendDone = " の送信を完了しました。";     // <name>, <path>
inline constexpr std::string_view kSaved = " を保存しました。";              // <path>
inline constexpr std::string_view kReceiveFailed = " をエラーが発生して受信に失敗しました。";
inline constexpr std::string_view kSendFailed = " をエラーが発生して送信に失敗しました。";
inline constexpr std::string_view kReceiveTimedOut =
    " をタイムアウトエラーが発生して受信に失敗しました。";
inline constexpr std::string_view kSendTimedOut =
    " をタイムアウトエラーが発生して送信に失敗しました。";
// The partner closed the data connection before the whole file had come: it cancelled or quit.
inline constexpr std::string_view kReceiveStoppedByPartner =
    " は相手が転送を中止したため受信できませんでした。";  // <name>
inline constexpr std::string_view kSendStoppedByPartner =
    " は相手が転送を中止したため送信できませんでした。";  // <name>
// Logged when the window is closed while its transfer still runs.
inline constexpr std::string_view kReceiveInterrupted = " の受信を中断しました。";  // <name>
inline constexpr std::string_view kSendInterrupted = " の送信を中断しました。";     // <name>
// The partner's data connection presented another key than its conversation: someone else
// stands between the two, and the file is not sent to or taken from it.
inline constexpr std::string_view kSendKeyMismatch =
    " は相手の鍵が会話の鍵と一致しないため、送信を中止しました。";  // <name>
inline constexpr std::string_view kReceiveKeyMismatch =
    " は相手の鍵が会話の鍵と一致しないため、受信を中止しました。";  // <name>
// The message box for a file too large to offer.
inline constexpr std::string_view kTooLarge = " は2GB以上のため送信できません。";  // <path>
}  // namespace transfer_texts

}  // namespace vox
