// The one transfer window of the program, held in one place for the main window: at most one
// exists at a time, in either mode. The main window hands it the member list's "ファイル転送"
// and the connection threads' transfer calls (IConversationUi), all on the user-interface
// thread.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

#include "protocol/ConversationUi.h"
#include "ui/TransForm.h"

class QWidget;

namespace vox {

class TConversation;

class TTransferWindows : public QObject {
  public:
    // owner: the window the transfer window belongs to (the main window). transferPort gives
    // the own TransferPort setting as it is when a sending window opens.
    TTransferWindows(QWidget* owner, TTransFormEnv env, std::function<int()> transferPort);
    // Closes the open window (stopping its transfer) and releases it.
    ~TTransferWindows() override;

    TTransferWindows(const TTransferWindows&) = delete;
    TTransferWindows& operator=(const TTransferWindows&) = delete;

    // The open window, or nullptr.
    TTransForm* TransForm() const { return FTransForm.data(); }

    // IConversationUi::TransferWindowOpen: a partner's offer is answered busy while true.
    bool TransferWindowOpen() const { return !FTransForm.isNull(); }
    // The member list's "ファイル転送" on a member: a sending window to that member's
    // connection. An open window (in either mode) is only brought to the front.
    void OpenSendWindow(const QString& memberName, TConversation* connection);
    // IConversationUi::OpenReceiveWindow: a receiving window for a partner's offer; nothing
    // when a window is open (the connection has answered busy).
    void OpenReceiveWindow(const TTransferOffer& offer);
    // IConversationUi::TransferAccepted: the window's partner accepted; the file goes. A
    // reply from any other connection is left alone (the connection has logged its text).
    void TransferAccepted(TConversation* connection);
    // IConversationUi::TransferRefused: the window's partner refused; the window closes. Same
    // partner rule.
    void TransferRefused(TConversation* connection);
    // IConversationUi::ConnectionEnded: the open window stops using that connection.
    void ConnectionEnded(TConversation* connection);
    // Closes the open window, stopping its transfer (main window closing, say).
    void CloseWindow();

  private:
    void Adopt(TTransForm* form);
    bool IsPartner(TConversation* connection) const;

    QWidget* const FOwner;
    const TTransFormEnv FEnv;
    const std::function<int()> FTransferPort;
    // The one open transfer window; empty once it has closed.
    QPointer<TTransForm> FTransForm;
};

}  // namespace vox
