#include "transfer/FileClientThread.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "net/WinSocketStream.h"
#include "platform/Clock.h"
#include "transfer/FileName.h"
#include "transfer/TransferCommon.h"

namespace vox {

using namespace transfer_detail;

namespace {

// The most one write carries: the acknowledgements are read between writes, so that a receiver
// that acknowledges every small read never fills this end's receive buffer while a write waits.
constexpr std::int64_t kWriteBytes = std::int64_t{256} * 1024;
// Room for the acknowledgements one read takes in.
constexpr int kAckBufferBytes = 4096 * kAckBytes;

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A file opened for reading, closed with the object.
class TInputFile {
  public:
    explicit TInputFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "open");
        }
    }
    ~TInputFile() { ::close(fd_); }
    TInputFile(const TInputFile&) = delete;
    TInputFile& operator=(const TInputFile&) = delete;

    int Fd() const { return fd_; }

  private:
    int fd_;
};

// The receiver acknowledged bytes that were never sent.
class EBadAcknowledgement : public std::exception {};

}  // namespace

TFileClientThread::TFileClientThread(std::shared_ptr<TTransferViewLink> link, TSynchronizer* sync,
                                     TCustomWinSocket& dataSocket, std::string filePath,
                                     std::int64_t fileSize, const TTransferOptions& options)
    : TThread(sync),
      link_(std::move(link)),
      socket_(dataSocket),
      filePath_(std::move(filePath)),
      name_(FileNamePart(filePath_)),
      fileSize_(fileSize),
      options_(options) {
    OnTerminate = [link = link_] {
        link->Deliver([](ITransferView& view) { view.TransferThreadEnded(); });
    };
}

TFileClientThread::~TFileClientThread() {
    Terminate();
    socket_.Close();
    WaitFor();
}

void TFileClientThread::Show(const std::function<void(ITransferView&)>& show) {
    link_->ShowFrom(*this, show);
}

void TFileClientThread::ShowSealed(const std::function<void(ITransferView&)>& show) {
    link_->ShowSealedFrom(*this, show);
}

void TFileClientThread::Execute() {
    if (!link_->Started()) {
        link_->MarkStarted(name_ + std::string(transfer_texts::kSendInterrupted));
    }
    const TOutcome outcome = Terminated() ? TOutcome::Interrupted : Send();
    if (outcome == TOutcome::Failed || outcome == TOutcome::PartnerStopped) {
        // Nothing more can go right on this connection; the receiver learns at once that
        // the file will not come, instead of at its idle limit.
        socket_.Close();
    }
    Report(outcome);
}

