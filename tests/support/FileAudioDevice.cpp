#include "support/FileAudioDevice.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace vox {

namespace {

bool IsVoiceLikeFormat(const TWaveFormat& Format) {
    return Format.FormatTag == 1 && Format.Channels == 1 && Format.BitsPerSample == 8 &&
           Format.SamplesPerSec > 0;
}

}  // namespace

std::vector<std::uint8_t> LoadPcmFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + Path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---------------------------------------------------------------------------------------------
// TFileAudioInput

TFileAudioInput::TFileAudioInput(std::vector<std::uint8_t> Source, double Speed,
                                 std::int32_t ChunkSize)
    : FSource(std::move(Source)), FSpeed(Speed), FChunkSize(std::max<std::int32_t>(ChunkSize, 1)) {}

TFileAudioInput::~TFileAudioInput() {
    StopThread();
}

TAudioStatus TFileAudioInput::Open(const TWaveFormat& Format, std::int32_t, TDataHandler OnData) {
    std::lock_guard lock(FLock);
    if (FOpenFailure != asOk) {
        return FOpenFailure;
    }
    if (FOpen) {
        return asAllocated;
    }
    if (!IsVoiceLikeFormat(Format)) {
        return asBadFormat;
    }
    FFormat = Format;
    FOnData = std::move(OnData);
    FOpen = true;
    ++FOpenCount;
    return asOk;
}

TAudioStatus TFileAudioInput::Start() {
    std::lock_guard lock(FLock);
    if (FStartFailure != asOk) {
        return FStartFailure;
    }
    if (!FOpen) {
        return asInvalidHandle;
    }
    if (FCapturing) {
        return asOk;
    }
    FCapturing = true;
    FStopRequested = false;
    FThread = std::thread([this] { Run(); });
    return asOk;
}

TAudioStatus TFileAudioInput::Stop() {
    {
        std::lock_guard lock(FLock);
        if (FStopFailure != asOk) {
            return FStopFailure;
        }
        if (!FOpen) {
            return asInvalidHandle;
        }
    }
    StopThread();
    return asOk;
}

TAudioStatus TFileAudioInput::Close() {
    {
        std::lock_guard lock(FLock);
        if (FCloseFailure != asOk) {
            return FCloseFailure;
        }
        if (!FOpen) {
            return asInvalidHandle;
        }
    }
    StopThread();
    std::lock_guard lock(FLock);
    FOpen = false;
    FOnData = nullptr;
    ++FCloseCount;
    return asOk;
}

void TFileAudioInput::StopThread() {
    {
        std::lock_guard lock(FLock);
        FStopRequested = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) {
        FThread.join();
    }
    std::lock_guard lock(FLock);
    FCapturing = false;
}

void TFileAudioInput::Run() {
    using namespace std::chrono;
    const auto begin = steady_clock::now();
    std::unique_lock lock(FLock);
    const std::int64_t total = static_cast<std::int64_t>(FSource.size());
    const std::int64_t startPosition = FPosition;
    const double bytesPerSecond = static_cast<double>(BytesPerSecond(FFormat)) * FSpeed;
    const bool paced = FSpeed > 0 && bytesPerSecond > 0;
    for (;;) {
        const bool stopping = FStopRequested;
        std::int64_t captured = total;
        if (paced) {
            const double elapsed = duration<double>(steady_clock::now() - begin).count();
            captured = std::min(
                total, startPosition + static_cast<std::int64_t>(elapsed * bytesPerSecond));
        }
        // Whole chunks as they fill; the source's last bytes, and when stopping also the part
        // captured so far, as a shorter one.
        while (FPosition < captured &&
               (captured - FPosition >= FChunkSize || stopping || captured == total)) {
            const std::int64_t n = std::min<std::int64_t>(FChunkSize, captured - FPosition);
            const std::uint8_t* data = FSource.data() + FPosition;
            FPosition += n;
            lock.unlock();
            if (FOnData) {
                FOnData(data, static_cast<std::int32_t>(n));
            }
            lock.lock();
            FDelivered += n;
            FChanged.notify_all();
        }
        if (stopping) {
            return;
        }
        if (FPosition >= total || !paced) {
            FChanged.wait(lock, [this] { return FStopRequested; });
        } else {
            const double nextAt =
                static_cast<double>(FPosition + FChunkSize - startPosition) / bytesPerSecond;
            FChanged.wait_until(
                lock, begin + duration_cast<steady_clock::duration>(duration<double>(nextAt)),
                [this] { return FStopRequested; });
        }
    }
}

