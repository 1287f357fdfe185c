// The receiving end's data listener, which a receiving transfer window (TTransForm) opens and
// owns.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "net/ServerSocket.h"
#include "transfer/TransferView.h"
#include "transfer/TransferViewLink.h"

namespace vox {

class TSynchronizer;

// Listens on the data port on every local address and serves the partner's first connection
// with a TFileServerThread (lowest priority) that saves the file at job.FilePath. A connection
// from any other address is closed at once and nothing is shown; the listener goes on waiting
// for the partner. Later connections, once a transfer has started, are closed likewise: one
// listener serves one transfer.
//
// The view is reached only through synchronised calls onto sync's main thread (the
// user-interface thread), and never after Close(). Create, open and close the object on that
// thread.
class TTransferDataServer {
  public:
    TTransferDataServer(ITransferView& view, TSynchronizer* sync, TTransferJob job);
    // Closes like Close() but without reporting anything to the view (it may be gone). Like
    // Close(), never from inside one of the view's calls.
    ~TTransferDataServer();

    TTransferDataServer(const TTransferDataServer&) = delete;
    TTransferDataServer& operator=(const TTransferDataServer&) = delete;

    // Opens the listener on job.Port. Raises ESocketError (the port is in use, say).
    void Open();
    // Stops everything: no report reaches the view from now on; when a transfer is running,
    // logs "<name> の受信を中断しました。" through the view (or the transfer's result, when it
    // was settled but not yet shown), closes its connection, waits until its thread has ended
    // (running the synchronised calls meanwhile) and frees it, and closes the listener. The
    // unfinished file is removed; an earlier file of the same name is left as it was. Call it
    // on the user-interface thread while the view still exists, not from inside one of the
    // view's calls (std::logic_error).
    void Close();

    bool Active() const { return listener_.Active(); }
    // The port listened on (the one bound when job.Port is 0); 0 when closed.
    int LocalPort() const { return listener_.LocalPort(); }
    // True once the partner has connected and a receiving thread was started.
    bool TransferStarted() const { return started_.load(); }
    const TTransferJob& Job() const { return job_; }

    // The listener itself (ThreadCacheSize keeps its default of 10).
    TServerSocket& Listener() { return listener_; }

  private:
    void Shutdown(ITransferView* view);
    std::unique_ptr<TServerClientThread> MakeThread(TCustomWinSocket& socket);

    const TTransferJob job_;
    TSynchronizer* const sync_;
    const std::shared_ptr<TTransferViewLink> link_;
    std::atomic<bool> started_{false};
    // Declared last: closed (its threads stopped) before the rest goes.
    TServerSocket listener_;
};

}  // namespace vox
