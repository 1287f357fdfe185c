#include "AudioTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vox::testing {

namespace {

void SleepMs(int Ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// True when the process has ended (or is a zombie nobody reaps).
bool ProcessGone(pid_t Pid) {
    std::ifstream stat("/proc/" + std::to_string(Pid) + "/stat");
    if (!stat) {
        return true;
    }
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z';
}

void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream out(Path, std::ios::binary | std::ios::trunc);
    out << Text;
    if (!out) {
        throw std::runtime_error("cannot write " + Path);
    }
}

// Sets the variables of a file of "export NAME=VALUE" lines in this process.
void ApplyEnvFile(const std::string& Path) {
    std::ifstream in(Path);
    if (!in) {
        throw std::runtime_error("cannot read " + Path);
    }
    std::string line;
    while (std::getline(in, line)) {
        const std::string prefix = "export ";
        if (line.rfind(prefix, 0) != 0) {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(prefix.size(), eq - prefix.size());
        ::setenv(name.c_str(), line.substr(eq + 1).c_str(), 1);
    }
}

std::string ScriptsDir() {
    return VOX_PULSE_SCRIPTS;
}

}  // namespace

double MsBetween(TClock::time_point A, TClock::time_point B) {
    return std::chrono::duration<double, std::milli>(B - A).count();
}

bool HaveProgram(const std::string& Name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string file = (dir.empty() ? "." : dir) + "/" + Name;
        if (::access(file.c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// TChildProcess

TChildProcess::TChildProcess(const std::vector<std::string>& Args, bool CaptureStdout,
                             bool QuietStderr) {
    if (Args.empty()) {
        throw std::invalid_argument("no program");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeFds[2] = {-1, -1};
    if (CaptureStdout) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    }
    if (QuietStderr) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : Args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const int rc = ::posix_spawnp(&FPid, Args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (CaptureStdout) {
        ::close(pipeFds[1]);
        FStdout = pipeFds[0];
    }
    if (rc != 0) {
        if (FStdout >= 0) {
            ::close(FStdout);
        }
        throw std::runtime_error("cannot start " + Args[0] + ": " + std::strerror(rc));
    }
}

TChildProcess::~TChildProcess() {
    Terminate();
    if (FStdout >= 0) {
        ::close(FStdout);
    }
}

bool TChildProcess::Wait(std::uint32_t TimeoutMs) {
    if (FEnded) {
        return true;
    }
    const auto deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(FPid, &status, WNOHANG);
        if (r == FPid || r < 0) {
            FEnded = true;
            FStatus = (r == FPid && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
            return true;
        }
        if (TClock::now() >= deadline) {
            return false;
        }
        SleepMs(2);
    }
}

void TChildProcess::Terminate() {
    if (FEnded || FPid <= 0) {
        return;
    }
    ::kill(FPid, SIGTERM);
    if (!Wait(2000)) {
        ::kill(FPid, SIGKILL);
        Wait(5000);
    }
}

int RunProgram(const std::vector<std::string>& Args, std::uint32_t TimeoutMs) {
    try {
        TChildProcess child(Args);
        if (!child.Wait(TimeoutMs)) {
            return -1;
        }
        return child.ExitStatus();
    } catch (const std::runtime_error&) {
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Private servers

std::string MakePrivateDir(const std::string& Prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (Prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    ::chmod(pattern.c_str(), 0700);
    return pattern;
}

void PointClientsNowhere(const std::string& Dir) {
    WriteFile(Dir + "/client.conf", "autospawn = no\n");
    WriteFile(Dir + "/env", "export PULSE_SERVER=unix:" + Dir + "/pulse/native\n" +
                                "export PULSE_CLIENTCONFIG=" + Dir + "/client.conf\n" +
                                "export PULSE_COOKIE=" + Dir + "/cookie\n" +
                                "export XDG_RUNTIME_DIR=" + Dir + "\n");
    ApplyEnvFile(Dir + "/env");
}

TPrivatePulse::TPrivatePulse(const std::string& Config) : FDir(MakePrivateDir("vox-pulse")) {
    std::string output;
    int status = -1;
    {
        TChildProcess start({ScriptsDir() + "/start.sh", FDir, ScriptsDir() + "/" + Config}, true);
        char buffer[256];
        for (;;) {
            const ssize_t n = ::read(start.StdoutFd(), buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            output.append(buffer, static_cast<std::size_t>(n));
        }
        start.Wait(20000);
        status = start.ExitStatus();
    }
    if (status != 0) {
        std::filesystem::remove_all(FDir);
        throw std::runtime_error("the private PulseAudio server did not start (status " +
                                 std::to_string(status) + ")");
    }
    FPid = static_cast<pid_t>(std::strtol(output.c_str(), nullptr, 10));
    ApplyEnvFile(FDir + "/env");
}

TPrivatePulse::~TPrivatePulse() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
}

void TPrivatePulse::Stop() {
    if (FPid <= 0) {
        return;
    }
    ::kill(FPid, SIGTERM);
    for (int i = 0; i < 150 && !ProcessGone(FPid); ++i) {
        SleepMs(20);
    }
    if (!ProcessGone(FPid)) {
        ::kill(FPid, SIGKILL);
        for (int i = 0; i < 100 && !ProcessGone(FPid); ++i) {
            SleepMs(20);
        }
    }
    FPid = -1;
}

// ---------------------------------------------------------------------------------------------
// TSourceRecorder

TSourceRecorder::TSourceRecorder(const std::string& Source, std::uint32_t Rate)
    : FRate(Rate),
      FBase(TClock::now()),
      FChild({"pacat", "--record", "--raw", "--format=u8", "--rate=" + std::to_string(Rate),
              "--channels=1", "--latency-msec=10", "-d", Source},
             true, true) {
    FReader = std::thread([this] { Run(); });
}

TSourceRecorder::~TSourceRecorder() {
    Stop();
}

void TSourceRecorder::Stop() {
    FChild.Terminate();
    if (FReader.joinable()) {
        FReader.join();
    }
}

void TSourceRecorder::Run() {
    std::vector<std::uint8_t> buffer(4096);
    for (;;) {
        const ssize_t n = ::read(FChild.StdoutFd(), buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        const double at = std::chrono::duration<double>(TClock::now() - FBase).count();
        {
            std::lock_guard lock(FLock);
            FSamples.insert(FSamples.end(), buffer.begin(), buffer.begin() + n);
            // The newest sample was played no later than now.
            FOffset = std::min(FOffset, at - static_cast<double>(FSamples.size()) / FRate);
        }
        FChanged.notify_all();
    }
}

std::vector<std::uint8_t> TSourceRecorder::Samples() const {
    std::lock_guard lock(FLock);
    return FSamples;
}

std::int64_t TSourceRecorder::Size() const {
    std::lock_guard lock(FLock);
    return static_cast<std::int64_t>(FSamples.size());
}

bool TSourceRecorder::WaitForSize(std::int64_t Count, std::uint32_t TimeoutMs) const {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                             [&] { return static_cast<std::int64_t>(FSamples.size()) >= Count; });
}

bool TSourceRecorder::WaitPast(TClock::time_point At, std::uint32_t TimeoutMs) const {
    const double at = std::chrono::duration<double>(At - FBase).count();
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [&] {
        return !FSamples.empty() && FOffset + static_cast<double>(FSamples.size()) / FRate > at;
    });
}

TClock::time_point TSourceRecorder::TimeOf(double Index) const {
    std::lock_guard lock(FLock);
    return FBase + std::chrono::duration_cast<TClock::duration>(
                       std::chrono::duration<double>(FOffset + Index / FRate));
}

// ---------------------------------------------------------------------------------------------
// Signals

std::vector<std::uint8_t> Tone(double Hz, double Rate, std::int64_t Count, int Amplitude) {
    std::vector<std::uint8_t> samples(static_cast<std::size_t>(std::max<std::int64_t>(Count, 0)));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double v =
            128.0 + Amplitude * std::sin(2.0 * M_PI * Hz * static_cast<double>(i) / Rate);
        samples[i] = static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
    }
    return samples;
}

std::vector<std::uint8_t> Silence(std::int64_t Count) {
    return std::vector<std::uint8_t>(static_cast<std::size_t>(std::max<std::int64_t>(Count, 0)),
                                     128);
}

TSpan LoudSpan(const std::vector<std::uint8_t>& Samples, int Threshold) {
    // A sample belongs to the sound when most of the 24 around it are loud: a stray click is
    // not a tone, and a tone's zero crossings are not gaps.
    constexpr std::int64_t kWindow = 24;
    constexpr std::int64_t kNeeded = 12;
    const auto n = static_cast<std::int64_t>(Samples.size());
    std::vector<int> loud(Samples.size() + 1, 0);  // prefix counts
    for (std::int64_t i = 0; i < n; ++i) {
        loud[i + 1] = loud[i] + (std::abs(Samples[i] - 128) > Threshold ? 1 : 0);
    }
    const auto count = [&](std::int64_t b, std::int64_t e) {
        b = std::clamp<std::int64_t>(b, 0, n);
        e = std::clamp<std::int64_t>(e, 0, n);
        return loud[e] - loud[b];
    };
    TSpan span;
    for (std::int64_t i = 0; i < n; ++i) {
        if (std::abs(Samples[i] - 128) > Threshold && count(i, i + kWindow) >= kNeeded) {
            span.First = i;
            break;
        }
    }
    if (span.First < 0) {
        return span;
    }
    for (std::int64_t i = n - 1; i >= span.First; --i) {
        if (std::abs(Samples[i] - 128) > Threshold && count(i - kWindow + 1, i + 1) >= kNeeded) {
            span.Last = i;
            break;
        }
    }
    return span;
}

double FrequencyOf(const std::vector<std::uint8_t>& Samples, std::int64_t Begin, std::int64_t End,
                   double Rate) {
    Begin = std::max<std::int64_t>(Begin, 0);
    End = std::min<std::int64_t>(End, static_cast<std::int64_t>(Samples.size()));
    if (End - Begin < 2) {
        return 0;
    }
    // Rising crossings with a little hysteresis; the span from the first to the last one
    // holds a whole number of periods.
    std::int64_t first = -1;
    std::int64_t last = -1;
    int crossings = 0;
    bool low = Samples[Begin] < 128;
    for (std::int64_t i = Begin + 1; i < End; ++i) {
        const int v = Samples[i] - 128;
        if (low && v > 3) {
            low = false;
            if (first < 0) {
                first = i;
            } else {
                ++crossings;
            }
            last = i;
        } else if (!low && v < -3) {
            low = true;
        }
    }
    if (crossings == 0) {
        return 0;
    }
    return crossings * Rate / static_cast<double>(last - first);
}

std::int64_t LongestQuietRun(const std::vector<std::uint8_t>& Samples, std::int64_t Begin,
                             std::int64_t End, int Threshold) {
    Begin = std::max<std::int64_t>(Begin, 0);
    End = std::min<std::int64_t>(End, static_cast<std::int64_t>(Samples.size()));
    std::int64_t longest = 0;
    std::int64_t run = 0;
    for (std::int64_t i = Begin; i < End; ++i) {
        run = std::abs(Samples[i] - 128) <= Threshold ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

TSpan LongestUnbroken(const std::vector<std::uint8_t>& Samples, TSpan Span, std::int64_t GapSamples,
                      int Threshold) {
    TSpan best;
    if (Span.First < 0) {
        return best;
    }
    std::int64_t start = Span.First;
    std::int64_t run = 0;
    const auto consider = [&](std::int64_t First, std::int64_t Last) {
        if (Last >= First && Last - First + 1 > best.Length()) {
            best = {First, Last};
        }
    };
    for (std::int64_t i = Span.First; i <= Span.Last; ++i) {
        if (std::abs(Samples[i] - 128) <= Threshold) {
            ++run;
            continue;
        }
        if (run >= GapSamples) {
            consider(start, i - run - 1);
            start = i;
        }
        run = 0;
    }
    consider(start, Span.Last);
    return best;
}

std::vector<double> Envelope(const std::vector<double>& Samples, double Rate, double FrameMs) {
    const double frame = Rate * FrameMs / 1000.0;
    std::vector<double> envelope;
    for (double start = 0; start + frame <= static_cast<double>(Samples.size()); start += frame) {
        const auto b = static_cast<std::size_t>(start);
        const auto e = static_cast<std::size_t>(start + frame);
        double sum = 0;
        for (std::size_t i = b; i < e; ++i) {
            sum += Samples[i] * Samples[i];
        }
        envelope.push_back(std::sqrt(sum / static_cast<double>(std::max<std::size_t>(e - b, 1))));
    }
    return envelope;
}

double BestCorrelation(const std::vector<double>& A, const std::vector<double>& B, int MaxLag) {
    double best = -1;
    for (int lag = 0; lag <= MaxLag; ++lag) {
        const std::size_t n = std::min(A.size(), B.size() > static_cast<std::size_t>(lag)
                                                     ? B.size() - static_cast<std::size_t>(lag)
                                                     : 0);
        if (n < 10) {
            break;
        }
        double ma = 0, mb = 0;
        for (std::size_t i = 0; i < n; ++i) {
            ma += A[i];
            mb += B[i + lag];
        }
        ma /= static_cast<double>(n);
        mb /= static_cast<double>(n);
        double sab = 0, saa = 0, sbb = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = A[i] - ma;
            const double b = B[i + lag] - mb;
            sab += a * b;
            saa += a * a;
            sbb += b * b;
        }
        if (saa > 0 && sbb > 0) {
            best = std::max(best, sab / std::sqrt(saa * sbb));
        }
    }
    return best;
}

std::vector<double> Centred(const std::vector<std::uint8_t>& Samples) {
    std::vector<double> out(Samples.size());
    for (std::size_t i = 0; i < Samples.size(); ++i) {
        out[i] = (Samples[i] - 128.0) / 128.0;
    }
    return out;
}

namespace {

void Put16(std::string& Out, std::uint32_t V) {
    Out.push_back(static_cast<char>(V & 0xFF));
    Out.push_back(static_cast<char>((V >> 8) & 0xFF));
}

void Put32(std::string& Out, std::uint32_t V) {
    Put16(Out, V & 0xFFFF);
    Put16(Out, V >> 16);
}

std::uint32_t Get(const std::string& In, std::size_t At, int Bytes) {
    std::uint32_t v = 0;
    for (int i = Bytes - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<std::uint8_t>(In.at(At + static_cast<std::size_t>(i)));
    }
    return v;
}

}  // namespace

void WriteWavU8(const std::string& Path, const std::vector<std::uint8_t>& Samples,
                std::uint32_t Rate) {
    const auto size = static_cast<std::uint32_t>(Samples.size());
    std::string out = "RIFF";
    Put32(out, 36 + size);
    out += "WAVEfmt ";
    Put32(out, 16);
    Put16(out, 1);  // PCM
    Put16(out, 1);  // mono
    Put32(out, Rate);
    Put32(out, Rate);
    Put16(out, 1);
    Put16(out, 8);
    out += "data";
    Put32(out, size);
    out.append(reinterpret_cast<const char*>(Samples.data()), Samples.size());
    WriteFile(Path, out);
}

std::vector<double> ReadWav(const std::string& Path, std::uint32_t* Rate) {
    std::ifstream in(Path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() < 12 || data.compare(0, 4, "RIFF") != 0 || data.compare(8, 4, "WAVE") != 0) {
        throw std::runtime_error(Path + " is not a WAV file");
    }
    std::uint32_t channels = 0, bits = 0;
    std::size_t at = 12;
    while (at + 8 <= data.size()) {
        const std::string id = data.substr(at, 4);
        std::size_t size = Get(data, at + 4, 4);
        const std::size_t body = at + 8;
        if (id == "fmt ") {
            channels = Get(data, body + 2, 2);
            *Rate = Get(data, body + 4, 4);
            bits = Get(data, body + 14, 2);
        } else if (id == "data") {
            // A stream written to a pipe may leave the size open.
            size = std::min(size, data.size() - body);
            if (channels == 0 || (bits != 8 && bits != 16)) {
                throw std::runtime_error(Path + ": unsupported WAV format");
            }
            const std::size_t frame = channels * bits / 8;
            std::vector<double> samples;
            for (std::size_t f = body; f + frame <= body + size; f += frame) {
                double sum = 0;
                for (std::uint32_t c = 0; c < channels; ++c) {
                    if (bits == 8) {
                        sum += (static_cast<std::uint8_t>(data[f + c]) - 128.0) / 128.0;
                    } else {
                        sum += static_cast<std::int16_t>(Get(data, f + 2 * c, 2)) / 32768.0;
                    }
                }
                samples.push_back(sum / channels);
            }
            return samples;
        }
        at = body + size + (size & 1);
    }
    throw std::runtime_error(Path + " has no data");
}

}  // namespace vox::testing
