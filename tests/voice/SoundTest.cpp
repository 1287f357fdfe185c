#include "voice/Sound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <thread>

#include "support/FileAudioDevice.h"
#include "voice/VoiceTestSupport.h"

namespace vox {
namespace {

using test::Bytes;
using test::Drain;
using test::kIdleSwitchLimit;
using test::Sequence;
using test::SleepMs;
using test::SwitchesOver;
using test::TWriteLogFifo;
using test::WaitUntil;

// ---------------------------------------------------------------------------------------------
// File backend

TEST(FileAudioOutput, AWakeEndsTheWaitForHeardOnceAndIsNotLostBeforeIt) {
    TFileAudioOutput output(0, 5000);  // done at once, heard only after five seconds
    ASSERT_EQ(output.Open(kVoiceFormat), asOk);
    const Bytes data = Sequence(100);
    ASSERT_EQ(output.Write(data.data(), 100), asOk);
    output.WakeWaitHeard();  // before the wait: kept for it
    EXPECT_EQ(output.WaitHeard(10000), THeardWait::Woken);
    EXPECT_EQ(output.WaitHeard(5), THeardWait::NotHeard);  // used up
    std::thread waker([&] {
        SleepMs(50);
        output.WakeWaitHeard();
    });
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(output.WaitHeard(10000), THeardWait::Woken);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(4000));
    waker.join();
    ASSERT_EQ(output.Close(), asOk);
}

TEST(FileAudioOutput, HeardComesAfterDoneAndClosingEarlierCutsTheTail) {
    TFileAudioOutput output(0, 60);  // plays at once, heard 60 ms later
    ASSERT_EQ(output.Open(kVoiceFormat), asOk);
    const Bytes data = Sequence(1000);
    ASSERT_EQ(output.Write(data.data(), 1000), asOk);
    EXPECT_TRUE(output.WaitDone(1000));
    EXPECT_EQ(output.WaitHeard(5), THeardWait::NotHeard);
    EXPECT_TRUE(output.Heard().empty());
    ASSERT_EQ(output.Close(), asOk);
    EXPECT_EQ(output.CutBytes(), 1000);

    ASSERT_EQ(output.Open(kVoiceFormat), asOk);
    ASSERT_EQ(output.Write(data.data(), 1000), asOk);
    EXPECT_EQ(output.WaitHeard(2000), THeardWait::Heard);
    ASSERT_EQ(output.Close(), asOk);
    EXPECT_EQ(output.Heard(), data);
    EXPECT_EQ(output.CutBytes(), 1000);  // only the first, cut one
}

// ---------------------------------------------------------------------------------------------
// Recorder

struct TRecorderRig {
    explicit TRecorderRig(Bytes Source, double Speed = 0, std::int32_t Chunk = 441) {
        auto device = std::make_unique<TFileAudioInput>(std::move(Source), Speed, Chunk);
        Input = device.get();
        Sound = std::make_unique<TMySound>(std::move(device));
    }
    TWriteLogFifo Target;  // outlives the recorder
    TFileAudioInput* Input;
    std::unique_ptr<TMySound> Sound;
};

TEST(Recorder, OneSecondGivesTwoWholeBuffersWhileRecordingAndThePartialOneAtStop) {
    const Bytes voice = Sequence(11025);
    // Chunks that divide the buffer and chunks that straddle it; at once and at 20x pace.
    for (const auto& [speed, chunk] : {std::pair{0.0, 441}, {0.0, 1000}, {20.0, 441}}) {
        SCOPED_TRACE(chunk);
        TRecorderRig rig(voice, speed, chunk);
        EXPECT_FALSE(rig.Sound->IsRecording());
        rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
        EXPECT_TRUE(rig.Sound->IsRecording());
        ASSERT_TRUE(rig.Input->WaitExhausted(5000));
        EXPECT_EQ(rig.Target.Writes(), (std::vector<std::int32_t>{4410, 4410}));

        rig.Sound->StopRecording();
        EXPECT_FALSE(rig.Sound->IsRecording());
        EXPECT_EQ(rig.Target.Writes(), (std::vector<std::int32_t>{4410, 4410, 2205}));
        EXPECT_EQ(Drain(rig.Target), voice);
        EXPECT_FALSE(rig.Input->IsOpen());
        EXPECT_FALSE(rig.Input->IsCapturing());
    }
}

TEST(Recorder, AShortPressGivesOnlyThePartialBufferAndTheNextPressGoesOn) {
    const Bytes voice = Sequence(3000);
    TRecorderRig rig(voice, 0, 500);
    // The whole source, less than one buffer, arrives during the first press...
    rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
    ASSERT_TRUE(rig.Input->WaitExhausted(5000));
    rig.Sound->StopRecording();
    EXPECT_EQ(rig.Target.Writes(), (std::vector<std::int32_t>{3000}));

    // ...and a press during which nothing is captured appends nothing.
    rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
    rig.Sound->StopRecording();
    EXPECT_EQ(rig.Target.Writes(), (std::vector<std::int32_t>{3000}));
    EXPECT_EQ(Drain(rig.Target), voice);
    EXPECT_EQ(rig.Input->OpenCount(), 2);
    EXPECT_EQ(rig.Input->CloseCount(), 2);
}

TEST(Recorder, PartialBufferHandedOverAtStopWhileBytesAreStillArriving) {
    // At real-time pace the stop comes in the middle of the stream: what was captured up to
    // the stop all arrives, in order, with no byte lost or doubled.
    const Bytes voice = Sequence(11025);
    TRecorderRig rig(voice, 1.0, 441);
    rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
    SleepMs(60);
    rig.Sound->StopRecording();
    const std::int64_t delivered = rig.Input->Delivered();
    ASSERT_GT(delivered, 0);
    ASSERT_LT(delivered, 4410);
    EXPECT_EQ(rig.Target.Writes(),
              (std::vector<std::int32_t>{static_cast<std::int32_t>(delivered)}));
    EXPECT_EQ(Drain(rig.Target), Bytes(voice.begin(), voice.begin() + delivered));
}

TEST(Recorder, AFailedStartReleasesEverythingAndRaisesItsMessage) {
    struct Case {
        const char* Name;
        std::function<void(TFileAudioInput&)> Break;
        TWaveFormat Format;
        std::int32_t BufferSize;
        std::string Message;
        int ClosesExpected;  // the device was opened and must have been closed again
    };
    TWaveFormat sixteenBit = kVoiceFormat;
    sixteenBit.BitsPerSample = 16;
    const std::vector<Case> cases = {
        {"no device", [](TFileAudioInput& d) { d.FailOpen(asBadDeviceId); }, kVoiceFormat,
         kVoiceBlockSize, "範囲外のデバイスが指定されました。", 0},
        {"in use", [](TFileAudioInput& d) { d.FailOpen(asAllocated); }, kVoiceFormat,
         kVoiceBlockSize, "指定されたりソースは既に割り当てられています。", 0},
        {"other open failure", [](TFileAudioInput& d) { d.FailOpen(asError); }, kVoiceFormat,
         kVoiceBlockSize, "ウェーブフォームのオープンに失敗しました。", 0},
        {"unsupported format", [](TFileAudioInput&) {}, sixteenBit, kVoiceBlockSize,
         "サポートされていないウェーブフォーム形式でオープンしようとしました。", 0},
        {"no buffer", [](TFileAudioInput&) {}, kVoiceFormat, 0,
         "録音用のバッファーの取得に失敗しました。", 1},
        {"start busy", [](TFileAudioInput& d) { d.FailStart(asHandleBusy); }, kVoiceFormat,
         kVoiceBlockSize, "録音用に指定されたハンドルはほかのスレッドが使用しています。", 1},
        {"start failure", [](TFileAudioInput& d) { d.FailStart(asError); }, kVoiceFormat,
         kVoiceBlockSize, "録音を開始できません。", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TRecorderRig rig(Sequence(5000));
        c.Break(*rig.Input);
        try {
            rig.Sound->StartRecording(c.Format, c.BufferSize, rig.Target);
            ADD_FAILURE() << "no error raised";
        } catch (const ESoundError& e) {
            EXPECT_EQ(std::string(e.what()), c.Message);
        }
        EXPECT_FALSE(rig.Sound->IsRecording());
        EXPECT_FALSE(rig.Input->IsOpen());
        EXPECT_FALSE(rig.Input->IsCapturing());
        EXPECT_EQ(rig.Input->CloseCount(), c.ClosesExpected);
        EXPECT_EQ(rig.Target.Size(), 0);

        // Once the device works again, recording does too.
        rig.Input->FailOpen(asOk);
        rig.Input->FailStart(asOk);
        rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
        ASSERT_TRUE(rig.Input->WaitExhausted(5000));
        rig.Sound->StopRecording();
        EXPECT_EQ(Drain(rig.Target), Sequence(5000));
    }
}

TEST(Recorder, AFailedStopStillHandsOverTheVoiceAndReleasesTheDevice) {
    TRecorderRig rig(Sequence(1000));
    rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
    ASSERT_TRUE(rig.Input->WaitExhausted(5000));
    rig.Input->FailStop(asInvalidHandle);
    try {
        rig.Sound->StopRecording();
        ADD_FAILURE() << "no error raised";
    } catch (const ESoundError& e) {
        EXPECT_EQ(std::string(e.what()), "ハンドルが違います。");
    }
    EXPECT_FALSE(rig.Sound->IsRecording());
    EXPECT_FALSE(rig.Input->IsOpen());
    EXPECT_EQ(Drain(rig.Target), Sequence(1000));

    rig.Input->FailStop(asOk);
    rig.Input->FailClose(asStillPlaying);
    rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
    EXPECT_THROW(
        {
            try {
                rig.Sound->StopRecording();
            } catch (const ESoundError& e) {
                EXPECT_EQ(std::string(e.what()), "まだキューが残っています。");
                throw;
            }
        },
        ESoundError);
    EXPECT_FALSE(rig.Sound->IsRecording());
}

TEST(Recorder, DestroyingItWhileRecordingStopsAndHandsOverThePartialBuffer) {
    TWriteLogFifo target;
    {
        auto device = std::make_unique<TFileAudioInput>(Sequence(5000), 0, 441);
        TFileAudioInput* input = device.get();
        TMySound sound(std::move(device));
        sound.StartRecording(kVoiceFormat, kVoiceBlockSize, target);
        ASSERT_TRUE(input->WaitExhausted(5000));
    }
    EXPECT_EQ(target.Writes(), (std::vector<std::int32_t>{4410, 590}));
    EXPECT_EQ(Drain(target), Sequence(5000));
}

// ---------------------------------------------------------------------------------------------
// Playback

struct TPlaybackRig {
    // Speed: how much faster than real time the device plays; Delay: done -> heard.
    explicit TPlaybackRig(double Speed = 20, std::uint32_t DelayMs = 40,
                          std::uint32_t StallMarginMs = kPlaybackStallMarginMs) {
        auto device = std::make_unique<TFileAudioOutput>(Speed, DelayMs);
        Output = device.get();
        Thread = std::make_unique<TPlayFileThread>(
            kVoiceBlockSize, kVoiceFormat, std::move(device),
            [this](const std::string& Message) {
                std::lock_guard lock(ErrorLock);
                Errors.push_back(Message);
            },
            StallMarginMs);
    }
    std::vector<std::string> LoggedErrors() {
        std::lock_guard lock(ErrorLock);
        return Errors;
    }
    void Feed(const Bytes& Data, const void* Source) {
        Thread->Mixer().WriteFrom(Data.data(), static_cast<std::int32_t>(Data.size()), Source);
    }

    TFileAudioOutput* Output;
    std::mutex ErrorLock;
    std::vector<std::string> Errors;
    std::unique_ptr<TPlayFileThread> Thread;
};

int KeyA, KeyB;

TEST(Playback, PlaysFivePercentFaster) {
    const TWaveFormat play = PlaybackFormat(kVoiceFormat);
    EXPECT_EQ(play.SamplesPerSec, 11576u);
    EXPECT_EQ(play.AvgBytesPerSec, 11576u);
    EXPECT_EQ(play.BitsPerSample, 8);
    EXPECT_EQ(play.Channels, 1);

    TPlaybackRig rig;
    rig.Feed(Sequence(100), &KeyA);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    EXPECT_EQ(rig.Output->Format(), play);
}

TEST(Playback, AnEmptyMixerNeverOpensTheDeviceAndTerminatesPromptly) {
    TPlaybackRig rig;
    rig.Thread->Start();
    SleepMs(30);
    EXPECT_EQ(rig.Output->OpenAttempts(), 0);
    const auto begin = std::chrono::steady_clock::now();
    rig.Thread->Terminate();
    rig.Thread->WaitFor();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(500));
    EXPECT_EQ(rig.Output->OpenAttempts(), 0);
}

TEST(Playback, PlaysBlocksOneAtATimeAndClosesOnlyAfterTheLastWasHeard) {
    TPlaybackRig rig(20, 40);  // a naive close at "done" would cut the last 40 ms
    const Bytes voice = Sequence(10000);
    rig.Feed(voice, &KeyA);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    EXPECT_EQ(rig.Output->Blocks(), (std::vector<std::int32_t>{4410, 4410, 1180}));
    EXPECT_EQ(rig.Output->WritesWhileBusy(), 0);
    EXPECT_EQ(rig.Output->CutBytes(), 0);
    EXPECT_EQ(rig.Output->Heard(), voice);
    EXPECT_EQ(rig.Output->OpenCount(), 1);
    EXPECT_FALSE(rig.Output->IsOpen());

    // The next voice opens the device again; a block of exactly 4410 is one block.
    const Bytes more = Sequence(4410, 3);
    rig.Feed(more, &KeyA);
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 2; }));
    EXPECT_EQ(rig.Output->Blocks(), (std::vector<std::int32_t>{4410, 4410, 1180, 4410}));
    EXPECT_EQ(rig.Output->CutBytes(), 0);
    EXPECT_TRUE(rig.LoggedErrors().empty());
}

