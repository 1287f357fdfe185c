// The Qt sound backend against a real PulseAudio server that the test program starts itself
// (scripts/pulse/test.pa): the program plays into the null sink "spk", whose monitor a pacat
// records; paplay speaks into the null sink "micfeed", whose remapped monitor "mic" is the
// default input. Figures measured on the way (latencies) are printed and recorded as test
// properties.
//
// The test thread is the application's main thread and never runs an event loop: every call
// here works while the user-interface thread is busy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AudioTestSupport.h"
#include "audio/QtAudioBackend.h"
#include "audio/QtAudioDevice.h"
#include "voice/Buffer.h"
#include "voice/Sound.h"

namespace vox {
namespace {

using namespace vox::testing;
using namespace std::chrono_literals;

const TWaveFormat kPlayFormat = PlaybackFormat(kVoiceFormat);  // 11576 samples per second
constexpr std::uint32_t kRecordRate = 11025;
// Sanitizer builds run the threads several times slower: the latency measured there is
// reported, and only a runaway fails.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kLatencySlackMs = 600;
#else
constexpr double kLatencySlackMs = 0;
#endif
constexpr std::uint32_t kPlayRate = 11576;
// How far the moment a sample reached a monitor can be misjudged.
constexpr double kTimingSlackMs = 5;

// ---- The application, the server, and the report -------------------------------------------

std::unique_ptr<TPrivatePulse>& SharedServerSlot() {
    static std::unique_ptr<TPrivatePulse> server;
    return server;
}

// Started before Qt is first touched, once per test program.
TPrivatePulse& SharedServer() {
    auto& server = SharedServerSlot();
    if (!server) {
        server = std::make_unique<TPrivatePulse>("test.pa");
    }
    return *server;
}

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "test_audio";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) {
        new QCoreApplication(argc, argv);
    }
    return *QCoreApplication::instance();
}

// The audio thread that every device of these tests lives on, as a backend would own it.
std::shared_ptr<TQtAudioThread>& AudioThreadSlot() {
    static std::shared_ptr<TQtAudioThread> thread;
    return thread;
}

std::shared_ptr<TQtAudioThread> AudioThread() {
    App();
    auto& thread = AudioThreadSlot();
    if (!thread) {
        thread = StartQtAudioThread();
    }
    return thread;
}

// The audio thread stops before the application goes.
void EndQt() {
    AudioThreadSlot().reset();
    delete QCoreApplication::instance();
}

// The server itself is stopped only when the program exits, after Qt Multimedia's sound
// server connection (a static of its own, made after the server was started) has gone:
// stopped any earlier, libpulse could abort on that connection while the program exits.
class TAudioEnvironment : public ::testing::Environment {
  public:
    void TearDown() override { EndQt(); }
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TAudioEnvironment);

void Report(const std::string& Name, double Ms) {
    ::testing::Test::RecordProperty(Name, std::to_string(static_cast<int>(Ms + 0.5)));
    std::printf("[ measured ] %s = %.1f ms\n", Name.c_str(), Ms);
    std::fflush(stdout);
}

bool WaitUntil(const std::function<bool()>& Condition, std::uint32_t TimeoutMs) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Condition()) {
        if (TClock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::int64_t SamplesIn(std::uint32_t Rate, double Ms) {
    return static_cast<std::int64_t>(Rate * Ms / 1000.0);
}

class QtAudioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("pulseaudio")) {
            GTEST_SKIP() << "pulseaudio is not installed: the Qt sound backend is tested "
                            "against a real server";
        }
        ASSERT_NO_THROW(SharedServer());
        App();
        FDir = MakePrivateDir("vox-audio-test");
    }
    void TearDown() override {
        if (!FDir.empty()) {
            std::filesystem::remove_all(FDir);
        }
    }
    std::string File(const std::string& Name) const { return FDir + "/" + Name; }

    std::string FDir;
};

// ---- Decorators that watch the backend through the device interfaces ------------------------

// Passes everything to a Qt input and remembers when each captured chunk was delivered.
class TTimedInput : public TAudioInput {
  public:
    TTimedInput() : FInner(std::make_unique<TQtAudioInput>(AudioThread())) {}

    TAudioStatus Open(const TWaveFormat& Format, std::int32_t BlockSize,
                      TDataHandler OnData) override {
        return FInner->Open(
            Format, BlockSize, [this, OnData](const std::uint8_t* Data, std::int32_t Count) {
                {
                    std::lock_guard lock(FLock);
                    FBytes.insert(FBytes.end(), Data, Data + Count);
                    FChunks.push_back({TClock::now(), static_cast<std::int64_t>(FBytes.size())});
                }
                OnData(Data, Count);
            });
    }
    TAudioStatus Start() override { return FInner->Start(); }
    TAudioStatus Stop() override { return FInner->Stop(); }
    TAudioStatus Close() override { return FInner->Close(); }

    std::vector<std::uint8_t> Bytes() const {
        std::lock_guard lock(FLock);
        return FBytes;
    }
    // When the byte at Index was handed over.
    TClock::time_point DeliveredAt(std::int64_t Index) const {
        std::lock_guard lock(FLock);
        for (const TChunk& chunk : FChunks) {
            if (chunk.End > Index) {
                return chunk.At;
            }
        }
        return TClock::time_point::max();
    }
    std::size_t Chunks() const {
        std::lock_guard lock(FLock);
        return FChunks.size();
    }

  private:
    struct TChunk {
        TClock::time_point At;
        std::int64_t End;
    };
    std::unique_ptr<TQtAudioInput> FInner;
    mutable std::mutex FLock;
    std::vector<std::uint8_t> FBytes;
    std::vector<TChunk> FChunks;
};

// Passes everything to a Qt output and logs the calls.
class TLoggedOutput : public TAudioOutput {
  public:
    TLoggedOutput() : FInner(std::make_unique<TQtAudioOutput>(AudioThread())) {}

