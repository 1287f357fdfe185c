// The sending end of a file transfer reading its receiver's acknowledgements. The whole file
// goes out at once (the window is as large as the file); then the input arrives as the
// receiver's byte stream: 8-byte counts that may be split, go backwards, pass the size, or
// stop halfway. Whatever they say, the sending end sends each byte of the file once, in
// order and nothing beyond it, shows completion only after an acknowledgement of the whole
// size, and its thread ends.
//
// Input: two bytes choose the file's size (0 to 4096), the rest is the receiver's stream.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/LoopbackFuzz.h"
#include "platform/Synchronizer.h"
#include "transfer/DataClient.h"
#include "transfer/TransferView.h"

using namespace vox;

namespace {

constexpr std::size_t kFileBytes = 4096;

class TCountingView : public ITransferView {
  public:
    bool Completed = false;
    int Ended = 0;
    void SetCaption(const std::string& text) override {
        if (text.find(transfer_texts::kSendDone) != std::string::npos) {
            Completed = true;
        }
    }
    void SetProgressRange(std::int64_t) override {}
    void SetProgress(std::int64_t) override {}
    void AddLog(const std::string&) override {}
    void TransferThreadEnded() override { ++Ended; }
};

struct TWorld {
    TSynchronizer Sync;
    fuzz::TUiWaiter Waiter{Sync};
    fuzz::TLoopbackListener Listener;
    std::string Path;
    std::vector<std::uint8_t> Content;

    TWorld() {
        char dir[] = "/tmp/vox-fuzz-ack.XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            fuzz::Fail("no scratch folder");
        }
        Path = std::string(dir) + "/send.bin";
        Content.resize(kFileBytes);
        for (std::size_t i = 0; i < kFileBytes; ++i) {
            Content[i] = static_cast<std::uint8_t>(i * 131 + i / 256);
        }
        std::ofstream out(Path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(Content.data()),
                  static_cast<std::streamsize>(Content.size()));
    }
};

// Reads until count bytes came, the other end closed, or nothing is waiting once done()
// holds; pumps the UI calls meanwhile.
std::vector<std::uint8_t> ReadUpTo(
    fuzz::TUiWaiter& waiter, int fd, std::size_t count,
    const std::function<bool()>& done = [] { return false; }) {
    std::vector<std::uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.size() < count) {
        std::uint8_t buf[4096];
        const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) || done()) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            fuzz::Fail("the sending end neither sent nor ended");
        }
        waiter.Wait(fd, POLLIN, 5);
    }
    return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return -1;
    }
    static TWorld* world = new TWorld();  // never freed: kept for the whole run
    const auto fileSize = static_cast<std::int64_t>((data[0] | (data[1] << 8)) % (kFileBytes + 1));
    const std::uint8_t* acks = data + 2;
    const std::size_t ackBytes = size - 2;

    TTransferOptions options;
    options.SocketTimeoutMs = 100;
    options.IdleLimitMs = 300;
    options.ConnectTimeoutMs = 2000;
    options.ProgressIntervalMs = 0;
    options.SendWindowBytes = static_cast<std::int64_t>(kFileBytes);
    TCountingView view;
    std::vector<std::uint8_t> received;
    {
        TTransferDataClient client(
            view, &world->Sync,
            TTransferJob{"127.0.0.1", world->Listener.Port(), world->Path, fileSize, options});
        client.Open();
        const int fd = world->Listener.Accept(world->Waiter);
        // The whole file first (the window allows it), then the acknowledgements.
        received = ReadUpTo(world->Waiter, fd, static_cast<std::size_t>(fileSize));
        std::size_t sent = 0;
        while (sent < ackBytes) {
            const ssize_t n = ::send(fd, acks + sent, ackBytes - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                break;  // the sending end gave up and closed
            }
            sent += static_cast<std::size_t>(n);
        }
        ::shutdown(fd, SHUT_WR);
        // The sending thread ends; a completed transfer leaves the connection open.
        const std::vector<std::uint8_t> more =
            ReadUpTo(world->Waiter, fd, kFileBytes + 1, [&] { return view.Ended > 0; });
        received.insert(received.end(), more.begin(), more.end());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (view.Ended == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                fuzz::Fail("the sending thread did not end");
            }
            world->Waiter.Wait(-1, 0, 1);
        }
        fuzz::CloseAbortively(fd);
    }

    if (received.size() != static_cast<std::size_t>(fileSize) ||
        !std::equal(received.begin(), received.end(), world->Content.begin())) {
        fuzz::Fail("the receiver did not get the file's bytes once each, in order");
    }
    if (view.Completed) {
        // Completion needs an acknowledgement of the whole size before any count beyond it.
        bool seen = fileSize == 0;
        for (std::size_t at = 0; !seen && at + 8 <= ackBytes; at += 8) {
            std::uint64_t v = 0;
            for (int i = 7; i >= 0; --i) {
                v = (v << 8) | acks[at + static_cast<std::size_t>(i)];
            }
            const auto count = static_cast<std::int64_t>(v);
            if (count > fileSize) {
                break;
            }
            seen = count == fileSize;
        }
        if (!seen) {
            fuzz::Fail("completion shown without an acknowledgement of the whole file");
        }
    }
    return 0;
}
