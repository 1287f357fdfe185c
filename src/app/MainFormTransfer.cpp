// The main window's side of file transfer: the member list's pop-up item and the calls of the
// connection threads about the transfer window. The transfer window is not wired in yet: the
// pop-up item does nothing, no window is ever open, and a partner's offer is not answered.
#include "app/MainForm.h"

namespace vox {

// "ファイル転送" on the selected member.
void TMainForm::TransferClick() {}

// A connection ended: a transfer window working with it must forget it.
void TMainForm::TransferConnectionEnded(TConversation* /*connection*/) {}

bool TMainForm::TransferWindowOpen() {
    return false;
}

void TMainForm::OpenReceiveWindow(const TTransferOffer& /*offer*/) {}

void TMainForm::TransferAccepted(TConversation* /*connection*/) {}

void TMainForm::TransferRefused(TConversation* /*connection*/) {}

}  // namespace vox
