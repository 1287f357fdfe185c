#include "audio/QtAudioDevice.h"

#include <fcntl.h>
#include <unistd.h>
#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QAudioSource>
#include <QByteArray>
#include <QCoreApplication>
#include <QIODevice>
#include <QMediaDevices>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace vox {

namespace {

using TClock = std::chrono::steady_clock;

// One call carried over to the audio thread: the caller waits on it, the audio thread marks it
// finished. Shared, because a caller that gave up may be gone when the call finally runs.
class TCallState {
  public:
    void Finish() {
        {
            std::lock_guard lock(FLock);
            FDone = true;
        }
        FChanged.notify_all();
    }
    bool WaitFor(std::uint32_t TimeoutMs) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                 [this] { return FDone; });
    }

  private:
    std::mutex FLock;
    std::condition_variable FChanged;
    bool FDone = false;
};

// The thread on which every Qt audio object of the process lives, with its event loop. Made
// on first use, stopped when the QCoreApplication is destroyed. Qt's PulseAudio engine is
// made on it too, so its reconnection timer keeps working while the user-interface thread is
// busy.
//
// Calls reach it through a queue of its own and a wake-up pipe watched by the loop, so that
// nothing a caller hands over passes through Qt's event queue.
}  // namespace

class TQtAudioThread {
  public:
    TQtAudioThread() : FLoop(this) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error("cannot make the audio thread's wake-up pipe");
        }
        FWakeRead = fds[0];
        FWakeWrite = fds[1];
        FLoop.setObjectName(QStringLiteral("vox-audio"));
        FLoop.start();
    }

    ~TQtAudioThread() {
        Stop();
        ::close(FWakeRead);
        ::close(FWakeWrite);
    }

    TQtAudioThread(const TQtAudioThread&) = delete;
    TQtAudioThread& operator=(const TQtAudioThread&) = delete;

    // Runs Fn on the audio thread and waits at most TimeoutMs for it; false when it has not
    // run by then (it may still run later, so Fn must own what it uses). On the audio thread
    // itself Fn runs at once. Once the thread has been stopped, Fn runs on the caller's thread,
    // one call at a time.
    bool Call(std::function<void()> Fn, std::uint32_t TimeoutMs) {
        if (QThread::currentThread() == &FLoop) {
            Fn();
            return true;
        }
        if (!FLoop.isRunning()) {
            std::lock_guard lock(FOrphanLock);
            Fn();
            return true;
        }
        auto state = std::make_shared<TCallState>();
        {
            std::lock_guard lock(FQueueLock);
            FQueue.push_back({std::move(Fn), state});
        }
        const char wake = 1;
        (void)!::write(FWakeWrite, &wake, 1);  // a full pipe wakes the loop all the same
        return state->WaitFor(TimeoutMs);
    }

  private:
    struct TPending {
        std::function<void()> Fn;
        std::shared_ptr<TCallState> State;
    };

    class TLoop : public QThread {
      public:
        explicit TLoop(TQtAudioThread* Owner) : FOwner(Owner) {}

      protected:
        void run() override {
            QSocketNotifier wake(static_cast<qintptr>(FOwner->FWakeRead), QSocketNotifier::Read);
            QObject::connect(&wake, &QSocketNotifier::activated, &wake,
                             [owner = FOwner] { owner->RunQueued(); });
            FOwner->RunQueued();
            exec();
        }

      private:
        TQtAudioThread* const FOwner;
    };

    void RunQueued() {
        char drain[64];
        while (::read(FWakeRead, drain, sizeof drain) > 0) {
        }
        for (;;) {
            TPending pending;
            {
                std::lock_guard lock(FQueueLock);
                if (FQueue.empty()) {
                    return;
                }
                pending = std::move(FQueue.front());
                FQueue.pop_front();
            }
            pending.Fn();
            pending.State->Finish();
        }
    }

    void Stop() {
        if (FLoop.isRunning()) {
            FLoop.quit();
            FLoop.wait();
        }
        // Calls that came too late for the loop run here rather than keep their callers
        // waiting.
        std::lock_guard lock(FOrphanLock);
        RunQueued();
    }

    int FWakeRead = -1;
    int FWakeWrite = -1;
    std::mutex FQueueLock;
    std::deque<TPending> FQueue;
    std::mutex FOrphanLock;
    TLoop FLoop;
};

std::shared_ptr<TQtAudioThread> StartQtAudioThread() {
    if (QCoreApplication::instance() == nullptr) {
        return nullptr;
    }
    auto thread = std::make_shared<TQtAudioThread>();
    // The device list, and with it Qt's connection to the sound server, is made on the audio
    // thread.
    thread->Call([] { (void)QMediaDevices::audioOutputs(); }, kQtAudioCallTimeoutMs);
    return thread;
}

