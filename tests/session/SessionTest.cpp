// The session as the main window uses it, over loopback with a raw partner: the voice path
// wired from the microphone to the partner and from the partner to the speaker, a machine
// without sound that still chats, and the end of everything.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <mutex>

#include "session/Session.h"
#include "support/ConversationTestSupport.h"
#include "support/FileAudioDevice.h"
#include "voice/BlockCompression.h"
#include "voice/Sound.h"

namespace vox::testing {
namespace {

// A tone-like pattern of 8-bit samples that survives compression unchanged.
std::vector<std::uint8_t> Pcm(std::size_t size) {
    std::vector<std::uint8_t> pcm(size);
    for (std::size_t i = 0; i < size; ++i) {
        pcm[i] = static_cast<std::uint8_t>(128 + (i % 40) - 20);
    }
    return pcm;
}

class SessionTest : public ::testing::Test {
  protected:
    TFakeUi ui;
    TFileAudioInput* input = nullptr;
    TFileAudioOutput* output = nullptr;
    std::unique_ptr<TSession> session;

    // A session with the file sound card (the microphone hears pcm), or without sound.
    void Make(bool withSound, std::vector<std::uint8_t> pcm = {}) {
        TSessionOptions options;
        options.Timeouts = FastTimeouts();
        if (withSound) {
            auto audio = std::make_unique<TFileAudioBackend>();
            audio->MakeInputDevice = [this, pcm = std::move(pcm)] {
                auto device = std::make_unique<TFileAudioInput>(pcm, 0.0);
                input = device.get();
                return device;
            };
            audio->MakeOutputDevice = [this] {
                auto device = std::make_unique<TFileAudioOutput>(0.0);
                output = device.get();
                return device;
            };
            options.Audio = std::move(audio);
        }
        session = std::make_unique<TSession>(ui, std::move(options));
        session->Core().StartListening(0);
        session->Start();
    }

    // A raw partner whose call the session accepted.
    TRawPeer Partner() {
        TPumpWhileWaiting pump(session->Sync());
        TRawPeer peer = TRawPeer::Connect(session->Core().ListeningPort());
        peer.Send(ConnectPacket("partner"));
        EXPECT_EQ(peer.ReceivePacket()[13], pcConnectReply);
        EXPECT_TRUE(PumpUntil(session->Sync(), [&] { return ui.Members.size() == 1; }))
            << ui.AllLogs();
        return peer;
    }