TEST(Playback, EachPartnerHasAtMostOnePointTwoSecondsWaiting) {
    EXPECT_EQ(VoiceBacklogBytes(kVoiceFormat), 13230);
    TWaveFormat stereo16 = kVoiceFormat;
    stereo16.Channels = 2;
    stereo16.BitsPerSample = 16;
    stereo16.BlockAlign = 4;
    stereo16.AvgBytesPerSec = 44101;  // not a whole number of samples: rounded down to one
    EXPECT_EQ(VoiceBacklogBytes(stereo16) % 4, 0);
    EXPECT_EQ(VoiceBacklogBytes(stereo16), 52920);

    // Five seconds of one partner's voice arriving at once: only the newest 1.2 s is played.
    TPlaybackRig rig;
    EXPECT_EQ(rig.Thread->Mixer().SourceLimit(), 13230);
    const Bytes voice = Sequence(5 * 11025);
    rig.Feed(voice, &KeyA);
    EXPECT_EQ(rig.Thread->Mixer().SourceSize(&KeyA), 13230);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    EXPECT_EQ(rig.Output->Heard(), Bytes(voice.end() - 13230, voice.end()));
}

TEST(Playback, TwoPartnersArePlayedMixed) {
    TPlaybackRig rig;
    rig.Feed(Bytes(6000, 100), &KeyA);
    rig.Feed(Bytes(3000, 200), &KeyB);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    Bytes expected(3000, 150);
    expected.resize(6000, 114);  // 100 mixed with B's silence (128): (100 + 128) / 2
    EXPECT_EQ(rig.Output->Heard(), expected);
    for (const std::int32_t block : rig.Output->Blocks()) {
        EXPECT_LE(block, kVoiceBlockSize);
    }
    EXPECT_EQ(rig.Thread->Mixer().ChildCount(), 2);  // children stay across bursts
}

