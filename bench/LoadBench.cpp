// Load test of one copy's conversation core: 100 partners connected over loopback, 20 of them
// talking at once in real time for 60 s (by default). The copy is the program without its
// window: the listener and connection threads, a decode thread per partner, the mixer and the
// playback thread playing to a device clocked in real time. The partners run in a child
// process, so the copy's figures are its own.
//
// Reports the copy's CPU time (from /proc), its peak resident memory, and each talking
// partner's playback backlog (what waits in the mixer for that partner, sampled every 20 ms):
// the worst, the mean and the 95th and 99th percentiles of its samples. The run fails when a
// talking partner's 95th percentile is more than two blocks (8820 bytes, 0.8 s): that partner
// is heard a block later than normal for more than a twentieth of the time. A moment's stall
// of a loaded machine (two blocks arriving together) is no failure; a copy that cannot keep up
// fills the mixer to its 1.2 s limit and fails.
//
// Usage: bench_load [SECONDS [PARTNERS [TALKERS]]]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/Synchronizer.h"
#include "protocol/ConnectionCore.h"
#include "session/Session.h"
#include "support/FileAudioDevice.h"
#include "voice/BlockCompression.h"
#include "voice/Sound.h"
#include "voice/VoiceThreads.h"
#include "wire/Packet.h"

using namespace vox;
using Clock = std::chrono::steady_clock;

