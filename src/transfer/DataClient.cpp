#include "transfer/DataClient.h"

#include <stdexcept>
#include <utility>

#include "transfer/FileClientThread.h"
#include "transfer/FileName.h"

namespace vox {

TTransferDataClient::TTransferDataClient(ITransferView& view, TSynchronizer* sync, TTransferJob job)
    : job_(std::move(job)),
      sync_(sync),
      link_(std::make_shared<TTransferViewLink>(view)),
      connector_(job_.Options.ConnectTimeoutMs) {
    connector_.SetAddress(job_.PartnerAddress);
    connector_.SetPort(job_.Port);
}

TTransferDataClient::~TTransferDataClient() {
    Shutdown(nullptr);
}

void TTransferDataClient::Open() {
    if (thread_ || link_->Detached()) {
        return;
    }
    connector_.Open();
    link_->MarkStarted(FileNamePart(job_.FilePath) + std::string(transfer_texts::kSendInterrupted));
    thread_ = std::make_unique<TFileClientThread>(link_, sync_, connector_.Socket(), job_.FilePath,
                                                  job_.FileSize, job_.Options);
    thread_->SetSecurity(job_.Security);
    thread_->SetPriority(TThreadPriority::tpLowest);
    thread_->Start();
}

void TTransferDataClient::Stop() {
    if (link_->DeliveringOnThisThread()) {
        throw std::logic_error("a transfer cannot be stopped from inside one of its reports");
    }
    Shutdown(&link_->View());
}

void TTransferDataClient::Shutdown(ITransferView* view) {
    const std::string line = link_->Detach();
    if (view != nullptr && !line.empty()) {
        view->AddLog(line);
    }
    if (thread_) {
        thread_->Terminate();
        connector_.Close();
        thread_->WaitFor();
    }
    connector_.Close();
}

bool TTransferDataClient::Running() const {
    return thread_ && !thread_->Finished();
}

std::int64_t TTransferDataClient::AckedCount() const {
    return thread_ ? thread_->AckedCount() : 0;
}

}  // namespace vox
