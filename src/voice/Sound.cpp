#include "voice/Sound.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>

namespace vox {

namespace {

// The open failures are worded alike for recording and playing, except for the fallback.
std::string OpenMessage(TAudioStatus Status, const char* Other) {
    switch (Status) {
        case asBadDeviceId:
            return "範囲外のデバイスが指定されました。";
        case asAllocated:
            return "指定されたりソースは既に割り当てられています。";
        case asNoMem:
            return "メモリの割り当て又はロックができません。";
        case asBadFormat:
            return "サポートされていないウェーブフォーム形式でオープンしようとしました。";
        default:
            return Other;
    }
}

}  // namespace

std::string RecordErrorMessage(TRecordStep Step, TAudioStatus Status) {
    switch (Step) {
        case TRecordStep::Open:
            return OpenMessage(Status, "ウェーブフォームのオープンに失敗しました。");
        case TRecordStep::Start:
            switch (Status) {
                case asInvalidHandle:
                    return "録音用デバイスハンドルが無効です。";
                case asHandleBusy:
                    return "録音用に指定されたハンドルはほかのスレッドが使用しています。";
                default:
                    return "録音を開始できません。";
            }
        case TRecordStep::Stop:
            switch (Status) {
                case asInvalidHandle:
                    return "ハンドルが違います。";
                case asHandleBusy:
                    return "デバイスをほかが使っています。";
                default:
                    return "デバイスをリセットできません。";
            }
        case TRecordStep::Close:
            switch (Status) {
                case asInvalidHandle:
                    return "ハンドルが違います。";
                case asStillPlaying:
                    return "まだキューが残っています。";
                default:
                    return "WaveIn ハンドルのクローズに失敗しました。";
            }
    }
    return "ウェーブフォームのオープンに失敗しました。";
}

std::string PlayErrorMessage(TPlayStep Step, TAudioStatus Status) {
    switch (Step) {
        case TPlayStep::Open:
            return OpenMessage(Status, "再生デバイスをオープンできません。");
        case TPlayStep::Play:
            return "再生中にエラーが発生しました。";
        case TPlayStep::Close:
            switch (Status) {
                case asInvalidHandle:
                    return "ハンドルが違います。";
                case asHandleBusy:
                    return "デバイスをほかが使っています。";
                case asStillPlaying:
                    return "まだキューが残っています。";
                default:
                    return "再生デバイスのクローズに失敗しました。";
            }
    }
    return "再生中にエラーが発生しました。";
}

std::string RecordBufferErrorMessage() {
    return "録音用のバッファーの取得に失敗しました。";
}

TWaveFormat PlaybackFormat(const TWaveFormat& Format) {
    TWaveFormat play = Format;
    play.SamplesPerSec = static_cast<std::uint32_t>(Format.SamplesPerSec * 105u / 100u);
    play.AvgBytesPerSec = play.SamplesPerSec * Format.BlockAlign;
    return play;
}

// ---------------------------------------------------------------------------------------------
// TMySound

TMySound::TMySound(std::unique_ptr<TAudioInput> Device) : FDevice(std::move(Device)) {
    if (!FDevice) {
        throw std::invalid_argument("TMySound needs an input device");
    }
}

TMySound::~TMySound() {
    if (FIsRecording.load()) {
        try {
            StopRecording();
        } catch (...) {
            // Nothing can be shown from here; the device has been released as far as it lets.
        }
    }
}

void TMySound::StartRecording(const TWaveFormat& Format, std::int32_t BufferSize,
                              TThreadFifoBuffer& Target) {
    Begin(Format, BufferSize, &Target);
}

void TMySound::StartMonitoring(const TWaveFormat& Format, std::int32_t BufferSize) {
    Begin(Format, BufferSize, nullptr);
}

void TMySound::Begin(const TWaveFormat& Format, std::int32_t BufferSize,
                     TThreadFifoBuffer* Target) {
    if (FIsRecording.load()) {
        throw std::logic_error("StartRecording while recording");
    }
    const TAudioStatus opened = FDevice->Open(
        Format, BufferSize,
        [this](const std::uint8_t* Data, std::int32_t Count) { DataArrived(Data, Count); });
    if (opened != asOk) {
        throw ESoundError(RecordErrorMessage(TRecordStep::Open, opened), opened);
    }

    std::vector<std::uint8_t> block;
    try {
        if (BufferSize <= 0) {
            throw std::bad_alloc();
        }
        block.resize(static_cast<std::size_t>(BufferSize));
    } catch (const std::bad_alloc&) {
        (void)FDevice->Close();
        throw ESoundError(RecordBufferErrorMessage(), asNoMem);
    }

    {
        std::lock_guard lock(FLock);
        FBlock = std::move(block);
        FFill = 0;
        FRecordTarget = Target;
        FCapturing = true;  // before the start, so that no early byte is lost
    }
    const TAudioStatus started = FDevice->Start();
    if (started != asOk) {
        {
            std::lock_guard lock(FLock);
            FCapturing = false;
            FBlock = {};
            FFill = 0;
            FRecordTarget = nullptr;
        }
        (void)FDevice->Close();
        throw ESoundError(RecordErrorMessage(TRecordStep::Start, started), started);
    }
    FIsRecording.store(true);
}

void TMySound::StopRecording() {
    if (!FIsRecording.load()) {
        return;
    }
    // The device hands over everything captured so far before Stop returns; the lock is not
    // held here because the bytes may arrive on this very thread.
    const TAudioStatus stopped = FDevice->Stop();
    {
        std::lock_guard lock(FLock);
        if (FFill > 0 && FRecordTarget != nullptr) {
            FRecordTarget->Write(FBlock.data(), FFill);
        }
        FCapturing = false;
        FFill = 0;
    }
    FIsRecording.store(false);
    FLevel.store(0);
    // A failed stop must not keep the device: close it all the same, so the next press can
    // record again.
    const TAudioStatus closed = FDevice->Close();
    {
        std::lock_guard lock(FLock);
        FBlock = {};
        FRecordTarget = nullptr;
    }
    if (stopped != asOk) {
        throw ESoundError(RecordErrorMessage(TRecordStep::Stop, stopped), stopped);
    }
    if (closed != asOk) {
        throw ESoundError(RecordErrorMessage(TRecordStep::Close, closed), closed);
    }
}

void TMySound::DataArrived(const std::uint8_t* Data, std::int32_t Count) {
    std::lock_guard lock(FLock);
    if (!FCapturing || Count <= 0) {
        return;
    }
    int peak = 0;
    for (std::int32_t i = 0; i < Count; ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(Data[i]) - 128));
    }
    FLevel.store(std::min(100, (peak * 100 + 64) / 128));
    if (FRecordTarget == nullptr) {
        return;  // a microphone test: nothing goes anywhere
    }
    const auto size = static_cast<std::int32_t>(FBlock.size());
    while (Count > 0) {
        const std::int32_t n = std::min(Count, size - FFill);
        std::copy_n(Data, n, FBlock.data() + FFill);
        FFill += n;
        Data += n;
        Count -= n;
        if (FFill == size) {
            FRecordTarget->Write(FBlock.data(), size);  // one whole buffer in one write
            FFill = 0;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// TPlayFileThread

std::int32_t VoiceBacklogBytes(const TWaveFormat& Format) {
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(Format.AvgBytesPerSec) * kVoiceBacklogMs / 1000;
    const std::uint64_t sample = std::max<std::uint16_t>(Format.BlockAlign, 1);
    return static_cast<std::int32_t>(std::min<std::uint64_t>(bytes / sample * sample, INT32_MAX));
}

TPlayFileThread::TPlayFileThread(std::int32_t BlockSize, const TWaveFormat& Format,
                                 std::unique_ptr<TAudioOutput> Output, TErrorLog OnError,
                                 std::uint32_t StallMarginMs)
    : FPlayFormat(PlaybackFormat(Format)),
      FBlockSize(BlockSize),
      FOutput(std::move(Output)),
      FOnError(std::move(OnError)),
      FStallMarginMs(StallMarginMs) {
    if (!FOutput) {
        throw std::invalid_argument("TPlayFileThread needs an output device");
    }
    if (BlockSize <= 0) {
        throw std::invalid_argument("TPlayFileThread needs a positive block size");
    }
    FBlock.resize(static_cast<std::size_t>(BlockSize));
    FMixer.SetSourceLimit(VoiceBacklogBytes(Format), std::max<std::int32_t>(Format.BlockAlign, 1));
    // Voice arriving while the last block of a burst is still on its way to the speaker goes on
    // in the same burst: the write cuts the wait for it short. The output outlives the mixer.
    FMixer.OnWrite = [output = FOutput.get()](TMyBuffer*) { output->WakeWaitHeard(); };
}

TPlayFileThread::~TPlayFileThread() {
    Terminate();
    WaitFor();
}

void TPlayFileThread::TerminateRequested() {
    FMixer.Terminate();
}

void TPlayFileThread::Execute() {
    while (!Terminated()) {
        if (FMixer.WaitForData()) {
            PlayBurst();
        }
    }
}

void TPlayFileThread::PlayBurst() {
    const TAudioStatus opened = FOutput->Open(FPlayFormat);
    if (opened != asOk) {
        ReportError(PlayErrorMessage(TPlayStep::Open, opened));
        DropWaiting();  // the next voice to arrive tries again
        return;
    }

    bool played = false;   // a block reached the device in this burst
    bool pending = false;  // the last block written has not been heard yet
    bool failed = false;
    std::int32_t last = 0;  // bytes of the last block written
    for (;;) {
        // The next block is taken while the one before it plays; once terminated, nothing more
        // is taken and what was written is still let be heard.
        std::int32_t n = 0;
        if (!Terminated() && FMixer.Size() > 0) {
            n = FMixer.Read(FBlock.data(), FBlockSize);
        }
        if (n > 0) {
            // One block at the device: the next goes only when the one before is done.
            if (pending && !FOutput->WaitDone(PlayTimeMs(FPlayFormat, last) + FStallMarginMs)) {
                failed = true;
                break;
            }
            if (FOutput->Write(FBlock.data(), n) != asOk) {
                failed = true;
                break;
            }
            played = pending = true;
            last = n;
            continue;
        }
        if (!pending) {
            break;  // everything written has been heard and the mixer is dry
        }
        bool moreVoice = false;
        if (!WaitLastHeard(last, &moreVoice)) {
            failed = true;
            break;
        }
        if (!moreVoice) {
            pending = false;
        }
    }

    if (failed) {
        ReportError(PlayErrorMessage(TPlayStep::Play, asError));
        DropWaiting();
    } else if (played) {
        FLastError.clear();
    }
    const TAudioStatus closed = FOutput->Close();
    if (closed != asOk) {
        ReportError(PlayErrorMessage(TPlayStep::Close, closed));
    }
}

bool TPlayFileThread::WaitLastHeard(std::int32_t LastBlock, bool* MoreVoice) {
    using TClock = std::chrono::steady_clock;
    const auto deadline = TClock::now() + std::chrono::milliseconds(
                                              PlayTimeMs(FPlayFormat, LastBlock) + FStallMarginMs);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
        const THeardWait heard =
            FOutput->WaitHeard(static_cast<std::uint32_t>(std::max<std::int64_t>(left.count(), 0)));
        if (heard == THeardWait::Heard) {
            return true;
        }
        if (heard == THeardWait::NotHeard) {
            return false;  // stalled or failed
        }
        // Woken by a write into the mixer (possibly one whose voice has been played already).
        // Voice that arrives while the tail plays goes on in the same burst, without closing.
        if (!Terminated() && FMixer.Size() > 0) {
            *MoreVoice = true;
            return true;
        }
    }
}

void TPlayFileThread::DropWaiting() {
    std::int32_t remaining = FMixer.Size();
    while (remaining > 0) {
        const std::int32_t n = FMixer.Read(FBlock.data(), std::min(remaining, FBlockSize));
        if (n <= 0) {
            break;
        }
        remaining -= n;
    }
}

void TPlayFileThread::ReportError(const std::string& Message) {
    if (Message == FLastError) {
        return;
    }
    FLastError = Message;
    if (FOnError) {
        try {
            FOnError(Message);
        } catch (...) {
            // A failing log must not stop the playback.
        }
    }
}

}  // namespace vox