    TAudioStatus Open(const TWaveFormat& Format) override {
        const TAudioStatus status = FInner->Open(Format);
        std::lock_guard lock(FLock);
        FOpens += status == asOk ? 1 : 0;
        return status;
    }
    TAudioStatus Write(const void* Data, std::int32_t Count) override {
        {
            std::lock_guard lock(FLock);
            if (FWrites.empty()) {
                FFirstWrite = TClock::now();
            }
            FWrites.push_back(Count);
        }
        return FInner->Write(Data, Count);
    }
    bool WaitDone(std::uint32_t TimeoutMs) override { return FInner->WaitDone(TimeoutMs); }
    THeardWait WaitHeard(std::uint32_t TimeoutMs) override { return FInner->WaitHeard(TimeoutMs); }
    void WakeWaitHeard() override { FInner->WakeWaitHeard(); }
    TAudioStatus Close() override {
        const TAudioStatus status = FInner->Close();
        std::lock_guard lock(FLock);
        FCloses += status == asOk ? 1 : 0;
        FLastClose = TClock::now();
        return status;
    }

    int Opens() const {
        std::lock_guard lock(FLock);
        return FOpens;
    }
    int Closes() const {
        std::lock_guard lock(FLock);
        return FCloses;
    }
    std::vector<std::int32_t> Writes() const {
        std::lock_guard lock(FLock);
        return FWrites;
    }
    TClock::time_point FirstWrite() const {
        std::lock_guard lock(FLock);
        return FFirstWrite;
    }
    TClock::time_point LastClose() const {
        std::lock_guard lock(FLock);
        return FLastClose;
    }

  private:
    std::unique_ptr<TQtAudioOutput> FInner;
    mutable std::mutex FLock;
    int FOpens = 0;
    int FCloses = 0;
    std::vector<std::int32_t> FWrites;
    TClock::time_point FFirstWrite;
    TClock::time_point FLastClose;
};

// Collects the playback thread's error texts.
struct TErrors {
    std::mutex Lock;
    std::vector<std::string> Texts;
    TPlayFileThread::TErrorLog Log() {
        return [this](const std::string& Text) {
            std::lock_guard lock(Lock);
            Texts.push_back(Text);
        };
    }
    std::vector<std::string> Get() {
        std::lock_guard lock(Lock);
        return Texts;
    }
};

// ---- Playback -------------------------------------------------------------------------------

TEST_F(QtAudioTest, PlayedToneIsWholeAndHeardOnlyAfterItsEnd) {
    TSourceRecorder spk("spk.monitor", kPlayRate);
    ASSERT_TRUE(spk.WaitForSize(SamplesIn(kPlayRate, 50), 5000)) << "pacat records nothing";

    TQtAudioOutput output(AudioThread());
    ASSERT_EQ(output.Open(kPlayFormat), asOk);
    EXPECT_GT(output.BufferBytes(), 0);
    Report("output_buffer_ms", output.BufferBytes() * 1000.0 / kPlayRate);
    // One second in blocks of 4410 bytes, each written once the one before is done, the way
    // the playback thread does.
    const std::vector<std::uint8_t> tone = Tone(1000, kPlayRate, kPlayRate);
    TClock::time_point firstWrite;
    for (std::size_t at = 0; at < tone.size(); at += kVoiceBlockSize) {
        const auto n =
            static_cast<std::int32_t>(std::min<std::size_t>(kVoiceBlockSize, tone.size() - at));
        if (at > 0) {
            ASSERT_TRUE(output.WaitDone(PlayTimeMs(kPlayFormat, kVoiceBlockSize) + 2000));
        } else {
            firstWrite = TClock::now();
        }
        ASSERT_EQ(output.Write(tone.data() + at, n), asOk);
    }
    ASSERT_EQ(output.WaitHeard(PlayTimeMs(kPlayFormat, kVoiceBlockSize) + 2000), THeardWait::Heard);
    const auto heard = TClock::now();
    ASSERT_EQ(output.Close(), asOk);  // at once: whatever had not been heard would be lost
    EXPECT_EQ(output.PaddedBytes(), 0) << "blocks longer than the buffer need no padding";

    ASSERT_TRUE(spk.WaitPast(heard + 200ms, 5000));
    spk.Stop();
    const std::vector<std::uint8_t> samples = spk.Samples();
    const TSpan span = LoudSpan(samples);
    ASSERT_GE(span.First, 0) << "nothing reached spk";
    EXPECT_NEAR(span.Length() * 1000.0 / kPlayRate, 1000.0, 15.0) << "the tone was cut";
    EXPECT_NEAR(FrequencyOf(samples, span.First, span.Last, kPlayRate), 1000.0, 10.0);
    EXPECT_LT(LongestQuietRun(samples, span.First, span.Last + 1), SamplesIn(kPlayRate, 1))
        << "a gap between blocks";

    const auto soundEnd = spk.TimeOf(static_cast<double>(span.Last + 1));
    EXPECT_GE(MsBetween(soundEnd, heard), -kTimingSlackMs)
        << "heard was reported before the sound had ended";
    EXPECT_LT(MsBetween(soundEnd, heard), 300.0) << "heard was reported far too late";
    Report("output_latency_ms", MsBetween(firstWrite, spk.TimeOf(span.First)));
    Report("heard_after_sound_end_ms", MsBetween(soundEnd, heard));
}