TFileClientThread::TOutcome TFileClientThread::Send() {
    Show([&](ITransferView& view) {
        view.SetProgressRange(fileSize_);
        view.SetCaption(name_ + std::string(transfer_texts::kSending));
    });
    // The connection closed: by the owner stopping the transfer, or by the receiver.
    auto broken = [this] {
        return Terminated() ? TOutcome::Interrupted : TOutcome::PartnerStopped;
    };
    if (const auto ended = StartDataTls(socket_, security_, false, options_.TlsHandshakeMs)) {
        return Terminated() ? TOutcome::Interrupted : *ended;
    }
    try {
        TWinSocketStream stream(socket_, options_.SocketTimeoutMs);
        TInputFile file(filePath_);
        TProgressGate progress(options_.ProgressIntervalMs);
        // A window of one piece or less is the stop-and-wait sender: one piece per write, and
        // the window stays as it is.
        const bool stopAndWait = options_.SendWindowBytes <= kTransferPieceBytes;
        TSendWindow window(options_.SendWindowBytes, stopAndWait ? 0 : options_.MaxSendWindowBytes);
        const std::int64_t writeLimit = stopAndWait ? kTransferPieceBytes : kWriteBytes;

        std::int64_t sendPos = 0;
        std::int64_t acked = 0;
        std::vector<unsigned char> acks(kAckBufferBytes);
        int ackFill = 0;
        std::uint32_t lastActivity = TimeGetTime();

        for (;;) {
            if (Terminated()) {
                return TOutcome::Interrupted;
            }
            if (acked == fileSize_) {
                return TOutcome::Completed;
            }
            // As much as the window allows, in one write of up to writeLimit bytes.
            const std::int64_t room = window.Bytes() - (sendPos - acked);
            if (sendPos < fileSize_ && room > 0) {
                const int piece =
                    static_cast<int>(std::min({room, writeLimit, fileSize_ - sendPos}));
                // Straight from the file to the connection, without a copy through here.
                const int written = stream.WriteFromFile(file.Fd(), sendPos, piece);
                // A write cut short by the timeout leaves the rest for the next round: the
                // position only ever moves by what actually went out.
                sendPos += written;
                sendPos_.store(sendPos);
                window.Sent(sendPos, NowUs());
                if (written < piece && !socket_.Connected()) {
                    return broken();
                }
            }
            // Acknowledgements: take what has arrived; wait only when nothing may be sent.
            const bool maysend = sendPos < fileSize_ && sendPos - acked < window.Bytes();
            std::uint32_t wait = maysend ? 0
                                         : WaitSlice(options_.SocketTimeoutMs, options_.IdleLimitMs,
                                                     ElapsedMs(lastActivity, TimeGetTime()));
            if (progress.HasHeld()) {
                wait = std::min(wait, progress.IntervalMs());
            }
            std::int64_t held = 0;
            if (progress.TakeHeld(held) && held < fileSize_) {
                Show([held](ITransferView& view) { view.SetProgress(held); });
            }
            if (stream.WaitForData(wait)) {
                const int n = stream.Read(acks.data() + ackFill, kAckBufferBytes - ackFill);
                if (n == 0) {
                    // Closed on this side, or the receiver closed before the whole count.
                    return broken();
                }
                ackFill += n;
                lastActivity = TimeGetTime();
                int used = 0;
                for (; ackFill - used >= kAckBytes; used += kAckBytes) {
                    const std::int64_t count = DecodeAck(acks.data() + used);
                    if (count > sendPos) {
                        throw EBadAcknowledgement();
                    }
                    acked = std::max(acked, count);
                }
                std::memmove(acks.data(), acks.data() + used,
                             static_cast<std::size_t>(ackFill - used));
                ackFill -= used;
                acked_.store(acked);
                window.Acked(acked, NowUs());
                if (progress.Pass(acked) && acked < fileSize_) {
                    Show([acked](ITransferView& view) { view.SetProgress(acked); });
                }
            } else if (!socket_.Connected()) {
                return broken();
            }
            if (ElapsedMs(lastActivity, TimeGetTime()) > options_.IdleLimitMs) {
                socket_.Close();
                return TOutcome::TimedOut;
            }
        }
    } catch (const EBadAcknowledgement&) {
        return Terminated() ? TOutcome::Interrupted : TOutcome::Failed;
    } catch (const ESocketError& error) {
        if (Terminated()) {
            return TOutcome::Interrupted;
        }
        return PeerWentAway(error) ? TOutcome::PartnerStopped : TOutcome::Failed;
    } catch (...) {
        return Terminated() ? TOutcome::Interrupted : TOutcome::Failed;
    }
}

void TFileClientThread::Report(TOutcome outcome) {
    std::string caption;
    std::string line;
    switch (outcome) {
        case TOutcome::Completed:
            caption = name_ + std::string(transfer_texts::kSendDone);
            line = filePath_ + std::string(transfer_texts::kSendDone);
            break;
        case TOutcome::Failed:
            caption = line = name_ + std::string(transfer_texts::kSendFailed);
            break;
        case TOutcome::TimedOut:
            caption = line = name_ + std::string(transfer_texts::kSendTimedOut);
            break;
        case TOutcome::PartnerStopped:
            caption = line = name_ + std::string(transfer_texts::kSendStoppedByPartner);
            break;
        case TOutcome::KeyRefused:
            caption = line = name_ + std::string(transfer_texts::kSendKeyMismatch);
            break;
        case TOutcome::Interrupted:
            return;  // the window has let go and logs the interruption itself
    }
    if (!link_->Seal(line)) {
        return;
    }
    const bool completed = outcome == TOutcome::Completed;
    const std::int64_t size = fileSize_;
    ShowSealed([&](ITransferView& view) {
        if (completed) {
            view.SetProgress(size);
        }
        view.SetCaption(caption);
        view.AddLog(line);
    });
}

}  // namespace vox
