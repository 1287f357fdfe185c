// The receiving end of a transfer: serves the one data connection from the partner, writes
// the file and acknowledges every read with the running count of bytes received.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "net/ServerSocket.h"
#include "transfer/TransferCommon.h"
#include "transfer/TransferView.h"
#include "transfer/TransferViewLink.h"

namespace vox {

// Byte stream from the sender: the file's bytes and nothing else. Stream back: after every
// read that returned data, 8 bytes holding the running count as a signed 64-bit
// little-endian integer. A read takes whatever has arrived, up to 1 MiB and never more than
// the announced size leaves. A sender that closes or resets the connection before the whole
// file has come has stopped the transfer: the partner-stopped texts, not a timeout.
//
// The file grows under a temporary name beside FilePath and takes its name when the announced
// size has arrived, before the last acknowledgement goes out; a transfer that does not
// complete removes it. The thread serves one connection and ends (it terminates itself); its
// listener frees it. Its end notification (OnTerminate) reports TransferThreadEnded().
class TFileServerThread : public TServerClientThread {
  public:
    TFileServerThread(std::shared_ptr<TTransferViewLink> link, TSynchronizer* sync,
                      std::string filePath, std::int64_t fileSize,
                      const TTransferOptions& options = {});
    ~TFileServerThread() override;
    TFileServerThread(const TFileServerThread&) = delete;
    TFileServerThread& operator=(const TFileServerThread&) = delete;

    // Protects the data connection as security says (before the listener starts the thread):
    // encrypted, the thread shakes hands as the server first, and refuses a partner that
    // presents another key than on the conversation.
    void SetSecurity(TDataSecurity security) { security_ = std::move(security); }

    const std::string& FilePath() const { return filePath_; }
    std::int64_t FileSize() const { return fileSize_; }
    // Bytes received and written so far (the value acknowledged).
    std::int64_t RecvCount() const { return recvCount_.load(); }

  protected:
    void ClientExecute() override;

  private:
    using TOutcome = TTransferOutcome;

    TOutcome Receive(TCustomWinSocket& socket);
    void Report(TOutcome outcome);
    void Show(const std::function<void(ITransferView&)>& show);
    void ShowSealed(const std::function<void(ITransferView&)>& show);

    const std::shared_ptr<TTransferViewLink> link_;
    const std::string filePath_;
    const std::string name_;
    const std::int64_t fileSize_;
    const TTransferOptions options_;
    TDataSecurity security_;
    std::atomic<std::int64_t> recvCount_{0};
};

}  // namespace vox
