// The sending end of a transfer: sends the file over a standing data connection and follows
// the receiver's acknowledgements.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "net/CustomWinSocket.h"
#include "platform/Thread.h"
#include "transfer/TransferCommon.h"
#include "transfer/TransferView.h"
#include "transfer/TransferViewLink.h"

namespace vox {

// Sends the first FileSize bytes of FilePath in large writes, as far as the window allows
// (see TSendWindow: it starts at SendWindowBytes and follows the measured bandwidth-delay
// product up to MaxSendWindowBytes; a start of 256 bytes or less sends one 256-byte piece per
// write and keeps the window), reading acknowledgements between writes. The file's bytes go
// from the file to the connection without a copy through the program (sendfile), so memory
// does not grow with the window. It keeps its own position, which only
// moves forward: no byte is sent twice, whatever the acknowledgements say. Acknowledgements are
// read as whole 8-byte counts (one split over several reads is put together); each one that
// passes the highest count so far moves the progress bar. The transfer is complete only when
// the acknowledged count reaches FileSize. A count beyond what was sent ends the transfer as
// failed, one below the highest so far is ignored.
//
// Endings: the receiver went away (end of stream, a reset): the partner-stopped texts; the
// file cannot be read (missing, shorter than FileSize): the failure texts; nothing readable
// for IdleLimitMs: the connection is closed and the timeout texts are shown; Terminate() plus
// closing the connection (the owner stopping the transfer): no texts.
//
// The connection belongs to the owner. It stays open when the transfer completes, and is
// closed when it fails or times out. The end notification (OnTerminate) reports
// TransferThreadEnded().
class TFileClientThread : public TThread {
  public:
    TFileClientThread(std::shared_ptr<TTransferViewLink> link, TSynchronizer* sync,
                      TCustomWinSocket& dataSocket, std::string filePath, std::int64_t fileSize,
                      const TTransferOptions& options = {});
    // Stops a thread that still runs: Terminate(), close the connection, WaitFor().
    ~TFileClientThread() override;
    TFileClientThread(const TFileClientThread&) = delete;
    TFileClientThread& operator=(const TFileClientThread&) = delete;

    // Protects the data connection as security says (before Start()): encrypted, the thread
    // shakes hands as the client first, and refuses a partner that presents another key than
    // on the conversation.
    void SetSecurity(TDataSecurity security) { security_ = std::move(security); }

    const std::string& FilePath() const { return filePath_; }
    // Position in the file of the next byte to send.
    std::int64_t SendPos() const { return sendPos_.load(); }
    // The highest count the receiver has acknowledged.
    std::int64_t AckedCount() const { return acked_.load(); }

  protected:
    void Execute() override;

  private:
    using TOutcome = TTransferOutcome;

    TOutcome Send();
    void Report(TOutcome outcome);
    void Show(const std::function<void(ITransferView&)>& show);
    void ShowSealed(const std::function<void(ITransferView&)>& show);

    const std::shared_ptr<TTransferViewLink> link_;
    TCustomWinSocket& socket_;
    const std::string filePath_;
    const std::string name_;
    const std::int64_t fileSize_;
    const TTransferOptions options_;
    TDataSecurity security_;
    std::atomic<std::int64_t> sendPos_{0};
    std::atomic<std::int64_t> acked_{0};
};

}  // namespace vox