namespace {

// The copy's window: every call is accepted, nothing is shown.
class TQuietUi : public IConversationUi {
  public:
    int Members = 0;
    void AddLog(const std::string&) override {}
    void ShowChatLine(const std::string&, const std::string&) override {}
    void AddMember(const std::string&, TConversation*) override { ++Members; }
    void ConnectionEnded(TConversation*) override { --Members; }
    int AskAcceptance(const TIncomingCall&) override { return cdAccepted; }
    void FetchPassPhraseSetting(bool& use, std::string& pass) override {
        use = false;
        pass.clear();
    }
    bool TransferWindowOpen() override { return false; }
    void OpenReceiveWindow(const TTransferOffer&) override {}
    void TransferAccepted(TConversation*) override {}
    void TransferRefused(TConversation*) override {}
    void Beep() override {}
};

double CpuSeconds() {
    std::ifstream stat("/proc/self/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const char* p = std::strrchr(all.c_str(), ')');
    long utime = 0;
    long stime = 0;
    // Fields 14 and 15 (user and system time in clock ticks), counting from the one after
    // the command's closing parenthesis as field 3.
    int field = 2;
    for (const char* q = p; q != nullptr && *q != '\0'; ++q) {
        if (*q == ' ') {
            ++field;
            if (field == 14) {
                utime = std::atol(q + 1);
            } else if (field == 15) {
                stime = std::atol(q + 1);
                break;
            }
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long StatusKb(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(name) + 1);
        }
    }
    return -1;
}

// --- The partners (child process) ---------------------------------------------------------

int ConnectFrom(int port, int index) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(0x7F0A0000u + static_cast<std::uint32_t>(index));  // 127.10.x.y
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("connect");
        std::_Exit(2);
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

void SendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Connects every partner, then the talkers send one block of 0.4 s every 0.4 s each (their
// starts spread over the first block), for the given time; everything the copy sends is read
// and dropped. Waits for a byte on `go` before calling (the copy listens) and another before
// talking (the copy has accepted every call).
[[noreturn]] void RunPartners(int partners, int talkers, double seconds, int go) {
    char byte = 0;
    std::uint16_t port = 0;
    if (::read(go, &port, sizeof port) != sizeof port) {
        std::_Exit(3);
    }
    std::vector<int> fds;
    for (int i = 0; i < partners; ++i) {
        fds.push_back(ConnectFrom(port, 1 + i));
        const std::string name = "p" + std::to_string(i);
        const Packet connect = BuildConnect(name, "", "");
        SendAll(fds.back(), connect.data(), connect.size());
    }
    if (::read(go, &byte, 1) != 1) {
        std::_Exit(3);
    }
    // Each talker its own tone, so that the blocks differ between partners.
    std::vector<Packet> blocks;
    for (int t = 0; t < talkers; ++t) {
        std::vector<std::uint8_t> pcm(kVoiceBlockSize);
        for (std::size_t i = 0; i < pcm.size(); ++i) {
            pcm[i] = static_cast<std::uint8_t>(
                128 + 60 * std::sin(2 * M_PI * (300.0 + 20 * t) * static_cast<double>(i) / 11025));
        }
        const auto block = CompressBlock(pcm.data(), kVoiceBlockSize);
        blocks.push_back(BuildVoice(kVoiceBlockSize, ByteSpan(block.data(), block.size())));
    }
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    const auto period = std::chrono::milliseconds(400);
    std::vector<Clock::time_point> next(static_cast<std::size_t>(talkers));
    for (int t = 0; t < talkers; ++t) {
        next[static_cast<std::size_t>(t)] = start + period * t / talkers;
    }
    std::vector<pollfd> polls(fds.size());
    char sink[65536];
    while (Clock::now() < end) {
        for (int t = 0; t < talkers; ++t) {
            auto& due = next[static_cast<std::size_t>(t)];
            if (Clock::now() >= due) {
                const Packet& p = blocks[static_cast<std::size_t>(t)];
                SendAll(fds[static_cast<std::size_t>(t)], p.data(), p.size());
                due += period;
            }
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            polls[i] = {fds[i], POLLIN, 0};
        }
        if (::poll(polls.data(), polls.size(), 2) > 0) {
            for (const pollfd& p : polls) {
                if ((p.revents & POLLIN) != 0) {
                    (void)::recv(p.fd, sink, sizeof sink, MSG_DONTWAIT);
                }
            }
        }
    }
    for (const int fd : fds) {
        ::close(fd);
    }
    std::_Exit(0);
}

// --- Judging the backlog samples -------------------------------------------------------

// The largest backlog a talking partner may have for 95 % of the time: one block waiting on
// top of the block being played.
constexpr std::int32_t kBacklogBoundBytes = 2 * kVoiceBlockSize;

struct TBacklogFigures {
    std::int32_t Worst = 0;
    double Mean = 0;
    std::int32_t P95 = 0;
    std::int32_t P99 = 0;
};

// The sample at or below which `percent` of the sorted samples lie (nearest rank).
std::int32_t Percentile(const std::vector<std::int32_t>& sorted, double percent) {
    if (sorted.empty()) {
        return 0;
    }
    const auto rank =
        static_cast<std::size_t>(std::ceil(percent / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

TBacklogFigures FiguresOf(std::vector<std::int32_t> samples) {
    TBacklogFigures f;
    if (samples.empty()) {
        return f;
    }
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (const std::int32_t s : samples) {
        sum += s;
    }
    f.Worst = samples.back();
    f.Mean = sum / static_cast<double>(samples.size());
    f.P95 = Percentile(samples, 95);
    f.P99 = Percentile(samples, 99);
    return f;
}

// The verdict over every talking partner's figures: each talker present, none of them
// above the bound at the judged percentile.
bool BacklogAcceptable(const std::vector<TBacklogFigures>& talkers, int expectedTalkers) {
    if (static_cast<int>(talkers.size()) != expectedTalkers) {
        return false;
    }
    return std::all_of(talkers.begin(), talkers.end(),
                       [](const TBacklogFigures& f) { return f.P95 <= kBacklogBoundBytes; });
}

// A loopback port that nobody listens on at this moment.
std::uint16_t FreeLoopbackPort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(probe);
    return ntohs(addr.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int partners = argc > 2 ? std::atoi(argv[2]) : 100;
    const int talkers = std::min(partners, argc > 3 ? std::atoi(argv[3]) : 20);

    int goPipe[2];
    if (::pipe(goPipe) != 0) {
        return 1;
    }
    // The partners' process is forked before the copy starts a thread: a child forked from a
    // threaded process may find a lock of the memory allocator held for ever (it does under
    // AddressSanitizer).
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(goPipe[1]);
        RunPartners(partners, talkers, seconds, goPipe[0]);
    }
    ::close(goPipe[0]);

    TQuietUi ui;
    TFileAudioOutput* device = nullptr;
    auto audio = std::make_unique<TFileAudioBackend>();
    audio->MakeOutputDevice = [&device] {
        auto output = std::make_unique<TFileAudioOutput>(1.0, 20);  // real time
        device = output.get();
        return output;
    };
    TSessionOptions options;
    options.Audio = std::move(audio);
    options.OnPlaybackError = [](const std::string& message) {
        std::fprintf(stderr, "playback: %s\n", message.c_str());
    };
    TSession session(ui, std::move(options));
    TSynchronizer& sync = session.Sync();
    TConnectionCore& core = session.Core();
    TFusionBuffer& mixer = session.Mixer();
    // A port that was free a moment ago may have been taken since (any outgoing connection
    // of another process may get it): try another one then.
    std::uint16_t port = 0;
    for (int attempt = 0;; ++attempt) {
        port = FreeLoopbackPort();
        try {
            core.StartListening(port);
            break;
        } catch (const std::exception& error) {
            if (attempt == 20) {
                std::fprintf(stderr, "cannot listen: %s\n", error.what());
                ::kill(child, SIGTERM);
                return 1;
            }
        }
    }
    session.Start();

    (void)!::write(goPipe[1], &port, sizeof port);

    const auto connectStart = Clock::now();
    while (ui.Members < partners) {
        sync.CheckSynchronize(10);
        if (Clock::now() - connectStart > std::chrono::seconds(60)) {
            std::fprintf(stderr, "only %d of %d partners were accepted\n", ui.Members, partners);
            ::kill(child, SIGTERM);
            return 1;
        }
    }
    const double connectMs =
        std::chrono::duration<double, std::milli>(Clock::now() - connectStart).count();
    const long rssConnected = StatusKb("VmRSS");

    // Talking: sample each partner's backlog in the mixer.
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    (void)!::write(goPipe[1], "g", 1);
    std::map<const void*, std::vector<std::int32_t>> backlog;
    std::int32_t worstDecodeInput = 0;
    const auto talkEnd = t0 + std::chrono::duration<double>(seconds);
    while (Clock::now() < talkEnd) {
        const auto until = Clock::now() + std::chrono::milliseconds(20);
        while (Clock::now() < until) {
            sync.CheckSynchronize(5);
        }
        core.ForEachIncoming([&](TServerThread& connection) {
            const void* key = &connection.VoiceInput();
            backlog[key].push_back(mixer.SourceSize(key));
            worstDecodeInput = std::max(worstDecodeInput, connection.VoiceInput().Size());
        });
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    int status = 0;
    ::waitpid(child, &status, 0);

    // The talkers are the partners with voice in the mixer at some point.
    std::vector<TBacklogFigures> talking;
    for (const auto& [key, samples] : backlog) {
        const TBacklogFigures f = FiguresOf(samples);
        if (f.Worst > 0) {
            talking.push_back(f);
        }
    }
    // Over the talkers: the worst of their worsts, the mean of their means, the median
    // talker's worst and the highest of their percentiles.
    TBacklogFigures all;
    std::vector<std::int32_t> worsts;
    for (const TBacklogFigures& f : talking) {
        all.Worst = std::max(all.Worst, f.Worst);
        all.Mean += f.Mean / static_cast<double>(talking.size());
        all.P95 = std::max(all.P95, f.P95);
        all.P99 = std::max(all.P99, f.P99);
        worsts.push_back(f.Worst);
    }
    std::sort(worsts.begin(), worsts.end());
    const double heardSeconds = static_cast<double>(device->Heard().size()) / 11576.0;
    const auto ms = [](double bytes) { return bytes / 11025.0 * 1000.0; };

    std::printf("partners %d (talking %d) for %.1f s; all accepted in %.0f ms\n", partners, talkers,
                wall, connectMs);
    std::printf("cpu %.2f s = %.1f%% of one core (the copy alone; partners in another process)\n",
                cpu, 100.0 * cpu / wall);
    std::printf("memory: %ld kB resident once connected, peak %ld kB (VmHWM), %ld kB at the end\n",
                rssConnected, StatusKb("VmHWM"), StatusKb("VmRSS"));
    std::printf(
        "backlog per talking partner in the mixer (%zu partners with voice): worst %d bytes "
        "(%.0f ms), median of the worsts %d bytes, mean %.0f bytes (%.0f ms); highest 95th "
        "percentile %d bytes (%.0f ms), highest 99th percentile %d bytes (%.0f ms)\n",
        talking.size(), all.Worst, ms(all.Worst), worsts.empty() ? 0 : worsts[worsts.size() / 2],
        all.Mean, ms(all.Mean), all.P95, ms(all.P95), all.P99, ms(all.P99));
    std::printf(
        "largest decode input waiting: %d bytes; dropped by the backlog limit: %lld "
        "bytes; played %.1f s of mixed voice\n",
        worstDecodeInput, static_cast<long long>(mixer.DroppedBytes()), heardSeconds);
    const bool ok = BacklogAcceptable(talking, talkers);
    std::printf("%s\n", ok ? "OK: every talking partner's voice waited at most two blocks 95% of "
                             "the time"
                           : "FAIL: a talking partner's voice waited more than two blocks over "
                             "5% of the time, or was missing");
    session.Shutdown();
    return ok ? 0 : 1;
}