TEST_F(QtAudioTest, PlaybackThreadPlaysVoiceInBlocksAndClosesAfterTheTail) {
    TSourceRecorder spk("spk.monitor", kPlayRate);
    ASSERT_TRUE(spk.WaitForSize(SamplesIn(kPlayRate, 50), 5000)) << "pacat records nothing";
    auto owned = std::make_unique<TLoggedOutput>();
    TLoggedOutput* output = owned.get();
    TErrors errors;
    TPlayFileThread thread(kVoiceBlockSize, kVoiceFormat, std::move(owned), errors.Log());
    EXPECT_EQ(thread.PlayFormat(), kPlayFormat);
    thread.Start();

    const std::vector<std::uint8_t> voice = Tone(1000, kPlayRate, 10000);
    const int source = 0;
    thread.Mixer().WriteFrom(voice.data(), static_cast<std::int32_t>(voice.size()), &source);
    ASSERT_TRUE(WaitUntil([&] { return output->Closes() == 1; }, 5000))
        << "the device was not closed after the burst";
    const auto closed = output->LastClose();
    ASSERT_TRUE(spk.WaitPast(closed + 200ms, 5000));
    spk.Stop();

    EXPECT_EQ(output->Opens(), 1);
    EXPECT_EQ(output->Writes(), (std::vector<std::int32_t>{4410, 4410, 1180}));
    EXPECT_TRUE(errors.Get().empty());
    const std::vector<std::uint8_t> samples = spk.Samples();
    const TSpan span = LoudSpan(samples);
    ASSERT_GE(span.First, 0) << "nothing reached spk";
    EXPECT_NEAR(span.Length() * 1000.0 / kPlayRate, 10000 * 1000.0 / kPlayRate, 15.0)
        << "the tail was cut";
    EXPECT_NEAR(FrequencyOf(samples, span.First, span.Last, kPlayRate), 1000.0, 10.0);
    EXPECT_LT(LongestQuietRun(samples, span.First, span.Last + 1), SamplesIn(kPlayRate, 1));
    EXPECT_GE(MsBetween(spk.TimeOf(static_cast<double>(span.Last + 1)), closed), -kTimingSlackMs)
        << "the device was closed before the sound had ended";
}

TEST_F(QtAudioTest, ShortVoiceIntoAnIdleDeviceIsPlayed) {
    // The server starts an idle stream only once it holds a buffer's worth: a 17 ms scrap of
    // voice must not sit in it unheard until the playback thread gives up.
    TSourceRecorder spk("spk.monitor", kPlayRate);
    ASSERT_TRUE(spk.WaitForSize(SamplesIn(kPlayRate, 50), 5000)) << "pacat records nothing";
    auto owned = std::make_unique<TLoggedOutput>();
    TLoggedOutput* output = owned.get();
    TErrors errors;
    TPlayFileThread thread(kVoiceBlockSize, kVoiceFormat, std::move(owned), errors.Log());
    thread.Start();

    const int source = 0;
    for (int burst = 1; burst <= 2; ++burst) {
        const std::vector<std::uint8_t> scrap = Tone(1000, kPlayRate, 200);
        thread.Mixer().WriteFrom(scrap.data(), static_cast<std::int32_t>(scrap.size()), &source);
        ASSERT_TRUE(WaitUntil([&] { return output->Closes() == burst; }, 1500))
            << "burst " << burst << " did not end";
    }
    ASSERT_TRUE(spk.WaitPast(output->LastClose() + 100ms, 5000));
    spk.Stop();
    EXPECT_TRUE(errors.Get().empty());

    // Two scraps, each whole.
    std::vector<std::uint8_t> samples = spk.Samples();
    for (int burst = 1; burst <= 2; ++burst) {
        const TSpan span = LoudSpan(samples);
        ASSERT_GE(span.First, 0) << "scrap " << burst << " was not heard";
        const auto end = std::min<std::int64_t>(span.First + SamplesIn(kPlayRate, 40),
                                                static_cast<std::int64_t>(samples.size()));
        const TSpan scrap = LoudSpan({samples.begin() + span.First, samples.begin() + end});
        EXPECT_NEAR(scrap.Length() * 1000.0 / kPlayRate, 200 * 1000.0 / kPlayRate, 3.0);
        std::fill(samples.begin(), samples.begin() + end, 128);
    }
}

TEST_F(QtAudioTest, AWakeCutsTheWaitForHeardShort) {
    TQtAudioOutput output(AudioThread());
    ASSERT_EQ(output.Open(kPlayFormat), asOk);
    // About 1.5 s of sound: heard only well after the wake.
    const std::vector<std::uint8_t> tone = Tone(1000, kPlayRate, kVoiceBlockSize);
    for (int block = 0; block < 4; ++block) {
        ASSERT_EQ(output.Write(tone.data(), kVoiceBlockSize), asOk);
    }
    std::thread waker([&] {
        std::this_thread::sleep_for(50ms);
        output.WakeWaitHeard();
    });
    const auto begin = TClock::now();
    EXPECT_EQ(output.WaitHeard(10000), THeardWait::Woken);
    EXPECT_LT(MsBetween(begin, TClock::now()), 1000.0);
    waker.join();

    // A wake given before the wait ends the next one at once, and only that one.
    output.WakeWaitHeard();
    EXPECT_EQ(output.WaitHeard(10000), THeardWait::Woken);
    EXPECT_EQ(output.WaitHeard(10000), THeardWait::Heard);
    EXPECT_EQ(output.Close(), asOk);
}

// Context switches of every thread of this process so far, by thread id and name.
std::map<int, std::pair<std::string, std::int64_t>> SwitchesOfEveryThread() {
    std::map<int, std::pair<std::string, std::int64_t>> threads;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(entry.path() / "status");
        std::string name;
        std::int64_t total = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Name:", 0) == 0) {
                name = line.substr(line.find_first_not_of(" \t", 5));
            } else if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                       line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stoll(line.substr(line.find(':') + 1));
            }
        }
        threads[std::stoi(entry.path().filename().string())] = {name, total};
    }
    return threads;
}