TEST(Playback, AnOpenFailureIsLoggedOnceDropsTheVoiceAndIsRetriedWithNewVoice) {
    TPlaybackRig rig;
    rig.Output->FailOpen(asBadFormat);
    rig.Thread->Start();
    rig.Feed(Sequence(4410), &KeyA);
    ASSERT_TRUE(WaitUntil(
        [&] { return rig.Output->OpenAttempts() == 1 && rig.Thread->Mixer().Size() == 0; }));
    const std::string message =
        "サポートされていないウェーブフォーム形式でオープンしようとしました。";
    EXPECT_EQ(rig.LoggedErrors(), std::vector<std::string>{message});

    // No new voice: no new attempt. New voice: one attempt, nothing logged again.
    SleepMs(30);
    EXPECT_EQ(rig.Output->OpenAttempts(), 1);
    rig.Feed(Sequence(2000), &KeyA);
    ASSERT_TRUE(WaitUntil(
        [&] { return rig.Output->OpenAttempts() == 2 && rig.Thread->Mixer().Size() == 0; }));
    EXPECT_EQ(rig.LoggedErrors().size(), 1u);

    // The device comes back: only the voice that arrives from now on is played.
    rig.Output->FailOpen(asOk);
    const Bytes fresh = Sequence(3000, 9);
    rig.Feed(fresh, &KeyA);
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    EXPECT_EQ(rig.Output->Heard(), fresh);

    // After playing worked, a new failure is worth a new line.
    rig.Output->FailOpen(asAllocated);
    rig.Feed(Sequence(100), &KeyA);
    ASSERT_TRUE(WaitUntil([&] { return rig.LoggedErrors().size() == 2; }));
    EXPECT_EQ(rig.LoggedErrors()[1], "指定されたりソースは既に割り当てられています。");
    EXPECT_FALSE(rig.Thread->Finished());
}