void TFileAudioInput::FailOpen(TAudioStatus Status) {
    std::lock_guard lock(FLock);
    FOpenFailure = Status;
}

void TFileAudioInput::FailStart(TAudioStatus Status) {
    std::lock_guard lock(FLock);
    FStartFailure = Status;
}

void TFileAudioInput::FailStop(TAudioStatus Status) {
    std::lock_guard lock(FLock);
    FStopFailure = Status;
}

void TFileAudioInput::FailClose(TAudioStatus Status) {
    std::lock_guard lock(FLock);
    FCloseFailure = Status;
}

bool TFileAudioInput::IsOpen() const {
    std::lock_guard lock(FLock);
    return FOpen;
}

bool TFileAudioInput::IsCapturing() const {
    std::lock_guard lock(FLock);
    return FCapturing;
}

int TFileAudioInput::OpenCount() const {
    std::lock_guard lock(FLock);
    return FOpenCount;
}

int TFileAudioInput::CloseCount() const {
    std::lock_guard lock(FLock);
    return FCloseCount;
}

std::int64_t TFileAudioInput::Delivered() const {
    std::lock_guard lock(FLock);
    return FDelivered;
}

bool TFileAudioInput::WaitExhausted(std::uint32_t TimeoutMs) const {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] {
        return FPosition >= static_cast<std::int64_t>(FSource.size()) && FDelivered == FPosition;
    });
}

// ---------------------------------------------------------------------------------------------
// TFileAudioOutput

TFileAudioOutput::TFileAudioOutput(double Speed, std::uint32_t PlayOutDelayMs,
                                   const std::string& Path)
    : FSpeed(Speed), FPlayOutDelay(PlayOutDelayMs) {
    if (!Path.empty()) {
        FFile.open(Path, std::ios::binary | std::ios::app);
        if (!FFile) {
            throw std::runtime_error("cannot open " + Path);
        }
    }
}

TFileAudioOutput::~TFileAudioOutput() {
    StopThread();
}

TAudioStatus TFileAudioOutput::Open(const TWaveFormat& Format) {
    std::lock_guard lock(FLock);
    ++FOpenAttempts;
    if (FOpenFailure != asOk) {
        return FOpenFailure;
    }
    if (FOpen) {
        return asAllocated;
    }
    if (!IsVoiceLikeFormat(Format)) {
        return asBadFormat;
    }
    FFormat = Format;
    FOpen = true;
    FStopRequested = false;
    FWritten = FDone = FHeardCount = 0;
    ++FOpenCount;
    FThread = std::thread([this] { Run(); });
    return asOk;
}

TAudioStatus TFileAudioOutput::Write(const void* Data, std::int32_t Count) {
    {
        std::lock_guard lock(FLock);
        if (FWriteFailure != asOk) {
            return FWriteFailure;
        }
        if (!FOpen) {
            return asInvalidHandle;
        }
        if (FDone < FWritten) {
            ++FWritesWhileBusy;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(Data);
        const std::size_t n = Count > 0 ? static_cast<std::size_t>(Count) : 0;
        FQueue.emplace_back(bytes, bytes + n);
        FBlocks.push_back(static_cast<std::int32_t>(n));
        FWritten += static_cast<std::int64_t>(n);
    }
    FChanged.notify_all();
    return asOk;
}

bool TFileAudioOutput::WaitDone(std::uint32_t TimeoutMs) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                             [this] { return FDone >= FWritten; });
}

THeardWait TFileAudioOutput::WaitHeard(std::uint32_t TimeoutMs) {
    std::unique_lock lock(FLock);
    FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                      [this] { return FHeardCount >= FWritten || FWakeHeard; });
    const bool woken = std::exchange(FWakeHeard, false);
    if (FHeardCount >= FWritten) {
        return THeardWait::Heard;
    }
    return woken ? THeardWait::Woken : THeardWait::NotHeard;
}

void TFileAudioOutput::WakeWaitHeard() {
    {
        std::lock_guard lock(FLock);
        FWakeHeard = true;
    }
    FChanged.notify_all();
}

