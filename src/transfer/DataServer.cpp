#include "transfer/DataServer.h"

#include <stdexcept>
#include <utility>

#include "transfer/FileName.h"
#include "transfer/FileServerThread.h"

namespace vox {

TTransferDataServer::TTransferDataServer(ITransferView& view, TSynchronizer* sync, TTransferJob job)
    : job_(std::move(job)),
      sync_(sync),
      link_(std::make_shared<TTransferViewLink>(view)),
      listener_(sync) {
    listener_.SetPort(job_.Port);
    listener_.OnAccept = [this](TServerSocket&, TCustomWinSocket& socket) {
        // Only the partner may deliver the file.
        if (socket.RemoteAddress() != job_.PartnerAddress) {
            socket.Close();
        }
    };
    listener_.OnGetThread = [this](TServerSocket&, TCustomWinSocket& socket) {
        return MakeThread(socket);
    };
}

TTransferDataServer::~TTransferDataServer() {
    Shutdown(nullptr);
}

std::unique_ptr<TServerClientThread> TTransferDataServer::MakeThread(TCustomWinSocket& socket) {
    if (!socket.Connected() || link_->Detached() || started_.exchange(true)) {
        socket.Close();
        return nullptr;  // the connection is freed unserved
    }
    link_->MarkStarted(FileNamePart(job_.FilePath) +
                       std::string(transfer_texts::kReceiveInterrupted));
    auto thread = std::make_unique<TFileServerThread>(link_, sync_, job_.FilePath, job_.FileSize,
                                                      job_.Options);
    thread->SetSecurity(job_.Security);
    thread->SetPriority(TThreadPriority::tpLowest);
    return thread;
}

void TTransferDataServer::Open() {
    listener_.Open();
}

void TTransferDataServer::Close() {
    if (link_->DeliveringOnThisThread()) {
        throw std::logic_error("a transfer cannot be stopped from inside one of its reports");
    }
    Shutdown(&link_->View());
}

void TTransferDataServer::Shutdown(ITransferView* view) {
    const std::string line = link_->Detach();
    if (view != nullptr && !line.empty()) {
        view->AddLog(line);
    }
    listener_.Close();
}

}  // namespace vox