TEST_F(QtAudioTest, NoThreadWakesWhileNobodyTalks) {
    // After a burst has been played and a press recorded, with the playback thread waiting for
    // voice: neither the backend's audio thread nor Qt's own sound threads look for work. They
    // name themselves; the threads with the program's name are the test's and, under
    // ThreadSanitizer, the sanitizer's own, which wakes on its own schedule.
    auto owned = std::make_unique<TLoggedOutput>();
    TLoggedOutput* output = owned.get();
    TErrors errors;
    TPlayFileThread player(kVoiceBlockSize, kVoiceFormat, std::move(owned), errors.Log());
    player.Start();
    const std::vector<std::uint8_t> voice = Tone(1000, kPlayRate, 2000);
    const int source = 0;
    player.Mixer().WriteFrom(voice.data(), static_cast<std::int32_t>(voice.size()), &source);
    ASSERT_TRUE(WaitUntil([&] { return output->Closes() == 1; }, 5000));
    {
        TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
        TThreadFifoBuffer target;
        ASSERT_NO_THROW(sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target));
        std::this_thread::sleep_for(100ms);
        ASSERT_NO_THROW(sound.StopRecording());
    }
    std::this_thread::sleep_for(200ms);  // what the close set off has settled

    const std::string program = SwitchesOfEveryThread().at(static_cast<int>(getpid())).first;
    const auto before = SwitchesOfEveryThread();
    std::this_thread::sleep_for(1000ms);
    const auto after = SwitchesOfEveryThread();
    std::int64_t total = 0;
    for (const auto& [tid, thread] : after) {
        if (thread.first == program && tid != player.SystemThreadId()) {
            continue;
        }
        const auto was = before.find(tid);
        const std::int64_t switches =
            thread.second - (was == before.end() ? 0 : was->second.second);
        std::printf("[ switches ] %d %s: %lld\n", tid, thread.first.c_str(),
                    static_cast<long long>(switches));
        total += switches;
    }
    std::fflush(stdout);
    EXPECT_TRUE(errors.Get().empty());
    EXPECT_LT(total, 10);
}

// ---- Recording ------------------------------------------------------------------------------

TEST_F(QtAudioTest, RecordsWholeBlocksInOrder) {
    // 150 ms silence, 500 ms at 600 Hz, 500 ms at 1200 Hz, 150 ms silence.
    std::vector<std::uint8_t> said = Silence(SamplesIn(kRecordRate, 150));
    for (const double hz : {600.0, 1200.0}) {
        const auto tone = Tone(hz, kRecordRate, SamplesIn(kRecordRate, 500));
        said.insert(said.end(), tone.begin(), tone.end());
    }
    const auto tail = Silence(SamplesIn(kRecordRate, 150));
    said.insert(said.end(), tail.begin(), tail.end());
    WriteWavU8(File("tones.wav"), said, kRecordRate);

    TSourceRecorder micfeed("micfeed.monitor", kRecordRate);
    ASSERT_TRUE(micfeed.WaitForSize(SamplesIn(kRecordRate, 50), 5000)) << "pacat records nothing";
    auto owned = std::make_unique<TTimedInput>();
    TTimedInput* input = owned.get();
    TMySound sound(std::move(owned));
    TThreadFifoBuffer target;
    std::mutex sizesLock;
    std::vector<std::int32_t> sizes;  // the target's size after each write
    target.OnWrite = [&](TMyBuffer*) {
        std::lock_guard lock(sizesLock);
        sizes.push_back(target.Size());
    };

    ASSERT_NO_THROW(sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target));
    EXPECT_TRUE(sound.IsRecording());
    ASSERT_EQ(RunProgram({"paplay", "-d", "micfeed", File("tones.wav")}, 10000), 0);
    // paplay ends once the server has played it all; then the microphone needs a moment.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const auto got = input->Bytes();
            const TSpan span = LoudSpan(got);
            return span.Last >= 0 &&
                   static_cast<std::int64_t>(got.size()) > span.Last + SamplesIn(kRecordRate, 100);
        },
        3000))
        << "the microphone did not deliver the tones";
    ASSERT_NO_THROW(sound.StopRecording());
    EXPECT_FALSE(sound.IsRecording());
    micfeed.Stop();

    // Whole blocks in order: every write but the last one is one full buffer, and the target
    // holds exactly what the device delivered.
    {
        std::lock_guard lock(sizesLock);
        ASSERT_GE(sizes.size(), 3u);
        std::int32_t before = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const std::int32_t written = sizes[i] - before;
            before = sizes[i];
            if (i + 1 < sizes.size()) {
                EXPECT_EQ(written, kVoiceBlockSize) << "write " << i;
            } else {
                EXPECT_GT(written, 0);
                EXPECT_LE(written, kVoiceBlockSize);
            }
        }
    }
    std::vector<std::uint8_t> recorded(static_cast<std::size_t>(target.Size()));
    target.Read(recorded.data(), static_cast<std::int32_t>(recorded.size()));
    EXPECT_EQ(recorded, input->Bytes());

    const TSpan span = LoudSpan(recorded);
    ASSERT_GE(span.First, 0) << "nothing was recorded";
    EXPECT_NEAR(span.Length() * 1000.0 / kRecordRate, 1000.0, 20.0);
    const std::int64_t ms = SamplesIn(kRecordRate, 1);
    EXPECT_NEAR(FrequencyOf(recorded, span.First + 50 * ms, span.First + 450 * ms, kRecordRate),
                600.0, 12.0);
    EXPECT_NEAR(FrequencyOf(recorded, span.First + 550 * ms, span.First + 950 * ms, kRecordRate),
                1200.0, 24.0);

    // Input latency: from the tone entering the microphone to its first byte handed over.
    const TSpan fed = LoudSpan(micfeed.Samples());
    ASSERT_GE(fed.First, 0);
    Report("input_latency_ms", MsBetween(micfeed.TimeOf(static_cast<double>(fed.First)),
                                         input->DeliveredAt(span.First)));
    Report("input_chunk_ms", 1000.0 * static_cast<double>(input->Bytes().size()) /
                                 static_cast<double>(input->Chunks()) / kRecordRate);
}

TEST_F(QtAudioTest, StopKeepsWhatWasSaidJustBefore) {
    // Released right after the last word: the end of it is still on its way from the device
    // and must not be lost.
    std::vector<std::uint8_t> said = Silence(SamplesIn(kRecordRate, 50));
    const auto tone = Tone(800, kRecordRate, SamplesIn(kRecordRate, 300));
    said.insert(said.end(), tone.begin(), tone.end());
    WriteWavU8(File("word.wav"), said, kRecordRate);

    TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
    TThreadFifoBuffer target;
    ASSERT_NO_THROW(sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target));
    // paplay ends once the server has played the last sample into the microphone's sink.
    ASSERT_EQ(RunProgram({"paplay", "-d", "micfeed", File("word.wav")}, 10000), 0);
    ASSERT_NO_THROW(sound.StopRecording());

    std::vector<std::uint8_t> recorded(static_cast<std::size_t>(target.Size()));
    target.Read(recorded.data(), static_cast<std::int32_t>(recorded.size()));
    const TSpan span = LoudSpan(recorded);
    ASSERT_GE(span.First, 0) << "nothing was recorded";
    EXPECT_NEAR(span.Length() * 1000.0 / kRecordRate, 300.0, 2.0) << "the end was lost";
}