TEST(Playback, AFailureWhilePlayingIsLoggedAndPlaybackRecovers) {
    TPlaybackRig rig;
    rig.Output->FailWrite(asError);
    rig.Feed(Sequence(9000), &KeyA);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    EXPECT_EQ(rig.LoggedErrors(), std::vector<std::string>{"再生中にエラーが発生しました。"});
    EXPECT_EQ(rig.Thread->Mixer().Size(), 0);

    rig.Output->FailWrite(asOk);
    const Bytes fresh = Sequence(1000, 5);
    rig.Feed(fresh, &KeyA);
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 2; }));
    EXPECT_EQ(rig.Output->Heard(), fresh);
}

TEST(Playback, AStalledDeviceIsClosedInsteadOfHangingTheThread) {
    // 500 bytes at a thousandth of real time never finish; the margin gives up after 20 ms.
    auto device = std::make_unique<TFileAudioOutput>(0.001, 0);
    TFileAudioOutput* output = device.get();
    std::atomic<int> errors{0};
    TPlayFileThread thread(
        kVoiceBlockSize, kVoiceFormat, std::move(device), [&](const std::string&) { ++errors; },
        20);
    const Bytes voice = Sequence(500);
    thread.Mixer().WriteFrom(voice.data(), 500, &KeyA);
    thread.Start();
    ASSERT_TRUE(WaitUntil([&] { return output->CloseCount() == 1; }));
    EXPECT_EQ(errors.load(), 1);
    EXPECT_FALSE(thread.Finished());
}

