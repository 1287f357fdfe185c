// The one way by which a transfer thread reaches its window, and by which the window lets go.
//
// A thread hands each report to Deliver() on the user-interface thread. When the window stops
// the transfer it calls Detach() first: from then on reports are dropped, so the thread may
// finish its work (and the listener or connector may wait for it) without touching a window
// that is going away.
//
// The thread settles its result with Seal() before it reports it. Sealing and detaching
// exclude each other, so a transfer is either stopped before its result was settled (it was
// interrupted) or settled before it was stopped, never both.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "platform/Thread.h"
#include "transfer/TransferView.h"

namespace vox {

class TTransferViewLink {
  public:
    explicit TTransferViewLink(ITransferView& view) : view_(view) {}
    ~TTransferViewLink() = default;

    TTransferViewLink(const TTransferViewLink&) = delete;
    TTransferViewLink& operator=(const TTransferViewLink&) = delete;

    // A transfer thread now serves this transfer; interruptedLine is what Detach() returns
    // while its result is not settled.
    void MarkStarted(std::string interruptedLine);
    bool Started() const;

    ITransferView& View() const { return view_; }

    // Runs show(view) unless detached. Call it on the user-interface thread (from a call the
    // thread synchronised).
    void Deliver(const std::function<void(ITransferView&)>& show);

    // Settles the result of the transfer: commit (may be empty) runs first and, when it
    // returns, logLine becomes the line the window is owed. Returns false, running nothing,
    // when the window has already let go. An exception from commit propagates and settles
    // nothing.
    bool Seal(const std::string& logLine, const std::function<void()>& commit = {});
    // Delivers the report of the sealed result; once it has run, Detach() owes nothing.
    void DeliverSealed(const std::function<void(ITransferView&)>& show);

    // From a transfer thread: Deliver() / DeliverSealed() on the user-interface thread through
    // the thread's synchronizer, waiting for it. A window that fails to show a report does
    // not stop the transfer.
    void ShowFrom(TThread& thread, const std::function<void(ITransferView&)>& show);
    void ShowSealedFrom(TThread& thread, const std::function<void(ITransferView&)>& show);

    // The window lets go. Returns the line the log still needs: the interrupted line when a
    // thread was started and its result is not settled, the settled line when it was settled
    // but not yet shown, otherwise nothing. After this, no call reaches the view.
    std::string Detach();
    bool Detached() const;

    // True on a thread that is inside Deliver() of this link: the window must not stop the
    // transfer from within one of its reports (the thread waits for that report to return).
    bool DeliveringOnThisThread() const;

  private:
    ITransferView& view_;
    mutable std::mutex mutex_;
    bool started_ = false;
    bool sealed_ = false;
    bool reported_ = false;
    bool detached_ = false;
    std::string interruptedLine_;
    std::string sealedLine_;
};

}  // namespace vox