TAudioStatus TFileAudioOutput::Close() {
    {
        std::lock_guard lock(FLock);
        if (FCloseFailure != asOk) {
            return FCloseFailure;
        }
        if (!FOpen) {
            return asInvalidHandle;
        }
    }
    StopThread();
    std::lock_guard lock(FLock);
    FCut += FWritten - FHeardCount;
    FQueue.clear();
    FPlaying.reset();
    FInFlight.clear();
    FOpen = false;
    ++FCloseCount;
    return asOk;
}

void TFileAudioOutput::StopThread() {
    {
        std::lock_guard lock(FLock);
        FStopRequested = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) {
        FThread.join();
    }
}

TFileAudioOutput::TClock::duration TFileAudioOutput::PlayTime(std::size_t Count) const {
    const double rate = static_cast<double>(BytesPerSecond(FFormat)) * FSpeed;
    if (FSpeed <= 0 || rate <= 0) {
        return TClock::duration::zero();
    }
    return std::chrono::duration_cast<TClock::duration>(
        std::chrono::duration<double>(static_cast<double>(Count) / rate));
}

void TFileAudioOutput::Run() {
    std::unique_lock lock(FLock);
    while (!FStopRequested) {
        const auto now = TClock::now();
        if (!FPlaying && !FQueue.empty()) {
            FPlaying = std::move(FQueue.front());
            FQueue.pop_front();
            FPlayEnd = now + PlayTime(FPlaying->size());
        }
        bool changed = false;
        if (FPlaying && now >= FPlayEnd) {
            FDone += static_cast<std::int64_t>(FPlaying->size());
            FInFlight.push_back({FPlayEnd + FPlayOutDelay, std::move(*FPlaying)});
            FPlaying.reset();
            changed = true;
        }
        while (!FInFlight.empty() && now >= FInFlight.front().HeardAt) {
            const std::vector<std::uint8_t>& bytes = FInFlight.front().Bytes;
            FHeard.insert(FHeard.end(), bytes.begin(), bytes.end());
            if (FFile.is_open()) {
                FFile.write(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<std::streamsize>(bytes.size()));
                FFile.flush();
            }
            FHeardCount += static_cast<std::int64_t>(bytes.size());
            FInFlight.pop_front();
            changed = true;
        }
        if (changed) {
            FChanged.notify_all();
            continue;  // the next block may start at once
        }
        std::optional<TClock::time_point> wake;
        if (FPlaying) {
            wake = FPlayEnd;
        }
        if (!FInFlight.empty() && (!wake || FInFlight.front().HeardAt < *wake)) {
            wake = FInFlight.front().HeardAt;
        }
        const auto woken = [this, playing = FPlaying.has_value()] {
            return FStopRequested || (!playing && !FQueue.empty());
        };
        if (wake) {
            FChanged.wait_until(lock, *wake, woken);
        } else {
            FChanged.wait(lock, woken);
        }
    }
}

void TFileAudioOutput::FailOpen(TAudioStatus Status) {
    std::lock_guard lock(FLock);
    FOpenFailure = Status;
}

void TFileAudioOutput::FailWrite(TAudioStatus Status) {
    std::lock_guard lock(FLock);
    FWriteFailure = Status;
}

void TFileAudioOutput::FailClose(TAudioStatus Status) {
    std::lock_guard lock(FLock);
    FCloseFailure = Status;
}

bool TFileAudioOutput::IsOpen() const {
    std::lock_guard lock(FLock);
    return FOpen;
}

int TFileAudioOutput::OpenAttempts() const {
    std::lock_guard lock(FLock);
    return FOpenAttempts;
}

int TFileAudioOutput::OpenCount() const {
    std::lock_guard lock(FLock);
    return FOpenCount;
}

int TFileAudioOutput::CloseCount() const {
    std::lock_guard lock(FLock);
    return FCloseCount;
}

TWaveFormat TFileAudioOutput::Format() const {
    std::lock_guard lock(FLock);
    return FFormat;
}

std::vector<std::uint8_t> TFileAudioOutput::Heard() const {
    std::lock_guard lock(FLock);
    return FHeard;
}

std::vector<std::int32_t> TFileAudioOutput::Blocks() const {
    std::lock_guard lock(FLock);
    return FBlocks;
}

std::int64_t TFileAudioOutput::CutBytes() const {
    std::lock_guard lock(FLock);
    return FCut;
}

int TFileAudioOutput::WritesWhileBusy() const {
    std::lock_guard lock(FLock);
    return FWritesWhileBusy;
}

}  // namespace vox