TEST(Playback, VoiceArrivingWhileTheTailPlaysContinuesTheSameBurst) {
    TPlaybackRig rig(20, 300);
    const Bytes first = Sequence(2000);
    const Bytes second = Sequence(2000, 1);
    rig.Feed(first, &KeyA);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->Blocks().size() == 1; }));
    rig.Feed(second, &KeyA);
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(rig.Output->Heard(), both);
    EXPECT_EQ(rig.Output->OpenCount(), 1);
    EXPECT_EQ(rig.Output->WritesWhileBusy(), 0);
}

TEST(Playback, VoiceArrivingWhileTheTailPlaysIsWrittenAtOnceNotWhenTheTailHasBeenHeard) {
    // The first block is done at once and heard two seconds later; the second voice arrives
    // meanwhile. Its write must cut the wait for the first short: it follows the first on the
    // device long before that has been heard.
    TPlaybackRig rig(20, 2000, 10000);
    const Bytes first = Sequence(1000);
    const Bytes second = Sequence(1000, 1);
    rig.Feed(first, &KeyA);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->Blocks().size() == 1; }));
    SleepMs(100);  // the thread is waiting for the first to be heard
    const auto fed = std::chrono::steady_clock::now();
    rig.Feed(second, &KeyA);
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->Blocks().size() == 2; }));
    EXPECT_LT(std::chrono::steady_clock::now() - fed, std::chrono::milliseconds(1000));
    EXPECT_TRUE(rig.Output->Heard().empty());
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }, 10000));
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(rig.Output->Heard(), both);
    EXPECT_EQ(rig.Output->OpenCount(), 1);
    EXPECT_EQ(rig.Output->CutBytes(), 0);
}