bool CallOnQtAudioThread(TQtAudioThread& Thread, std::function<void()> Fn,
                         std::uint32_t TimeoutMs) {
    return Thread.Call(std::move(Fn), TimeoutMs);
}

namespace {

// Qt's sample format for a wave format; false when Qt has none.
bool ToQtFormat(const TWaveFormat& Format, QAudioFormat* Out) {
    if (Format.FormatTag != 1 || Format.Channels == 0 || Format.SamplesPerSec == 0) {
        return false;
    }
    QAudioFormat::SampleFormat sample = QAudioFormat::Unknown;
    switch (Format.BitsPerSample) {
        case 8:
            sample = QAudioFormat::UInt8;
            break;
        case 16:
            sample = QAudioFormat::Int16;
            break;
        case 32:
            sample = QAudioFormat::Int32;
            break;
        default:
            return false;
    }
    if (Format.BlockAlign != 0 && Format.BlockAlign != Format.Channels * Format.BitsPerSample / 8) {
        return false;
    }
    Out->setSampleFormat(sample);
    Out->setChannelCount(Format.Channels);
    Out->setSampleRate(static_cast<int>(Format.SamplesPerSec));
    return true;
}

TAudioStatus StatusOf(QAudio::Error Error) {
    switch (Error) {
        case QAudio::NoError:
        case QAudio::UnderrunError:
            return asOk;
        case QAudio::FatalError:  // no connection to the sound server
            return asBadDeviceId;
        default:
            return asError;
    }
}

std::int32_t FrameBytes(const TWaveFormat& Format) {
    return std::max(1, Format.Channels * Format.BitsPerSample / 8);
}

double BytesPerMs(const TWaveFormat& Format) {
    return static_cast<double>(Format.SamplesPerSec) * FrameBytes(Format) / 1000.0;
}

// Whole frames for Ms milliseconds of Format, at least one frame.
std::int32_t BytesFor(const TWaveFormat& Format, std::uint32_t Ms) {
    const std::int32_t frame = FrameBytes(Format);
    const auto bytes = static_cast<std::int32_t>(BytesPerMs(Format) * Ms);
    return std::max(frame, bytes / frame * frame);
}

TClock::duration DurationOf(const TWaveFormat& Format, std::int64_t Bytes) {
    const double ms = static_cast<double>(Bytes) / BytesPerMs(Format);
    return std::chrono::duration_cast<TClock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

std::uint32_t RemainingMs(TClock::time_point Deadline) {
    const auto left = Deadline - TClock::now();
    if (left <= TClock::duration::zero()) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

std::string Utf8Of(const QString& Text) {
    return Text.toUtf8().toStdString();
}

// The device an open of Direction uses: the chosen one while the system lists it, else the
// default (null when there is none). On the audio thread.
QAudioDevice ChosenDevice(TQtDeviceChoice* Choice, TAudioDirection Direction) {
    std::string id;
    if (Choice != nullptr) {
        std::lock_guard lock(Choice->Lock);
        id = Direction == TAudioDirection::Input ? Choice->InputId : Choice->OutputId;
    }
    if (!id.empty()) {
        const QList<QAudioDevice> devices = Direction == TAudioDirection::Input
                                                ? QMediaDevices::audioInputs()
                                                : QMediaDevices::audioOutputs();
        for (const QAudioDevice& device : devices) {
            if (device.id().toStdString() == id) {
                return device;
            }
        }
    }
    return Direction == TAudioDirection::Input ? QMediaDevices::defaultAudioInput()
                                               : QMediaDevices::defaultAudioOutput();
}

// The device chosen now for Direction and the Qt form of WaveFormat, when the device can take
// it; otherwise why not. On the audio thread.
TAudioStatus UsableDevice(TQtDeviceChoice* Choice, TAudioDirection Direction,
                          const TWaveFormat& WaveFormat, QAudioDevice& Device,
                          QAudioFormat& Format) {
    if (!ToQtFormat(WaveFormat, &Format)) {
        return asBadFormat;
    }
    Device = ChosenDevice(Choice, Direction);
    if (Device.isNull()) {
        return asBadDeviceId;
    }
    return Device.isFormatSupported(Format) ? asOk : asBadFormat;
}

bool IsListed(const QByteArray& Id, TAudioDirection Direction) {
    const QList<QAudioDevice> devices = Direction == TAudioDirection::Input
                                            ? QMediaDevices::audioInputs()
                                            : QMediaDevices::audioOutputs();
    return std::any_of(devices.begin(), devices.end(),
                       [&Id](const QAudioDevice& device) { return device.id() == Id; });
}

// While a device is open, whether the system still lists it is looked at every
// kQtDeviceCheckMs (Qt tells of a stream whose device went away only for some devices, and of
// changes to its lists not at all on some systems); Lost runs once when it is gone. The timer
// is a child of Anchor and replaces the one before it.
void WatchDevice(QObject* Anchor, QPointer<QTimer>& Watch, const QByteArray& Id,
                 TAudioDirection Direction, const std::function<void()>& Lost) {
    delete Watch.data();
    auto* timer = new QTimer(Anchor);
    Watch = timer;
    timer->setInterval(static_cast<int>(kQtDeviceCheckMs));
    QObject::connect(timer, &QTimer::timeout, timer, [timer, Id, Direction, Lost] {
        if (!IsListed(Id, Direction)) {
            timer->stop();
            Lost();
        }
    });
    timer->start();
}

// Hands a log line to the choice's owner (outside the choice's lock).
void Announce(TQtDeviceChoice* Choice, const std::string& Line) {
    if (Choice == nullptr) {
        return;
    }
    std::function<void(const std::string&)> onEvent;
    {
        std::lock_guard lock(Choice->Lock);
        onEvent = Choice->OnEvent;
    }
    if (onEvent) {
        onEvent(Line);
    }
}

// The log line of a device lost while open and the one that took over.
std::string SwitchedLine(TAudioDirection Direction, const std::string& Lost,
                         const std::string& Now) {
    const char* kind = Direction == TAudioDirection::Input ? "マイク" : "スピーカー";
    return std::string(kind) + "「" + Lost + "」が使えなくなったため、「" + Now +
           "」に切り替えました。";
}

std::string LostLine(TAudioDirection Direction, const std::string& Lost) {
    const char* kind = Direction == TAudioDirection::Input ? "マイク" : "スピーカー";
    return std::string(kind) + "「" + Lost + "」が使えなくなり、代わりの装置も見つかりません。";
}

// One try at replacing the lost device of an open input or output (Core): its stream is
// dropped (DropStream) and another opened on the device chosen now (Reopen); when that fails
// it is tried again after a pause (Core.Replace), up to kQtDeviceRetries times, then given up
// and the device marked lost. Replaced runs either way once it is decided; the log line says
// which device took over, or that none did. On the audio thread.
template <class TCore>
void ReplaceLostDevice(TCore& Core, TAudioDirection Direction) {
    std::string lost;
    {
        std::lock_guard lock(Core.Lock);
        if (!Core.Open) {
            return;
        }
        lost = Core.Device;
    }
    Core.DropStream();
    if (Core.Reopen() == asOk) {
        Core.Replacing = false;
        std::string now;
        {
            std::lock_guard lock(Core.Lock);
            now = Core.Device;
        }
        Core.Replaced();
        Announce(Core.Choice.get(), SwitchedLine(Direction, lost, now));
        return;
    }
    if (++Core.Retries < kQtDeviceRetries) {
        QTimer::singleShot(kQtDeviceRetryMs, Core.Anchor.get(), [&Core] { Core.Replace(); });
        return;
    }
    Core.Replacing = false;
    {
        std::lock_guard lock(Core.Lock);
        Core.Lost = true;
    }
    Core.Replaced();
    Announce(Core.Choice.get(), LostLine(Direction, lost));
}

}  // namespace

std::optional<std::vector<TAudioDeviceInfo>> QtAudioDevices(TQtAudioThread* Thread,
                                                            TAudioDirection Direction,
                                                            std::uint32_t CallTimeoutMs) {
    if (Thread == nullptr) {
        return std::vector<TAudioDeviceInfo>{};
    }
    auto result = std::make_shared<std::vector<TAudioDeviceInfo>>();
    auto lock = std::make_shared<std::mutex>();
    const bool served = Thread->Call(
        [result, lock, Direction] {
            const bool input = Direction == TAudioDirection::Input;
            const QList<QAudioDevice> devices =
                input ? QMediaDevices::audioInputs() : QMediaDevices::audioOutputs();
            const QAudioDevice fallback =
                input ? QMediaDevices::defaultAudioInput() : QMediaDevices::defaultAudioOutput();
            std::vector<TAudioDeviceInfo> list;
            for (const QAudioDevice& device : devices) {
                TAudioDeviceInfo info;
                info.Id = device.id().toStdString();
                info.Description = Utf8Of(device.description());
                info.IsDefault = !fallback.isNull() && device.id() == fallback.id();
                list.insert(info.IsDefault ? list.begin() : list.end(), std::move(info));
            }
            std::lock_guard guard(*lock);
            *result = std::move(list);
        },
        CallTimeoutMs);
    if (!served) {
        return std::nullopt;
    }
    std::lock_guard guard(*lock);
    return *result;
}

TQtAudioFormatInfo QtAudioFormatInfo(TQtAudioThread* Thread, const TWaveFormat& Format,
                                     std::uint32_t CallTimeoutMs) {
    TQtAudioThread* thread = Thread;
    if (thread == nullptr) {
        return {};
    }
    auto info = std::make_shared<TQtAudioFormatInfo>();
    auto lock = std::make_shared<std::mutex>();
    const bool served = thread->Call(
        [info, lock, Format] {
            TQtAudioFormatInfo result;
            QAudioFormat format;
            result.Expressible = ToQtFormat(Format, &format);
            const QAudioDevice input = QMediaDevices::defaultAudioInput();
            const QAudioDevice output = QMediaDevices::defaultAudioOutput();
            result.HasInput = !input.isNull();
            result.HasOutput = !output.isNull();
            result.InputSupported =
                result.Expressible && result.HasInput && input.isFormatSupported(format);
            result.OutputSupported =
                result.Expressible && result.HasOutput && output.isFormatSupported(format);
            std::lock_guard guard(*lock);
            *info = result;
        },
        CallTimeoutMs);
    if (!served) {
        return {};
    }
    std::lock_guard guard(*lock);
    return *info;
}

// ---------------------------------------------------------------------------------------------
// TQtAudioInput

struct TQtAudioInput::TCore {
    // The device object holds the thread alive; the calls run while it does.
    TQtAudioThread* Thread = nullptr;

    // Touched on the audio thread only.
    std::unique_ptr<QAudioSource> Source;
    // Made by Source's start; Qt deletes it when the stream ends, also when the server is lost.
    QPointer<QIODevice> Io;
    TDataHandler OnData;
    bool Capturing = false;
    std::vector<char> Scratch = std::vector<char>(4096);

    // Set before the first open; the format and period of the open stream.
    std::shared_ptr<TQtDeviceChoice> Choice;
    TWaveFormat Format;
    std::uint32_t PeriodMs = kQtInputPeriodMs;
    // Made on the audio thread by an open: the timers of a device's replacement run on it.
    std::unique_ptr<QObject> Anchor;
    QPointer<QTimer> Watch;
    int Retries = 0;
    bool Replacing = false;

    // Shared with the calling thread.
    mutable std::mutex Lock;
    bool Open = false;
    bool Lost = false;  // the device failed after it was opened
    std::int32_t Buffer = 0;
    std::string Device;  // description of the device open now

    TCore() = default;
    TCore(const TCore&) = delete;
    TCore& operator=(const TCore&) = delete;
    ~TCore() { Release(); }

    // Makes and starts the source on the device chosen now. On the audio thread.
    TAudioStatus OpenSource() {
        QAudioFormat format;
        QAudioDevice device;
        if (const TAudioStatus status =
                UsableDevice(Choice.get(), TAudioDirection::Input, Format, device, format);
            status != asOk) {
            return status;
        }
        Source = std::make_unique<QAudioSource>(device, format);
        Source->setBufferSize(BytesFor(Format, PeriodMs));
        QAudioSource* source = Source.get();
        QObject::connect(
            source, &QAudioSource::stateChanged, source, [this, source](QAudio::State state) {
                if (state == QAudio::StoppedState && source->error() != QAudio::NoError) {
                    DeviceFailed();
                }
            });
        if (!StartStream()) {
            const TAudioStatus failed = StatusOf(Source->error());
            StopStream();
            Source.reset();
            return failed == asOk ? asError : failed;
        }
        if (Anchor) {
            WatchDevice(Anchor.get(), Watch, device.id(), TAudioDirection::Input,
                        [this] { DeviceFailed(); });
        }
        std::lock_guard lock(Lock);
        Buffer = static_cast<std::int32_t>(Source->bufferSize());
        Device = Utf8Of(device.description());
        return asOk;
    }

    // The open device failed (unplugged, say): another takes over after a pause, capturing
    // on if it was. On the audio thread, inside the failing source's signal.
    void DeviceFailed() {
        if (!Anchor) {
            std::lock_guard lock(Lock);
            Lost = true;
            return;
        }
        if (Replacing) {
            return;
        }
        Replacing = true;
        Retries = 0;
        ResumeCapture = Capturing;
        QTimer::singleShot(kQtDeviceRetryMs, Anchor.get(), [this] { Replace(); });
    }

    bool ResumeCapture = false;

    void Replace() { ReplaceLostDevice(*this, TAudioDirection::Input); }
    // The parts of a replacement (ReplaceLostDevice).
    void DropStream() {
        Capturing = false;
        if (Source) {
            Source->disconnect();
            Source->stop();
            Source.reset();
        }
        Io = nullptr;
    }
    TAudioStatus Reopen() {
        const TAudioStatus opened = OpenSource();
        if (opened == asOk) {
            Capturing = ResumeCapture;
        }
        return opened;
    }
    void Replaced() {}

    // Reads what the device holds; hands it over while capturing, drops it otherwise.
    void ReadAvailable(bool Deliver) {
        while (!Io.isNull()) {
            const qint64 n = Io->read(Scratch.data(), static_cast<qint64>(Scratch.size()));
            if (n <= 0) {
                break;
            }
            if (Deliver && Capturing && OnData) {
                OnData(reinterpret_cast<const std::uint8_t*>(Scratch.data()),
                       static_cast<std::int32_t>(n));
            }
        }
    }

    // Starts the stream of the open source; false when Qt refuses.
    bool StartStream() {
        QIODevice* io = Source->start();
        if (io == nullptr || Source->state() == QAudio::StoppedState) {
            return false;
        }
        Io = io;
        QObject::connect(io, &QIODevice::readyRead, io, [this] { ReadAvailable(true); });
        return true;
    }

    void StopStream() {
        Capturing = false;
        if (Source) {
            Source->stop();
        }
        Io = nullptr;
    }

    void Release() {
        StopStream();
        Source.reset();
        Anchor.reset();
        OnData = nullptr;
        std::lock_guard lock(Lock);
        Device.clear();
    }
};

TQtAudioInput::TQtAudioInput(std::shared_ptr<TQtAudioThread> Thread, std::uint32_t PeriodMs,
                             std::uint32_t CallTimeoutMs)
    : FThread(std::move(Thread)),
      FPeriodMs(std::max<std::uint32_t>(PeriodMs, 1)),
      FCallTimeoutMs(CallTimeoutMs),
      FCore(std::make_shared<TCore>()) {}

TQtAudioInput::~TQtAudioInput() {
    bool open;
    {
        std::lock_guard lock(FCore->Lock);
        open = FCore->Open;
    }
    if (open) {
        (void)TQtAudioInput::Close();  // its own: any derived part has ended already
    }
}

TAudioStatus TQtAudioInput::Open(const TWaveFormat& Format, std::int32_t, TDataHandler OnData) {
    {
        std::lock_guard lock(FCore->Lock);
        if (FCore->Open) {
            return asAllocated;
        }
    }
    TQtAudioThread* thread = FThread.get();
    if (thread == nullptr) {
        return asError;
    }
    FCore->Thread = thread;
    auto core = FCore;
    auto status = std::make_shared<TAudioStatus>(asError);
    const std::uint32_t periodMs = FPeriodMs;
    const bool served = thread->Call(
        [core, status, Format, periodMs, onData = std::move(OnData)]() mutable {
            core->Format = Format;
            core->PeriodMs = periodMs;
            core->Anchor = std::make_unique<QObject>();
            core->Replacing = false;
            const TAudioStatus opened = core->OpenSource();
            if (opened != asOk) {
                core->Release();
                *status = opened;
                return;
            }
            core->OnData = std::move(onData);
            core->Capturing = false;
            std::lock_guard lock(core->Lock);
            core->Open = true;
            core->Lost = false;
            *status = asOk;
        },
        FCallTimeoutMs);
    if (!served) {
        // The open may still happen; release whatever it makes.
        thread->Call(
            [core] {
                core->Release();
                std::lock_guard lock(core->Lock);
                core->Open = false;
            },
            0);
        return asError;
    }
    return *status;
}

TAudioStatus TQtAudioInput::Start() {
    {
        std::lock_guard lock(FCore->Lock);
        if (!FCore->Open) {
            return asInvalidHandle;
        }
        if (FCore->Lost) {
            return asError;
        }
    }
    auto core = FCore;
    auto status = std::make_shared<TAudioStatus>(asError);
    const bool served = core->Thread->Call(
        [core, status] {
            if (!core->Source) {
                *status = asInvalidHandle;
                return;
            }
            if (core->Io.isNull() && !core->StartStream()) {
                *status = asError;
                return;
            }
            core->ReadAvailable(false);  // captured before the start: not wanted
            core->Capturing = true;
            *status = asOk;
        },
        FCallTimeoutMs);
    return served ? *status : asError;
}

TAudioStatus TQtAudioInput::Stop() {
    {
        std::lock_guard lock(FCore->Lock);
        if (!FCore->Open) {
            return asInvalidHandle;
        }
    }
    // What reached the microphone just before now is still on its way: at most one period.
    std::this_thread::sleep_for(std::chrono::milliseconds(FPeriodMs));
    auto core = FCore;
    auto status = std::make_shared<TAudioStatus>(asError);
    const bool served = core->Thread->Call(
        [core, status] {
            core->ReadAvailable(true);
            core->StopStream();
            std::lock_guard lock(core->Lock);
            *status = core->Lost ? asError : asOk;
        },
        FCallTimeoutMs);
    return served ? *status : asError;
}

TAudioStatus TQtAudioInput::Close() {
    {
        std::lock_guard lock(FCore->Lock);
        if (!FCore->Open) {
            return asInvalidHandle;
        }
    }
    auto core = FCore;
    const bool served = core->Thread->Call(
        [core] {
            core->Release();
            std::lock_guard lock(core->Lock);
            core->Open = false;
            core->Lost = false;
            core->Buffer = 0;
        },
        FCallTimeoutMs);
    if (!served) {
        std::lock_guard lock(core->Lock);
        core->Open = false;  // the release follows when the audio thread gets to it
        return asError;
    }
    return asOk;
}

std::int32_t TQtAudioInput::BufferBytes() const {
    std::lock_guard lock(FCore->Lock);
    return FCore->Buffer;
}

void TQtAudioInput::SetChoice(std::shared_ptr<TQtDeviceChoice> Choice) {
    FCore->Choice = std::move(Choice);
}

std::string TQtAudioInput::DeviceInUse() const {
    std::lock_guard lock(FCore->Lock);
    return FCore->Device;
}

// ---------------------------------------------------------------------------------------------
// TQtAudioOutput

struct TQtAudioOutput::TCore {
    // The device object holds the thread alive; the calls run while it does.
    TQtAudioThread* Thread = nullptr;

    // Touched on the audio thread only.
    std::unique_ptr<QAudioSink> Sink;
    // Made by Sink's start; Qt deletes it when the stream ends, also when the server is lost.
    QPointer<QIODevice> Io;

    // Set before the first open; the buffer asked for.
    std::shared_ptr<TQtDeviceChoice> Choice;
    std::uint32_t BufferMs = kQtOutputBufferMs;
    // Made on the audio thread by an open: the timers of a device's replacement run on it.
    std::unique_ptr<QObject> Anchor;
    QPointer<QTimer> Watch;
    int Retries = 0;
    bool Replacing = false;  // a lost device waits for its replacement: writes are dropped

    // Shared with the calling thread.
    mutable std::mutex Lock;
    std::condition_variable Changed;
    std::string Device;  // description of the device open now
    bool Open = false;
    bool Lost = false;       // the device failed after it was opened
    bool WakeHeard = false;  // WakeWaitHeard() not yet used up by a wait
    TWaveFormat Format;
    std::int32_t Buffer = 0;     // bytes of the sink's buffer
    TClock::time_point PlayEnd;  // when what was written has been played out, by the wall clock
    std::int64_t Written = 0;    // bytes handed to the sink since the open, silence included
    std::int64_t Padded = 0;

    TCore() = default;
    TCore(const TCore&) = delete;
    TCore& operator=(const TCore&) = delete;
    ~TCore() { Release(); }

    void Release() {
        if (Sink) {
            Sink->disconnect();
            Sink->stop();
            Sink.reset();
        }
        Io = nullptr;
        Anchor.reset();
        Replacing = false;
        std::lock_guard lock(Lock);
        Device.clear();
    }

    TAudioStatus OpenSink(const TWaveFormat& WaveFormat) {
        QAudioFormat format;
        QAudioDevice device;
        if (const TAudioStatus status =
                UsableDevice(Choice.get(), TAudioDirection::Output, WaveFormat, device, format);
            status != asOk) {
            return status;
        }
        Sink = std::make_unique<QAudioSink>(device, format);
        Sink->setBufferSize(BytesFor(WaveFormat, BufferMs));
        QAudioSink* sink = Sink.get();
        QObject::connect(sink, &QAudioSink::stateChanged, sink, [this, sink](QAudio::State state) {
            if (state == QAudio::StoppedState && sink->error() != QAudio::NoError) {
                DeviceFailed();
            }
        });
        QIODevice* io = Sink->start();
        if (io == nullptr || Sink->state() == QAudio::StoppedState) {
            const TAudioStatus failed = StatusOf(Sink->error());
            Sink->disconnect();
            Sink.reset();
            Io = nullptr;
            return failed == asOk ? asError : failed;
        }
        Io = io;
        if (!Anchor) {
            Anchor = std::make_unique<QObject>();
        }
        WatchDevice(Anchor.get(), Watch, device.id(), TAudioDirection::Output,
                    [this] { DeviceFailed(); });
        std::lock_guard lock(Lock);
        Open = true;
        Lost = false;
        Format = WaveFormat;
        Buffer = static_cast<std::int32_t>(Sink->bufferSize());
        PlayEnd = TClock::now();
        Written = 0;
        Device = Utf8Of(device.description());
        return asOk;
    }

    // The open device failed (unplugged, say): another takes over after a pause; what the
    // lost one had not played is lost. On the audio thread, inside the failing sink's signal.
    void DeviceFailed() {
        if (!Anchor || Replacing) {
            return;
        }
        Replacing = true;
        Retries = 0;
        QTimer::singleShot(kQtDeviceRetryMs, Anchor.get(), [this] { Replace(); });
    }

    void Replace() { ReplaceLostDevice(*this, TAudioDirection::Output); }
    // The parts of a replacement (ReplaceLostDevice).
    void DropStream() {
        if (Sink) {
            Sink->disconnect();
            Sink->stop();
            Sink.reset();
        }
        Io = nullptr;
    }
    TAudioStatus Reopen() {
        TWaveFormat format;
        {
            std::lock_guard lock(Lock);
            format = Format;
        }
        return OpenSink(format);
    }
    // Writers and waiters look again: the device is back, or lost for good.
    void Replaced() { Changed.notify_all(); }

    TAudioStatus WriteSink(const std::vector<std::uint8_t>& Bytes) {
        if (Replacing) {
            // Lost with the device: played by the clock only, so the burst keeps its pace.
            {
                std::lock_guard lock(Lock);
                PlayEnd = std::max(PlayEnd, TClock::now()) +
                          DurationOf(Format, static_cast<std::int64_t>(Bytes.size()));
            }
            Changed.notify_all();
            return asOk;
        }
        if (!Sink) {
            return asInvalidHandle;
        }
        if (Io.isNull()) {
            return asError;  // the stream has ended under us
        }
        const auto now = TClock::now();
        // After an underrun (and before the first block) the sink is idle and the server waits
        // for a buffer's worth before it plays again: a shorter block gets silence behind it.
        const bool idle = Sink->state() != QAudio::ActiveState;
        TClock::time_point start;
        std::int32_t pad = 0;
        std::uint8_t silence = 0;
        {
            std::lock_guard lock(Lock);
            start = idle ? now : std::max(PlayEnd, now);
            const bool dry = idle || (start - now) < DurationOf(Format, Buffer);
            const auto count = static_cast<std::int32_t>(Bytes.size());
            if (dry && count < Buffer) {
                const std::int32_t frame = FrameBytes(Format);
                pad = (Buffer - count + frame - 1) / frame * frame;
            }
            silence = Format.BitsPerSample == 8 ? 128 : 0;
        }
        QByteArray block(reinterpret_cast<const char*>(Bytes.data()),
                         static_cast<qsizetype>(Bytes.size()));
        if (pad > 0) {
            block.append(pad, static_cast<char>(silence));
        }
        qint64 written = Io->write(block);
        if (written < 0) {
            written = 0;
        }
        {
            std::lock_guard lock(Lock);
            PlayEnd = start + DurationOf(Format, written);
            Written += written;
            if (written == block.size()) {
                Padded += pad;
            }
        }
        Changed.notify_all();
        return written == block.size() ? asOk : asError;
    }
};

TQtAudioOutput::TQtAudioOutput(std::shared_ptr<TQtAudioThread> Thread, std::uint32_t BufferMs,
                               std::uint32_t LowWaterMs, std::uint32_t HeardMarginMs,
                               std::uint32_t CallTimeoutMs)
    : FThread(std::move(Thread)),
      FBufferMs(std::max<std::uint32_t>(BufferMs, 1)),
      FLowWaterMs(LowWaterMs),
      FHeardMarginMs(HeardMarginMs),
      FCallTimeoutMs(CallTimeoutMs),
      FCore(std::make_shared<TCore>()) {}

TQtAudioOutput::~TQtAudioOutput() {
    bool open;
    {
        std::lock_guard lock(FCore->Lock);
        open = FCore->Open;
    }
    if (open) {
        (void)TQtAudioOutput::Close();  // its own: any derived part has ended already
    }
}

TAudioStatus TQtAudioOutput::Open(const TWaveFormat& Format) {
    {
        std::lock_guard lock(FCore->Lock);
        if (FCore->Open) {
            return asAllocated;
        }
    }
    TQtAudioThread* thread = FThread.get();
    if (thread == nullptr) {
        return asError;
    }
    FCore->Thread = thread;
    auto core = FCore;
    auto status = std::make_shared<TAudioStatus>(asError);
    core->BufferMs = FBufferMs;
    const bool served = thread->Call(
        [core, status, Format] {
            *status = core->OpenSink(Format);
            if (*status != asOk) {
                core->Release();
            }
        },
        FCallTimeoutMs);
    if (!served) {
        // The open may still happen; release whatever it makes.
        thread->Call(
            [core] {
                core->Release();
                {
                    std::lock_guard lock(core->Lock);
                    core->Open = false;
                }
                core->Changed.notify_all();
            },
            0);
        return asError;
    }
    return *status;
}

TAudioStatus TQtAudioOutput::Write(const void* Data, std::int32_t Count) {
    {
        std::lock_guard lock(FCore->Lock);
        if (!FCore->Open) {
            return asInvalidHandle;
        }
        if (FCore->Lost) {
            return asError;
        }
    }
    if (Count <= 0) {
        return asOk;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(Data);
    auto block = std::make_shared<const std::vector<std::uint8_t>>(bytes, bytes + Count);
    auto core = FCore;
    auto status = std::make_shared<TAudioStatus>(asError);
    const bool served = core->Thread->Call(
        [core, block, status] { *status = core->WriteSink(*block); }, FCallTimeoutMs);
    return served ? *status : asError;
}

bool TQtAudioOutput::WaitDone(std::uint32_t TimeoutMs) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
    const auto lowWater = std::chrono::milliseconds(FLowWaterMs);
    std::unique_lock lock(FCore->Lock);
    for (;;) {
        if (!FCore->Open) {
            return true;
        }
        if (FCore->Lost) {
            return false;
        }
        const auto done = FCore->PlayEnd - lowWater;
        const auto now = TClock::now();
        if (now >= done) {
            return true;
        }
        if (now >= deadline) {
            return false;
        }
        FCore->Changed.wait_until(lock, std::min(done, deadline));
    }
}

THeardWait TQtAudioOutput::WaitHeard(std::uint32_t TimeoutMs) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
    // Every return uses up a wake-up given before it: the caller looks at what it was woken
    // for after any return.
    const auto ended = [](TCore& Core, THeardWait Result) {
        const bool woken = std::exchange(Core.WakeHeard, false);
        return Result == THeardWait::NotHeard && woken ? THeardWait::Woken : Result;
    };
    std::int64_t written = 0;
    double bytesPerMs = 0;
    {
        // By the wall clock first: the written sound played out, then the device's own delay.
        std::unique_lock lock(FCore->Lock);
        for (;;) {
            if (!FCore->Open) {
                return ended(*FCore, THeardWait::Heard);
            }
            if (FCore->Lost) {
                return ended(*FCore, THeardWait::NotHeard);
            }
            if (FCore->WakeHeard) {
                return ended(*FCore, THeardWait::Woken);
            }
            const auto heard = FCore->PlayEnd + DurationOf(FCore->Format, FCore->Buffer) +
                               std::chrono::milliseconds(FHeardMarginMs);
            const auto now = TClock::now();
            if (now >= heard) {
                written = FCore->Written;
                bytesPerMs = BytesPerMs(FCore->Format);
                break;
            }
            if (now >= deadline) {
                return ended(*FCore, THeardWait::NotHeard);
            }
            FCore->Changed.wait_until(lock, std::min(heard, deadline));
        }
    }
    // Then by the device's clock: what QAudioSink has processed must cover all of it (this
    // holds back a device that has fallen behind the wall clock). Qt tells no moment for it:
    // asked again every few milliseconds, only in this last stretch of a burst.
    constexpr qint64 kToleranceUs = 1000;
    auto core = FCore;
    for (;;) {
        auto processed = std::make_shared<std::atomic<qint64>>(-1);
        const bool served = core->Thread->Call(
            [core, processed] {
                if (core->Sink) {
                    processed->store(core->Sink->processedUSecs());
                }
            },
            std::max<std::uint32_t>(RemainingMs(deadline), 1));
        std::unique_lock lock(core->Lock);
        // A device replaced meanwhile counts from its own open.
        written = std::min(written, core->Written);
        const auto writtenUs =
            static_cast<qint64>(static_cast<double>(written) * 1000.0 / bytesPerMs);
        if (served && (processed->load() < 0 || processed->load() + kToleranceUs >= writtenUs)) {
            return ended(*core, THeardWait::Heard);  // closed meanwhile, or everything processed
        }
        if (core->Lost) {
            return ended(*core, THeardWait::NotHeard);
        }
        if (core->WakeHeard) {
            return ended(*core, THeardWait::Woken);
        }
        if (TClock::now() >= deadline) {
            return ended(*core, THeardWait::NotHeard);
        }
        core->Changed.wait_until(lock,
                                 std::min(deadline, TClock::now() + std::chrono::milliseconds(5)));
    }
}

void TQtAudioOutput::WakeWaitHeard() {
    {
        std::lock_guard lock(FCore->Lock);
        FCore->WakeHeard = true;
    }
    FCore->Changed.notify_all();
}

TAudioStatus TQtAudioOutput::Close() {
    {
        std::lock_guard lock(FCore->Lock);
        if (!FCore->Open) {
            return asInvalidHandle;
        }
    }
    auto core = FCore;
    const auto forget = [core] {
        {
            std::lock_guard lock(core->Lock);
            core->Open = false;
            core->Buffer = 0;
        }
        core->Changed.notify_all();
    };
    const bool served = core->Thread->Call(
        [core, forget] {
            core->Release();
            forget();
        },
        FCallTimeoutMs);
    if (!served) {
        forget();  // the release follows when the audio thread gets to it
        return asError;
    }
    return asOk;
}

std::int32_t TQtAudioOutput::BufferBytes() const {
    std::lock_guard lock(FCore->Lock);
    return FCore->Buffer;
}

std::int64_t TQtAudioOutput::PaddedBytes() const {
    std::lock_guard lock(FCore->Lock);
    return FCore->Padded;
}

void TQtAudioOutput::SetChoice(std::shared_ptr<TQtDeviceChoice> Choice) {
    FCore->Choice = std::move(Choice);
}

std::string TQtAudioOutput::DeviceInUse() const {
    std::lock_guard lock(FCore->Lock);
    return FCore->Device;
}

}  // namespace vox