TEST_F(QtAudioTest, RecordedSpeechFollowsWhatWasSaid) {
    ASSERT_TRUE(HaveProgram("espeak-ng")) << "espeak-ng is needed to say something";
    ASSERT_EQ(RunProgram({"espeak-ng", "-w", File("speech.wav"),
                          "The quick brown fox jumps over the lazy dog, twice."},
                         20000),
              0);
    std::uint32_t saidRate = 0;
    const std::vector<double> said = ReadWav(File("speech.wav"), &saidRate);

    TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
    TThreadFifoBuffer target;
    ASSERT_NO_THROW(sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target));
    ASSERT_EQ(RunProgram({"paplay", "-d", "micfeed", File("speech.wav")}, 20000), 0);
    std::this_thread::sleep_for(150ms);  // what the server played last is still on its way
    ASSERT_NO_THROW(sound.StopRecording());

    std::vector<std::uint8_t> recorded(static_cast<std::size_t>(target.Size()));
    target.Read(recorded.data(), static_cast<std::int32_t>(recorded.size()));
    ASSERT_GT(recorded.size(), static_cast<std::size_t>(SamplesIn(kRecordRate, 1000)));
    const auto saidEnvelope = Envelope(said, saidRate, 10);
    const auto heardEnvelope = Envelope(Centred(recorded), kRecordRate, 10);
    const double correlation = BestCorrelation(saidEnvelope, heardEnvelope, 300);
    EXPECT_GT(correlation, 0.9);
    std::printf("[ measured ] speech envelope correlation = %.3f\n", correlation);
}

// ---- Both ways ------------------------------------------------------------------------------

TEST_F(QtAudioTest, LoopbackMouthToEar) {
    // Microphone -> recorder -> (a thread woken by each recorded block) -> mixer -> playback ->
    // spk.
    std::vector<std::uint8_t> said = Silence(SamplesIn(kRecordRate, 100));
    const auto tone = Tone(1000, kRecordRate, SamplesIn(kRecordRate, 800));
    said.insert(said.end(), tone.begin(), tone.end());
    const auto tail = Silence(SamplesIn(kRecordRate, 100));
    said.insert(said.end(), tail.begin(), tail.end());
    WriteWavU8(File("tone.wav"), said, kRecordRate);

    TSourceRecorder micfeed("micfeed.monitor", kRecordRate);
    TSourceRecorder spk("spk.monitor", kPlayRate);
    ASSERT_TRUE(micfeed.WaitForSize(SamplesIn(kRecordRate, 50), 5000));
    ASSERT_TRUE(spk.WaitForSize(SamplesIn(kPlayRate, 50), 5000));

    auto owned = std::make_unique<TLoggedOutput>();
    TLoggedOutput* output = owned.get();
    TErrors errors;
    TPlayFileThread player(kVoiceBlockSize, kVoiceFormat, std::move(owned), errors.Log());
    player.Start();
    TThreadFifoBuffer recorded;
    const int partner = 0;
    // Carries each recorded block to the player as soon as it has been written, the way the
    // voice threads do.
    std::thread carrier([&] {
        std::vector<std::uint8_t> block(65536);
        while (recorded.WaitForBytes(1)) {
            const std::int32_t n =
                recorded.Read(block.data(), static_cast<std::int32_t>(block.size()));
            player.Mixer().WriteFrom(block.data(), n, &partner);
        }
    });

    TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
    ASSERT_NO_THROW(sound.StartRecording(kVoiceFormat, kVoiceBlockSize, recorded));
    const int played = RunProgram({"paplay", "-d", "micfeed", File("tone.wav")}, 10000);
    std::this_thread::sleep_for(100ms);
    EXPECT_NO_THROW(sound.StopRecording());
    const bool closed =
        WaitUntil([&] { return output->Closes() >= 1 && player.Mixer().Size() == 0; }, 5000);
    recorded.Terminate();
    carrier.join();
    ASSERT_EQ(played, 0);
    ASSERT_TRUE(closed);
    ASSERT_TRUE(spk.WaitPast(output->LastClose() + 100ms, 5000));
    micfeed.Stop();
    spk.Stop();
    EXPECT_TRUE(errors.Get().empty());

    const auto fedSamples = micfeed.Samples();
    const auto heardSamples = spk.Samples();
    const TSpan fed = LoudSpan(fedSamples);
    const TSpan heard = LoudSpan(heardSamples);
    ASSERT_GE(fed.First, 0);
    ASSERT_GE(heard.First, 0) << "nothing came out";
    // Played 5% faster, so 5% higher. Blocks of 400 ms recorded play in 381 ms: the output
    // has short gaps between them, so the frequency is taken within one block.
    const TSpan block = LongestUnbroken(heardSamples, heard, SamplesIn(kPlayRate, 2));
    EXPECT_GT(block.Length(), SamplesIn(kPlayRate, 200));
    EXPECT_NEAR(FrequencyOf(heardSamples, block.First, block.Last, kPlayRate), 1050.0, 15.0);
    const double mouthToEar = MsBetween(micfeed.TimeOf(static_cast<double>(fed.First)),
                                        spk.TimeOf(static_cast<double>(heard.First)));
    Report("mouth_to_ear_ms", mouthToEar);
    // A whole block of 400 ms must be recorded before it can be played; the rest is the
    // devices' and the threads' delay.
    EXPECT_GT(mouthToEar, 350.0);
    EXPECT_LT(mouthToEar, 400.0 + 200.0 + kLatencySlackMs);
}

// ---- Chosen devices and hot-plug ------------------------------------------------------------

