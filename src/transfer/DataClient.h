// The sending end's data connection (the transfer window's DataClient).
#pragma once

#include <memory>
#include <string>

#include "net/ClientSocket.h"
#include "transfer/TransferView.h"
#include "transfer/TransferViewLink.h"

namespace vox {

class TFileClientThread;
class TSynchronizer;

// Connects to the partner's data port and sends job.FilePath with a TFileClientThread (lowest
// priority). The view is reached only through synchronised calls onto sync's main thread (the
// user-interface thread), and never after Stop(). Create, open and stop the object on that
// thread.
class TTransferDataClient {
  public:
    TTransferDataClient(ITransferView& view, TSynchronizer* sync, TTransferJob job);
    // Stops like Stop() but without reporting anything to the view (it may be gone). Like
    // Stop(), never from inside one of the view's calls.
    ~TTransferDataClient();

    TTransferDataClient(const TTransferDataClient&) = delete;
    TTransferDataClient& operator=(const TTransferDataClient&) = delete;

    // Connects to job.PartnerAddress:job.Port on the calling thread, waiting at most
    // job.Options.ConnectTimeoutMs, and starts the sending thread. Raises ESocketError when
    // the connection cannot be made (nothing is started then). Does nothing when already open.
    void Open();
    // Stops the transfer: no report reaches the view from now on; when the thread still runs,
    // logs "<name> の送信を中断しました。" through the view (or the transfer's result, when it
    // was settled but not yet shown), closes the data connection and waits until the thread
    // has ended (running the synchronised calls meanwhile). Call it on the user-interface
    // thread while the view still exists, not from inside one of the view's calls
    // (std::logic_error).
    void Stop();

    // True while the sending thread has not ended.
    bool Running() const;
    const TTransferJob& Job() const { return job_; }
    // The highest count the receiver has acknowledged so far.
    std::int64_t AckedCount() const;

    TClientSocket& Connector() { return connector_; }

  private:
    void Shutdown(ITransferView* view);

    const TTransferJob job_;
    TSynchronizer* const sync_;
    const std::shared_ptr<TTransferViewLink> link_;
    TClientSocket connector_;
    // Declared last: stopped before the connection goes.
    std::unique_ptr<TFileClientThread> thread_;
};

}  // namespace vox