TEST(Playback, SleepsWhileThereIsNothingToPlayBeforeAndAfterABurst) {
    TPlaybackRig rig;
    rig.Thread->Start();
    std::vector<std::int64_t> switches = SwitchesOver({rig.Thread.get()}, 1000);
    EXPECT_GE(switches[0], 0);
    EXPECT_LT(switches[0], kIdleSwitchLimit);

    rig.Feed(Sequence(5000), &KeyA);
    ASSERT_TRUE(WaitUntil([&] { return rig.Output->CloseCount() == 1; }));
    switches = SwitchesOver({rig.Thread.get()}, 1000);
    EXPECT_GE(switches[0], 0);
    EXPECT_LT(switches[0], kIdleSwitchLimit);
    EXPECT_EQ(rig.Output->Heard(), Sequence(5000));
    EXPECT_EQ(rig.Output->OpenAttempts(), 1);
}

TEST(Playback, TerminatingWhilePlayingLetsTheBlocksTakenBeHeardAndTakesNoMore) {
    TPlaybackRig rig(2, 20);              // a block of 4410 lasts about 190 ms
    const Bytes voice = Sequence(13000);  // three blocks, within the partner's backlog limit
    rig.Feed(voice, &KeyA);
    rig.Thread->Start();
    ASSERT_TRUE(WaitUntil([&] { return !rig.Output->Blocks().empty(); }));
    rig.Thread->Terminate();
    rig.Thread->WaitFor();
    const std::vector<std::int32_t> blocks = rig.Output->Blocks();
    const std::int32_t taken = std::accumulate(blocks.begin(), blocks.end(), 0);
    EXPECT_LE(blocks.size(), 2u);  // the one playing and the one ready
    EXPECT_EQ(rig.Output->CutBytes(), 0);
    EXPECT_FALSE(rig.Output->IsOpen());
    EXPECT_EQ(rig.Output->Heard(), Bytes(voice.begin(), voice.begin() + taken));
    EXPECT_EQ(rig.Thread->Mixer().Size(), 13000 - taken);
}

}  // namespace
}  // namespace vox

namespace vox {
namespace {

// ---------------------------------------------------------------------------------------------
// The input level

TEST(RecorderLevel, TheLevelFollowsAToneOfKnownLevelAndFallsInSilence) {
    // Half a second of a tone at half of full scale, then half a second of silence, at 10x
    // real time in 10 ms chunks.
    Bytes source;
    for (int i = 0; i < 5513; ++i) {
        source.push_back(static_cast<std::uint8_t>(128 + std::lround(64 * std::sin(i * 0.25))));
    }
    source.resize(11025, 128);
    TRecorderRig rig(source, 10.0, 110);
    EXPECT_EQ(rig.Sound->InputLevel(), 0);
    rig.Sound->StartRecording(kVoiceFormat, kVoiceBlockSize, rig.Target);
    ASSERT_TRUE(WaitUntil([&] { return rig.Sound->InputLevel() >= 45; }));
    EXPECT_LE(rig.Sound->InputLevel(), 55);
    ASSERT_TRUE(rig.Input->WaitExhausted(5000));
    EXPECT_LE(rig.Sound->InputLevel(), 2);  // the last chunk was silence
    rig.Sound->StopRecording();
    EXPECT_EQ(rig.Sound->InputLevel(), 0);
}

TEST(RecorderLevel, AMicrophoneTestMeasuresTheLevelAndHandsNothingOn) {
    Bytes source(11025, 128 + 100);
    TRecorderRig rig(source, 0, 441);
    rig.Sound->StartMonitoring(kVoiceFormat, kVoiceBlockSize);
    EXPECT_TRUE(rig.Sound->IsRecording());
    ASSERT_TRUE(rig.Input->WaitExhausted(5000));
    EXPECT_NEAR(rig.Sound->InputLevel(), 78, 1);
    rig.Sound->StopRecording();
    EXPECT_EQ(rig.Target.Size(), 0);
    EXPECT_FALSE(rig.Input->IsOpen());
}

}  // namespace
}  // namespace vox