// What pactl prints for Args (the module's index for load-module); empty when it fails.
std::string Pactl(const std::string& Args) {
    std::string out;
    FILE* pipe = ::popen(("pactl " + Args + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    ::pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    return out;
}

// Modules loaded into the shared server for one test, unloaded at its end (by index).
class TLoadedModules {
  public:
    ~TLoadedModules() {
        for (auto it = FIndexes.rbegin(); it != FIndexes.rend(); ++it) {
            Unload(*it);
        }
    }
    std::string Load(const std::string& Args) {
        const std::string index = Pactl("load-module " + Args);
        if (!index.empty()) {
            FIndexes.push_back(index);
        }
        return index;
    }
    void Unload(const std::string& Index) {
        if (std::erase(FIndexes, Index) > 0) {
            Pactl("unload-module " + Index);
        }
    }

  private:
    std::vector<std::string> FIndexes;
};

bool Lists(TAudioBackend& Backend, TAudioDirection Direction, const std::string& Id) {
    for (const auto& device : Backend.Devices(Direction)) {
        if (device.Id == Id) {
            return true;
        }
    }
    return false;
}

// Log lines of a backend's device events.
class TDeviceEvents {
  public:
    TAudioBackend::TDeviceEvent Handler() {
        return [this](const std::string& Line) {
            std::lock_guard lock(FLock);
            if (Line.empty()) {
                ++FChanges;
            } else {
                FLines.push_back(Line);
            }
        };
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(FLock);
        return FLines;
    }
    int Changes() const {
        std::lock_guard lock(FLock);
        return FChanges;
    }

  private:
    mutable std::mutex FLock;
    std::vector<std::string> FLines;
    int FChanges = 0;
};

TEST_F(QtAudioTest, TheChosenSpeakerAloneIsHeardAndALostOneGivesWayWithinASecond) {
    TLoadedModules modules;
    TQtAudioBackend backend;
    TDeviceEvents events;
    backend.SetDeviceEvents(events.Handler());
    const std::string module = modules.Load("module-null-sink sink_name=spkB norewinds=1");
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(WaitUntil([&] { return Lists(backend, TAudioDirection::Output, "spkB"); }, 3000))
        << "the new sink is not offered";
    backend.ChooseDevice(TAudioDirection::Output, "spkB");

    TSourceRecorder spk("spk.monitor", kPlayRate);
    TSourceRecorder spkB("spkB.monitor", kPlayRate);
    ASSERT_TRUE(spk.WaitForSize(SamplesIn(kPlayRate, 50), 5000));
    ASSERT_TRUE(spkB.WaitForSize(SamplesIn(kPlayRate, 50), 5000));

    // Three seconds of tone in blocks, the way the playback thread writes them; the chosen sink
    // goes away after the first second.
    const auto output = backend.MakeOutput();
    ASSERT_EQ(output->Open(kPlayFormat), asOk);
    const std::vector<std::uint8_t> tone = Tone(1000, kPlayRate, 3 * kPlayRate);
    TClock::time_point unloaded;
    bool writesFailed = false;
    for (std::size_t at = 0; at < tone.size(); at += kVoiceBlockSize) {
        const auto n =
            static_cast<std::int32_t>(std::min<std::size_t>(kVoiceBlockSize, tone.size() - at));
        if (at > 0 && !output->WaitDone(PlayTimeMs(kPlayFormat, kVoiceBlockSize) + 2000)) {
            writesFailed = true;
            break;
        }
        if (at >= kPlayRate && unloaded == TClock::time_point{}) {
            unloaded = TClock::now();
            modules.Unload(module);
        }
        if (output->Write(tone.data() + at, n) != asOk) {
            writesFailed = true;
            break;
        }
    }
    EXPECT_FALSE(writesFailed) << "the burst broke off";
    EXPECT_EQ(output->WaitHeard(5000), THeardWait::Heard);
    const auto heard = TClock::now();
    EXPECT_EQ(output->Close(), asOk);
    ASSERT_TRUE(spk.WaitPast(heard + 200ms, 5000));
    spk.Stop();
    spkB.Stop();

    // Before the loss only spkB heard it; after it, spk within a second.
    const auto onB = spkB.Samples();
    const auto onSpk = spk.Samples();
    const TSpan b = LoudSpan(onB);
    ASSERT_GE(b.First, 0) << "nothing reached the chosen sink";
    EXPECT_NEAR(FrequencyOf(onB, b.First, b.Last, kPlayRate), 1000.0, 10.0);
    const TSpan fallback = LoudSpan(onSpk);
    ASSERT_GE(fallback.First, 0) << "nothing reached the default after the loss";
    const double afterLoss = MsBetween(unloaded, spk.TimeOf(static_cast<double>(fallback.First)));
    Report("speaker_fallback_ms", afterLoss);
    EXPECT_GT(afterLoss, -kTimingSlackMs) << "the default played while the chosen sink was there";
    EXPECT_LT(afterLoss, 1000.0);
    const auto lines = events.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("スピーカー"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("に切り替えました"), std::string::npos) << lines[0];

    // Loaded again, it is offered again.
    modules.Load("module-null-sink sink_name=spkB norewinds=1");
    EXPECT_TRUE(WaitUntil([&] { return Lists(backend, TAudioDirection::Output, "spkB"); }, 3000));
}

TEST_F(QtAudioTest, TheChosenMicrophoneAloneIsRecordedAndALostOneGivesWayMidTalk) {
    TLoadedModules modules;
    TQtAudioBackend backend;
    TDeviceEvents events;
    backend.SetDeviceEvents(events.Handler());
    ASSERT_FALSE(modules.Load("module-null-sink sink_name=micBfeed norewinds=1").empty());
    const std::string remap =
        modules.Load("module-remap-source source_name=micB master=micBfeed.monitor");
    ASSERT_FALSE(remap.empty());
    ASSERT_TRUE(WaitUntil([&] { return Lists(backend, TAudioDirection::Input, "micB"); }, 3000))
        << "the new source is not offered";
    backend.ChooseDevice(TAudioDirection::Input, "micB");
    WriteWavU8(File("low.wav"), Tone(500, kRecordRate, SamplesIn(kRecordRate, 600)), kRecordRate);
    WriteWavU8(File("high.wav"), Tone(1500, kRecordRate, SamplesIn(kRecordRate, 600)), kRecordRate);

    TThreadFifoBuffer target;
    TMySound sound(backend.MakeInput());
    ASSERT_NO_THROW(sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target));
    // Both speak at once: only the chosen microphone's tone is recorded.
    TChildProcess other({"paplay", "-d", "micfeed", File("high.wav")});
    ASSERT_EQ(RunProgram({"paplay", "-d", "micBfeed", File("low.wav")}, 10000), 0);
    other.Wait(5000);
    std::this_thread::sleep_for(100ms);
    std::vector<std::uint8_t> first(static_cast<std::size_t>(target.Size()));
    target.Read(first.data(), static_cast<std::int32_t>(first.size()));
    const TSpan low = LoudSpan(first);
    ASSERT_GE(low.First, 0) << "the chosen microphone was not heard";
    EXPECT_NEAR(FrequencyOf(first, low.First, low.Last, kRecordRate), 500.0, 15.0);

    // The chosen one goes away mid-talk: the default takes over within a second and the talk
    // goes on.
    modules.Unload(remap);
    const auto unloaded = TClock::now();
    ASSERT_TRUE(WaitUntil([&] { return !events.Lines().empty(); }, 1000)) << "no log line";
    const double switchedMs = MsBetween(unloaded, TClock::now());
    Report("microphone_fallback_ms", switchedMs);
    EXPECT_TRUE(sound.IsRecording());
    ASSERT_EQ(RunProgram({"paplay", "-d", "micfeed", File("high.wav")}, 10000), 0);
    std::this_thread::sleep_for(100ms);
    ASSERT_NO_THROW(sound.StopRecording());
    std::vector<std::uint8_t> second(static_cast<std::size_t>(target.Size()));
    target.Read(second.data(), static_cast<std::int32_t>(second.size()));
    const TSpan high = LongestUnbroken(second, LoudSpan(second), SamplesIn(kRecordRate, 2));
    ASSERT_GT(high.Length(), SamplesIn(kRecordRate, 300))
        << "the default microphone was not heard after the loss";
    EXPECT_NEAR(FrequencyOf(second, high.First, high.Last, kRecordRate), 1500.0, 30.0);
    const auto lines = events.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("マイク「"), std::string::npos) << lines[0];
}