    void TearDown() override { session.reset(); }
};

TEST_F(SessionTest, WithoutSoundChatWorksAndTheLogSaysSoundIsUnavailable) {
    for (const bool backendThereButEmpty : {false, true}) {
        SCOPED_TRACE(backendThereButEmpty ? "a sound card without devices" : "no sound card");
        ui = TFakeUi{};
        if (backendThereButEmpty) {
            TSessionOptions options;
            auto audio = std::make_unique<TFileAudioBackend>();
            audio->IsAvailable = false;
            options.Audio = std::move(audio);
            options.Timeouts = FastTimeouts();
            session = std::make_unique<TSession>(ui, std::move(options));
            session->Core().StartListening(0);
            session->Start();
        } else {
            Make(false);
        }
        EXPECT_FALSE(session->SoundAvailable());
        EXPECT_TRUE(ui.HasLog(kSoundUnavailable)) << ui.AllLogs();

        // Talking says there is no microphone, and the session is not left talking.
        EXPECT_THROW(session->StartTalking(), ESoundError);
        EXPECT_FALSE(session->IsTalking());

        TRawPeer peer = Partner();
        peer.Send(BuildText(Sj("こんにちは")));
        EXPECT_TRUE(PumpUntil(session->Sync(), [&] { return ui.Chat.size() == 1; }));
        session->Core().SendText(Sj("はい"));
        const Packet line = peer.ReceivePacket();
        EXPECT_EQ(Cp932ToUtf8(ParseTextPacket(ByteSpan(line).subspan(kPacketHeaderSize)).Text),
                  "はい");
        session.reset();
    }
}

TEST_F(SessionTest, WhatTheMicrophoneHearsReachesThePartnerAndThePartnerIsHeard) {
    const std::vector<std::uint8_t> said = Pcm(kVoiceBlockSize);
    Make(true, said);
    EXPECT_TRUE(session->SoundAvailable());
    EXPECT_FALSE(ui.HasLog(kSoundUnavailable));
    TRawPeer peer = Partner();

    session->StartTalking();
    EXPECT_TRUE(session->IsTalking());
    ASSERT_TRUE(input->WaitExhausted(5000));
    session->StopTalking();
    EXPECT_FALSE(session->IsTalking());
    std::vector<std::uint8_t> got;
    while (got.size() < said.size()) {
        const Packet packet = peer.ReceivePacket();
        ASSERT_EQ(packet.size() > 13 ? packet[13] : 0, pcVoice);
        const VoicePacket voice = ParseVoicePacket(ByteSpan(packet).subspan(kPacketHeaderSize));
        const auto samples =
            DecompressBlock(voice.Block.data(), static_cast<std::int32_t>(voice.Block.size()));
        got.insert(got.end(), samples.begin(), samples.end());
    }
    EXPECT_EQ(got, said);

    // The partner's voice is played.
    const std::vector<std::uint8_t> heard = Pcm(1000);
    const auto block = CompressBlock(heard.data(), static_cast<std::int32_t>(heard.size()));
    peer.Send(BuildVoice(static_cast<std::uint16_t>(heard.size()), ByteSpan(block)));
    ASSERT_TRUE(PumpUntil(session->Sync(), [&] {
        return output != nullptr && output->Heard().size() >= heard.size();
    }));
}

TEST_F(SessionTest, ShutdownEndsEveryConnectionOnceAndForAll) {
    Make(true);
    TRawPeer peer = Partner();
    session->Shutdown();
    EXPECT_TRUE(session->ShutDown());
    EXPECT_TRUE(ui.Members.empty());
    EXPECT_TRUE(peer.ClosedByOtherEnd());
    EXPECT_TRUE(ui.HasLog("すべての接続を切断しました。")) << ui.AllLogs();
    // Nothing more happens: a second shutdown, talking, and the end of the session.
    session->Shutdown();
    session->StartTalking();
    EXPECT_FALSE(session->IsTalking());
    session.reset();
}

}  // namespace
}  // namespace vox::testing

namespace vox::testing {
namespace {

TEST(SessionEndTest, ARouterThatDoesNotAnswerDoesNotHoldTheEnd) {
    // The mapper is busy looking for a router (a discovery nobody answers, long) when the
    // program ends: the end waits its own short limit, not the router.
    TFakeUi ui;
    TSessionOptions options;
    options.Timeouts = FastTimeouts();
    options.PortMap.DiscoverMs = 20000;
    options.PortMap.UseNatPmp = false;
    options.PortMapExitWaitMs = 100;
    std::vector<std::string> lines;
    std::mutex mutex;
    options.OnPortMapLog = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    };
    auto session = std::make_unique<TSession>(ui, std::move(options));
    session->PortMapper().SetPorts({9911, 9912});
    // Until the mapper is under way (a request made and withdrawn at once would be no test).
    if (session->PortMapper().WaitIdle(500)) {
        GTEST_SKIP() << "the discovery ended at once here (no route for its multicast)";
    }
    const auto start = std::chrono::steady_clock::now();
    session.reset();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(10));
    std::printf("the end waited %lld ms for a router that did not answer\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(lines.empty()) << "nothing is reported once the session has gone";
}

}  // namespace
}  // namespace vox::testing

