#include "transfer/FileServerThread.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "net/WinSocketStream.h"
#include "platform/Clock.h"
#include "transfer/FileName.h"
#include "transfer/PartFile.h"
#include "transfer/TransferCommon.h"

namespace vox {

using namespace transfer_detail;

namespace {

// The most one read takes in: whatever has arrived, up to this much.
constexpr std::int64_t kReadBytes = std::int64_t{1} << 20;

}  // namespace

TFileServerThread::TFileServerThread(std::shared_ptr<TTransferViewLink> link, TSynchronizer* sync,
                                     std::string filePath, std::int64_t fileSize,
                                     const TTransferOptions& options)
    : TServerClientThread(sync),
      link_(std::move(link)),
      filePath_(std::move(filePath)),
      name_(FileNamePart(filePath_)),
      fileSize_(fileSize),
      options_(options) {
    OnTerminate = [link = link_] {
        link->Deliver([](ITransferView& view) { view.TransferThreadEnded(); });
    };
}

TFileServerThread::~TFileServerThread() {
    Terminate();
    CloseConnection();
    WaitFor();
}

void TFileServerThread::Show(const std::function<void(ITransferView&)>& show) {
    link_->ShowFrom(*this, show);
}

void TFileServerThread::ShowSealed(const std::function<void(ITransferView&)>& show) {
    link_->ShowSealedFrom(*this, show);
}

void TFileServerThread::ClientExecute() {
    TCustomWinSocket* socket = ClientSocket();
    TOutcome outcome = TOutcome::Interrupted;
    if (socket != nullptr && !Terminated()) {
        outcome = Receive(*socket);
    }
    Report(outcome);
    // One connection only: the thread ends after it.
    Terminate();
}

TFileServerThread::TOutcome TFileServerThread::Receive(TCustomWinSocket& socket) {
    if (!link_->Started()) {
        link_->MarkStarted(name_ + std::string(transfer_texts::kReceiveInterrupted));
    }
    Show([&](ITransferView& view) {
        view.SetProgressRange(fileSize_);
        view.SetCaption(name_ + std::string(transfer_texts::kReceiving));
    });
    recvCount_.store(0);
    if (const auto ended = StartDataTls(socket, security_, true, options_.TlsHandshakeMs)) {
        return Terminated() ? TOutcome::Interrupted : *ended;
    }
    bool completed = false;
    try {
        TWinSocketStream stream(socket, options_.SocketTimeoutMs);
        TPartFile file(filePath_);
        TProgressGate progress(options_.ProgressIntervalMs);
        const std::string savedLine = filePath_ + std::string(transfer_texts::kSaved);
        // The file takes its final name before the last acknowledgement goes out, so that a
        // sender that sees the whole count acknowledged knows the file is saved.
        auto complete = [&] {
            file.Finish();
            completed = link_->Seal(savedLine, [&] { file.Commit(); });
            return completed;
        };

        std::int64_t count = 0;
        std::uint32_t lastActivity = TimeGetTime();
        while (socket.Connected() && count < fileSize_) {
            if (Terminated()) {
                return TOutcome::Interrupted;
            }
            std::uint32_t wait = WaitSlice(options_.SocketTimeoutMs, options_.IdleLimitMs,
                                           ElapsedMs(lastActivity, TimeGetTime()));
            if (progress.HasHeld()) {
                wait = std::min(wait, progress.IntervalMs());
            }
            bool senderGone = false;
            std::int64_t held = 0;
            if (!stream.WaitForData(wait)) {
                if (progress.TakeHeld(held)) {
                    Show([held](ITransferView& view) { view.SetProgress(held); });
                }
            } else {
                // Whatever is there, but never beyond the announced size, straight into the
                // file.
                const int want =
                    static_cast<int>(std::min<std::int64_t>(kReadBytes, fileSize_ - count));
                const int n = stream.ReadToFile(file.Fd(), want);
                if (n > 0) {
                    count += n;
                    recvCount_.store(count);
                    file.Written(count);
                    if (count == fileSize_ && !complete()) {
                        return TOutcome::Interrupted;  // the window let go first
                    }
                    if (progress.Pass(count)) {
                        Show([count](ITransferView& view) { view.SetProgress(count); });
                    }
                    unsigned char ack[kAckBytes];
                    EncodeAck(count, ack);
                    if (stream.Write(ack, kAckBytes) != kAckBytes && !completed) {
                        // The sender has not taken an acknowledgement for the whole write
                        // timeout: the stream is out of step and cannot go on.
                        if (!socket.Connected() || Terminated()) {
                            return TOutcome::Interrupted;
                        }
                        socket.Close();
                        return TOutcome::Failed;
                    }
                    lastActivity = TimeGetTime();
                } else if (socket.Connected() && !Terminated()) {
                    // Readable yet nothing to read: the sender has closed the connection and
                    // nothing more can come. Waiting for the idle limit would change nothing.
                    senderGone = true;
                }
            }
            if (completed) {
                break;
            }
            if (senderGone) {
                socket.Close();
                return TOutcome::PartnerStopped;
            }
            if (ElapsedMs(lastActivity, TimeGetTime()) > options_.IdleLimitMs) {
                socket.Close();
                return TOutcome::TimedOut;
            }
        }
        if (completed) {
            return TOutcome::Completed;
        }
        if (count >= fileSize_) {  // an empty file
            return complete() ? TOutcome::Completed : TOutcome::Interrupted;
        }
        return TOutcome::Interrupted;  // closed on this side
    } catch (const ESocketError& error) {
        if (completed) {
            return TOutcome::Completed;
        }
        if (Terminated()) {
            return TOutcome::Interrupted;
        }
        return PeerWentAway(error) ? TOutcome::PartnerStopped : TOutcome::Failed;
    } catch (...) {
        if (completed) {
            return TOutcome::Completed;
        }
        return Terminated() ? TOutcome::Interrupted : TOutcome::Failed;
    }
}

void TFileServerThread::Report(TOutcome outcome) {
    switch (outcome) {
        case TOutcome::Completed: {
            const std::int64_t size = fileSize_;
            ShowSealed([&](ITransferView& view) {
                view.SetProgress(size);
                view.SetCaption(name_ + std::string(transfer_texts::kReceiveDone));
                view.AddLog(filePath_ + std::string(transfer_texts::kSaved));
            });
            break;
        }
        case TOutcome::Failed:
        case TOutcome::PartnerStopped:
        case TOutcome::TimedOut:
        case TOutcome::KeyRefused: {
            const std::string line =
                name_ + std::string(outcome == TOutcome::Failed ? transfer_texts::kReceiveFailed
                                    : outcome == TOutcome::PartnerStopped
                                        ? transfer_texts::kReceiveStoppedByPartner
                                    : outcome == TOutcome::KeyRefused
                                        ? transfer_texts::kReceiveKeyMismatch
                                        : transfer_texts::kReceiveTimedOut);
            if (link_->Seal(line)) {
                ShowSealed([&](ITransferView& view) {
                    view.SetCaption(line);
                    view.AddLog(line);
                });
            }
            break;
        }
        case TOutcome::Interrupted:
            // The window has let go and logs the interruption itself.
            break;
    }
}

}  // namespace vox