// ---- Device states and formats --------------------------------------------------------------

TEST_F(QtAudioTest, CallsOutOfTurnAndRefusedFormats) {
    TQtAudioOutput output(AudioThread());
    EXPECT_EQ(output.Write("x", 1), asInvalidHandle);
    EXPECT_EQ(output.Close(), asInvalidHandle);
    EXPECT_TRUE(output.WaitDone(0));
    EXPECT_EQ(output.WaitHeard(0), THeardWait::Heard);
    ASSERT_EQ(output.Open(kPlayFormat), asOk);
    EXPECT_EQ(output.Open(kPlayFormat), asAllocated);
    EXPECT_EQ(output.Close(), asOk);
    EXPECT_EQ(output.BufferBytes(), 0);
    EXPECT_EQ(output.Open(kPlayFormat), asOk) << "an output opens again after a close";
    EXPECT_EQ(output.Close(), asOk);

    TWaveFormat twelveBits = kVoiceFormat;
    twelveBits.BitsPerSample = 12;
    TWaveFormat notPcm = kVoiceFormat;
    notPcm.FormatTag = 3;
    TWaveFormat noChannels = kVoiceFormat;
    noChannels.Channels = 0;
    for (const TWaveFormat& bad : {twelveBits, notPcm, noChannels}) {
        EXPECT_EQ(output.Open(bad), asBadFormat);
        TQtAudioInput input(AudioThread());
        EXPECT_EQ(input.Open(bad, kVoiceBlockSize, nullptr), asBadFormat);
    }

    TQtAudioInput input(AudioThread());
    EXPECT_EQ(input.Start(), asInvalidHandle);
    EXPECT_EQ(input.Stop(), asInvalidHandle);
    EXPECT_EQ(input.Close(), asInvalidHandle);
    ASSERT_EQ(input.Open(kVoiceFormat, kVoiceBlockSize, nullptr), asOk);
    EXPECT_GT(input.BufferBytes(), 0);
    Report("input_buffer_ms", input.BufferBytes() * 1000.0 / kRecordRate);
    EXPECT_EQ(input.Open(kVoiceFormat, kVoiceBlockSize, nullptr), asAllocated);
    EXPECT_EQ(input.Close(), asOk) << "a close without a start";

    // The recorder turns the refusal into its message and stays idle.
    TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
    TThreadFifoBuffer target;
    try {
        sound.StartRecording(twelveBits, kVoiceBlockSize, target);
        ADD_FAILURE() << "a 12-bit recording started";
    } catch (const ESoundError& e) {
        EXPECT_STREQ(e.what(),
                     "サポートされていないウェーブフォーム形式でオープンしようとしました。");
    }
    EXPECT_FALSE(sound.IsRecording());

    const TQtAudioFormatInfo info = QtAudioFormatInfo(AudioThread().get(), kVoiceFormat);
    EXPECT_TRUE(info.HasInput);
    EXPECT_TRUE(info.HasOutput);
    EXPECT_TRUE(info.InputSupported) << "11025 Hz, 8 bits, mono";
    EXPECT_TRUE(QtAudioFormatInfo(AudioThread().get(), kPlayFormat).OutputSupported)
        << "11576 Hz, 8 bits, mono";
}

// Threads of this process with the given name.
int ThreadsNamed(const std::string& Name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        count += name == Name ? 1 : 0;
    }
    return count;
}