namespace vox::testing {
namespace {

std::vector<TAudioDeviceInfo> Speakers() {
    return {{"spk", "Built-in speaker", true},
            {"usbA", "Headset", false},
            {"usbB", "Headset", false},
            {"hdmi", "Monitor", false}};
}

TEST(DeviceChoiceTest, ById_ThenByDescription_ThenTheDefault_EachWithOneLine) {
    const auto devices = Speakers();
    auto d = DecideDevice(TAudioDirection::Output, devices, "usbB", "Headset");
    EXPECT_EQ(d.Id, "usbB");  // the id wins over the first of that description
    EXPECT_EQ(d.Line, "スピーカー: Headset を使います。");
    d = DecideDevice(TAudioDirection::Output, devices, "gone-since", "Monitor");
    EXPECT_EQ(d.Id, "hdmi");  // the id changed (another port, say): the description finds it
    d = DecideDevice(TAudioDirection::Input, devices, "", "");
    EXPECT_EQ(d.Id, "");
    EXPECT_EQ(d.Line, "マイク: システムの既定（Built-in speaker） を使います。");
    d = DecideDevice(TAudioDirection::Input, {}, "", "");
    EXPECT_EQ(d.Line, "マイク: システムの既定 を使います。");
}

TEST(DeviceChoiceTest, AnUnknownOrJunkChoiceFallsBackToTheDefaultWithAShortLine) {
    const auto devices = Speakers();
    auto d = DecideDevice(TAudioDirection::Output, devices, "nowhere", "USB Headset 7");
    EXPECT_EQ(d.Id, "");
    EXPECT_EQ(d.Line,
              "スピーカー: 設定の装置「USB Headset 7」が見つからないため、"
              "システムの既定（Built-in speaker） を使います。");
    d = DecideDevice(TAudioDirection::Output, devices, "nowhere", "");
    EXPECT_NE(d.Line.find("「nowhere」"), std::string::npos);
    // 5000 bytes of junk as they come out of the file: one line, cut short, no control
    // characters, nothing matched.
    std::string junk;
    for (int i = 0; i < 5000; ++i) {
        junk += static_cast<char>(1 + (i * 53) % 255);
    }
    d = DecideDevice(TAudioDirection::Input, devices, Cp932ToUtf8(junk), Cp932ToUtf8(junk));
    EXPECT_EQ(d.Id, "");
    EXPECT_LT(d.Line.size(), 400u);
    EXPECT_EQ(d.Line.find('\n'), std::string::npos);
    EXPECT_EQ(d.Line.find('\x01'), std::string::npos);
    EXPECT_NE(d.Line.find("が見つからないため、システムの既定"), std::string::npos);
}

TEST(DeviceChoiceTest, TheSessionChoosesOnTheSoundCardAndLogsOneLineForEachDirection) {
    TFakeUi ui;
    TSessionOptions options;
    options.Timeouts = FastTimeouts();
    auto audio = std::make_unique<TFileAudioBackend>();
    audio->Inputs = {{"mic", "Built-in microphone", true}, {"usbmic", "USB microphone", false}};
    audio->Outputs = Speakers();
    TFileAudioBackend* card = audio.get();
    options.Audio = std::move(audio);
    TSession session(ui, std::move(options));
    session.Start();
    TSoundSettings sound;
    sound.Microphone = Utf8ToCp932("USB microphone");
    sound.SpeakerId = "hdmi";
    session.ChooseDevices(sound);
    EXPECT_EQ(card->ChosenInput, "usbmic");
    EXPECT_EQ(card->ChosenOutput, "hdmi");
    ASSERT_EQ(ui.Logs.size(), 2u) << ui.AllLogs();
    EXPECT_EQ(ui.Logs[0], "マイク: USB microphone を使います。");
    EXPECT_EQ(ui.Logs[1], "スピーカー: Monitor を使います。");
    // Back to the default.
    session.ChooseDevices({});
    EXPECT_EQ(card->ChosenInput, "");
    EXPECT_EQ(card->ChosenOutput, "");
}

}  // namespace
}  // namespace vox::testing
