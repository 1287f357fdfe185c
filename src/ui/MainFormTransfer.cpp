// The main window's side of file transfer: the member list's pop-up item and the calls of the
// connection threads about the transfer window, all handed to the one place that holds it.
#include <QApplication>
#include <QListWidget>

#include "platform/Cp932.h"
#include "ui/DesktopNotices.h"
#include "ui/MainForm.h"
#include "ui/TransferWindows.h"

namespace vox {

void TMainForm::CreateTransferWindows() {
    TTransFormEnv env;
    env.Sync = &FSession->Sync();
    env.IniFileName = FIniFileName;
    env.RecvFolder = FRecvFolder;
    env.AddLog = [this](const QString& line) { Log(line); };
    env.ErrorBox = [this](const QString& text) { ShowError(text); };
    FTransfers = std::make_unique<TTransferWindows>(this, std::move(env),
                                                    [this] { return FSettings.TransferPort; });
}

// "ファイル転送" on the selected member.
void TMainForm::TransferClick() {
    QListWidgetItem* item = ListBox1->currentItem();
    if (FTransfers == nullptr || item == nullptr) {
        return;
    }
    auto* connection = reinterpret_cast<TConversation*>(item->data(Qt::UserRole).value<quintptr>());
    FTransfers->OpenSendWindow(item->text(), connection);
}

// A connection ended: a transfer window working with it must forget it.
void TMainForm::TransferConnectionEnded(TConversation* connection) {
    if (FTransfers) {
        FTransfers->ConnectionEnded(connection);
    }
}

bool TMainForm::TransferWindowOpen() {
    return FTransfers && FTransfers->TransferWindowOpen();
}

void TMainForm::OpenReceiveWindow(const TTransferOffer& offer) {
    if (OutOfSight()) {
        if (FSettings.DesktopNotices) {
            FNotices->FileOffer(QString::fromStdString(Cp932ToUtf8(offer.PartnerName)),
                                QString::fromStdString(Cp932ToUtf8(offer.FileName)),
                                offer.FileSize);
        }
        QApplication::alert(this);
    }
    if (FTransfers) {
        FTransfers->OpenReceiveWindow(offer);
    }
}

void TMainForm::TransferAccepted(TConversation* connection) {
    if (FTransfers) {
        FTransfers->TransferAccepted(connection);
    }
}

void TMainForm::TransferRefused(TConversation* connection) {
    if (FTransfers) {
        FTransfers->TransferRefused(connection);
    }
}

}  // namespace vox
