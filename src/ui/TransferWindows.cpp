#include "ui/TransferWindows.h"

#include <utility>

#include "settings/Settings.h"

namespace vox {

TTransferWindows::TTransferWindows(QWidget* owner, TTransFormEnv env,
                                   std::function<int()> transferPort)
    : FOwner(owner), FEnv(std::move(env)), FTransferPort(std::move(transferPort)) {}

TTransferWindows::~TTransferWindows() {
    CloseWindow();
}

void TTransferWindows::Adopt(TTransForm* form) {
    FTransForm = form;
    connect(form, &TTransForm::Closed, this, [this, form] {
        if (FTransForm == form) {
            FTransForm.clear();
        }
    });
    form->show();
    form->activateWindow();
}

bool TTransferWindows::IsPartner(TConversation* connection) const {
    return FTransForm && connection != nullptr && FTransForm->PartnerThread() == connection;
}

void TTransferWindows::OpenSendWindow(const QString& memberName, TConversation* connection) {
    if (FTransForm) {
        // One transfer at a time: the open window keeps its partner.
        FTransForm->show();
        FTransForm->raise();
        FTransForm->activateWindow();
        return;
    }
    if (connection == nullptr) {
        return;
    }
    const int port = FTransferPort ? FTransferPort() : kDefaultTransferPort;
    Adopt(TTransForm::CreateSending(FOwner, FEnv, memberName, connection, port));
}

void TTransferWindows::OpenReceiveWindow(const TTransferOffer& offer) {
    if (FTransForm || offer.Connection == nullptr) {
        return;
    }
    Adopt(TTransForm::CreateReceiving(FOwner, FEnv, offer));
}

void TTransferWindows::TransferAccepted(TConversation* connection) {
    if (IsPartner(connection)) {
        FTransForm->ConnectToReceiver();
    }
}

void TTransferWindows::TransferRefused(TConversation* connection) {
    if (IsPartner(connection)) {
        FTransForm->close();
    }
}

void TTransferWindows::ConnectionEnded(TConversation* connection) {
    if (IsPartner(connection)) {
        FTransForm->ForgetPartner();
    }
}

void TTransferWindows::CloseWindow() {
    const QPointer<TTransForm> form = FTransForm;
    if (!form) {
        return;
    }
    form->close();
    // Released at once when no handler of it runs; otherwise its last handler releases it.
    if (form && form->Releasable()) {
        delete form.data();
    }
}

}  // namespace vox