TEST_F(QtAudioTest, TheBackendOwnsItsAudioThreadUntilItsLastDeviceIsGone) {
    AudioThread();
    const int before = ThreadsNamed("vox-audio");
    std::unique_ptr<TAudioOutput> output;
    {
        TQtAudioBackend backend;
        EXPECT_TRUE(backend.Available());
        EXPECT_EQ(ThreadsNamed("vox-audio"), before + 1);
        output = backend.MakeOutput();
        ASSERT_EQ(output->Open(kPlayFormat), asOk);
    }
    // The device still works on the thread it holds.
    const std::vector<std::uint8_t> tone = Tone(440, kPlayFormat.SamplesPerSec, 2000);
    EXPECT_EQ(output->Write(tone.data(), static_cast<std::int32_t>(tone.size())), asOk);
    EXPECT_EQ(output->Close(), asOk);
    EXPECT_EQ(ThreadsNamed("vox-audio"), before + 1);
    output.reset();
    // Joined; the system takes the thread off its list a moment after it said it has finished.
    EXPECT_TRUE(WaitUntil([&] { return ThreadsNamed("vox-audio") == before; }, 5000));
}

TEST_F(QtAudioTest, RecorderStopsAndStartsAgain) {
    // Presses shorter than a buffer deliver only the partial one; the device is reusable.
    TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
    for (int press = 0; press < 3; ++press) {
        TThreadFifoBuffer target;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_NO_THROW(sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target));
        std::this_thread::sleep_for(150ms);
        ASSERT_NO_THROW(sound.StopRecording());
        const auto held = std::chrono::steady_clock::now() - start;
        EXPECT_GT(target.Size(), 0) << "press " << press;
        // A machine that stalled the test thread for a whole block really held the key longer.
        if (held < 350ms) {
            EXPECT_LT(target.Size(), kVoiceBlockSize) << "press " << press;
        }
    }
}

// ---- Without a usable server ----------------------------------------------------------------

// Each of these runs in a fresh copy of the test program, so that Qt meets the sound server
// (or its absence) for the first time; the copy exits with 0 when every check held and prints
// the ones that did not.
class TChecks {
  public:
    void Expect(bool Condition, const std::string& What) {
        if (!Condition) {
            FFailed += What + "\n";
        }
    }
    [[noreturn]] void Exit() {
        EndQt();
        std::fputs(FFailed.c_str(), stderr);
        std::fflush(stderr);
        std::exit(FFailed.empty() ? 0 : 1);
    }

  private:
    std::string FFailed;
};

// Opening either device gives "no device", and the recorder and the playback thread say so.
void ExpectNoDevice(TChecks& Checks) {
    App();
    {
        // The session asks the backend first: no sound, chat and files only.
        TQtAudioBackend backend;
        Checks.Expect(!backend.Available(), "the backend says there is sound");
    }
    TQtAudioOutput output(AudioThread());
    Checks.Expect(output.Open(kPlayFormat) == asBadDeviceId, "output open: not asBadDeviceId");
    TQtAudioInput input(AudioThread());
    Checks.Expect(input.Open(kVoiceFormat, kVoiceBlockSize, nullptr) == asBadDeviceId,
                  "input open: not asBadDeviceId");

    const std::string noDevice = "範囲外のデバイスが指定されました。";
    TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
    TThreadFifoBuffer target;
    std::string recordError = "(none)";
    try {
        sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target);
    } catch (const ESoundError& e) {
        recordError = e.what();
    }
    Checks.Expect(recordError == noDevice, "recorder said: " + recordError);
    Checks.Expect(!sound.IsRecording(), "recorder is recording");

    TErrors errors;
    TPlayFileThread player(kVoiceBlockSize, kVoiceFormat,
                           std::make_unique<TQtAudioOutput>(AudioThread()), errors.Log());
    player.Start();
    const auto voice = Tone(1000, kPlayRate, 4410);
    const int source = 0;
    player.Mixer().WriteFrom(voice.data(), 4410, &source);
    const bool said = WaitUntil([&] { return !errors.Get().empty(); }, 5000);
    Checks.Expect(said && errors.Get().front() == noDevice, "playback did not say: no device");
    Checks.Expect(WaitUntil([&] { return player.Mixer().Size() == 0; }, 2000),
                  "the voice waiting for playback was kept");
}

TEST(QtAudioWithoutServer, OpenSaysThereIsNoDevice) {
    if (!HaveProgram("pulseaudio")) {
        GTEST_SKIP() << "pulseaudio is not installed";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TChecks checks;
            const std::string dir = MakePrivateDir("vox-no-server");
            PointClientsNowhere(dir);
            ExpectNoDevice(checks);
            std::filesystem::remove_all(dir);
            checks.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(QtAudioWithoutServer, ServerWithoutDevicesSaysThereIsNoDevice) {
    if (!HaveProgram("pulseaudio")) {
        GTEST_SKIP() << "pulseaudio is not installed";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TChecks checks;
            {
                TPrivatePulse server("no-devices.pa");
                ExpectNoDevice(checks);
                EndQt();
            }
            checks.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(QtAudioWithoutServer, LosingTheServerFailsPlayingAndRecording) {
    if (!HaveProgram("pulseaudio")) {
        GTEST_SKIP() << "pulseaudio is not installed";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TChecks checks;
            {
                TPrivatePulse server("test.pa");
                App();
                TQtAudioOutput output(AudioThread());
                TMySound sound(std::make_unique<TQtAudioInput>(AudioThread()));
                TThreadFifoBuffer target;
                checks.Expect(output.Open(kPlayFormat) == asOk, "output open failed");
                const auto voice = Tone(1000, kPlayRate, 4 * kPlayRate);
                checks.Expect(
                    output.Write(voice.data(), static_cast<std::int32_t>(voice.size())) == asOk,
                    "write failed");
                sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target);
                server.Stop();
                const auto lost = TClock::now();
                checks.Expect(output.WaitHeard(3000) == THeardWait::NotHeard,
                              "a lost device said it was heard");
                checks.Expect(MsBetween(lost, TClock::now()) < 2000, "the loss was noticed late");
                checks.Expect(output.Write(voice.data(), 100) == asError,
                              "a write to a lost device succeeded");
                checks.Expect(output.Close() == asOk, "closing a lost device failed");
                std::string stopError = "(none)";
                try {
                    sound.StopRecording();
                } catch (const ESoundError& e) {
                    stopError = e.what();
                }
                checks.Expect(stopError == "デバイスをリセットできません。",
                              "recorder stop said: " + stopError);
                checks.Expect(!sound.IsRecording(), "recorder is still recording");
            }
            checks.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vox
