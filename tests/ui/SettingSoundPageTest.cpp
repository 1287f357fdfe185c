// The settings dialog's sound page: its device lists follow devices that come and go while it
// is on screen, keep the current choice, and keep a chosen device that is gone until the user
// chooses another.
#include "ui/SettingSoundPage.h"

#include <gtest/gtest.h>

#include <QComboBox>

#include "DialogTestSupport.h"
#include "platform/Cp932.h"
#include "settings/MyIniFile.h"
#include "support/ConversationTestSupport.h"
#include "support/FileAudioDevice.h"
#include "support/ScratchDir.h"

namespace vox::testing {
namespace {

constexpr int kFastPollMs = 10;

QStringList Texts(const QComboBox* box) {
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) {
        texts << box->itemText(i);
    }
    return texts;
}

class SettingSoundPageTest : public DialogTest {
  protected:
    SettingSoundPageTest() {
        auto audio = std::make_unique<TFileAudioBackend>();
        audio->Inputs = {{"mic", "Built-in microphone", true}};
        audio->Outputs = {{"spk", "Speakers", true}, {"usb", "USB headset", false}};
        Card = audio.get();
        TSessionOptions options;
        options.Audio = std::move(audio);
        Session = std::make_unique<TSession>(Ui, std::move(options));
    }

    // Waits (a little longer than a few polls) for the list to show Wanted.
    static bool Shows(const QComboBox* box, const QStringList& wanted) {
        return QTest::qWaitFor([&] { return Texts(box) == wanted; }, 2000);
    }

    test::TScratchDir Dir;
    TFakeUi Ui;
    TFileAudioBackend* Card = nullptr;
    std::unique_ptr<TSession> Session;
};

TEST_F(SettingSoundPageTest, TheListsFollowDevicesWhileShownAndKeepTheChoice) {
    TSettings live;
    live.Sound.SpeakerId = "usb";
    live.Sound.Speaker = Utf8ToCp932("USB headset");
    TSettingSoundPage page(live, *Session);
    page.SetDevicePollMs(kFastPollMs);
    auto* speaker = page.findChild<QComboBox*>("Speaker");
    ASSERT_NE(speaker, nullptr);
    EXPECT_EQ(Texts(speaker), (QStringList{"システムの既定", "Speakers", "USB headset"}));
    EXPECT_EQ(speaker->currentData().toString(), "usb");

    // Not on screen: the lists are left alone.
    Card->Outputs.push_back({"hdmi", "HDMI", false});
    QTest::qWait(5 * kFastPollMs);
    EXPECT_EQ(speaker->count(), 3);

    page.show();
    EXPECT_TRUE(Shows(speaker, {"システムの既定", "Speakers", "USB headset", "HDMI"}));
    EXPECT_EQ(speaker->currentData().toString(), "usb");

    // The chosen one goes: still chosen, marked as missing, at the end.
    Card->Outputs = {{"spk", "Speakers", true}, {"hdmi", "HDMI", false}};
    EXPECT_TRUE(
        Shows(speaker, {"システムの既定", "Speakers", "HDMI", "USB headset（見つかりません）"}));
    EXPECT_EQ(speaker->currentData().toString(), "usb");
    EXPECT_FALSE(page.Changed(live));
    // What OK writes is the choice as it was, without the mark.
    EXPECT_EQ(page.Values().SpeakerId, "usb");
    EXPECT_EQ(Cp932ToUtf8(page.Values().Speaker), "USB headset");

    // It comes back: listed in its place, still chosen.
    Card->Outputs.insert(Card->Outputs.begin() + 1, {"usb", "USB headset", false});
    EXPECT_TRUE(Shows(speaker, {"システムの既定", "Speakers", "USB headset", "HDMI"}));
    EXPECT_EQ(speaker->currentData().toString(), "usb");

    // Gone again, and the user chooses another: the missing one is not offered any more.
    Card->Outputs = {{"spk", "Speakers", true}};
    EXPECT_TRUE(Shows(speaker, {"システムの既定", "Speakers", "USB headset（見つかりません）"}));
    speaker->setCurrentIndex(1);
    EXPECT_TRUE(Shows(speaker, {"システムの既定", "Speakers"}));
    EXPECT_EQ(speaker->currentData().toString(), "spk");
    EXPECT_TRUE(page.Changed(live));

    // Hidden (another tab, the dialog closed): no more looking.
    page.hide();
    Card->Outputs.push_back({"usb", "USB headset", false});
    QTest::qWait(5 * kFastPollMs);
    EXPECT_EQ(speaker->count(), 2);
}

// The page looks again every second from the window thread: a sound thread that does not answer
// at once (busy opening a device, say) must neither hold the window up for long nor empty the
// lists, which would show the chosen device as missing.
TEST_F(SettingSoundPageTest, ABusySoundThreadLeavesTheListsAsTheyWere) {
    TSettings live;
    live.Sound.SpeakerId = "usb";
    live.Sound.Speaker = Utf8ToCp932("USB headset");
    TSettingSoundPage page(live, *Session);
    page.SetDevicePollMs(kFastPollMs);
    auto* speaker = page.findChild<QComboBox*>("Speaker");
    ASSERT_NE(speaker, nullptr);
    page.show();
    Card->Busy = true;
    Card->Outputs.clear();
    Card->Waits.clear();
    QTest::qWait(10 * kFastPollMs);
    EXPECT_EQ(Texts(speaker), (QStringList{"システムの既定", "Speakers", "USB headset"}));
    EXPECT_EQ(speaker->currentData().toString(), "usb");
    ASSERT_FALSE(Card->Waits.empty());
    for (const std::uint32_t wait : Card->Waits) {
        EXPECT_LE(wait, 100U) << "a look holds the window up briefly at most";
    }
    Card->Busy = false;
    EXPECT_TRUE(Shows(speaker, {"システムの既定", "USB headset（見つかりません）"}));
}

TEST_F(SettingSoundPageTest, ADeviceRememberedButNotThereIsShownMissingAndKeptByOk) {
    const std::string path = Dir.File("Voxilen.Ini");
    TSettings live;
    live.Sound.MicrophoneId = "gone-mic";
    live.Sound.Microphone = Utf8ToCp932("会議用マイク");
    live.Sound.SpeakerId = "gone-without-description";
    TSettingSoundPage page(live, *Session);
    auto* microphone = page.findChild<QComboBox*>("Microphone");
    auto* speaker = page.findChild<QComboBox*>("Speaker");
    EXPECT_EQ(microphone->currentText(), "会議用マイク（見つかりません）");
    EXPECT_EQ(speaker->currentText(), "gone-without-description（見つかりません）");
    EXPECT_FALSE(page.Changed(live));
    page.Apply(live, path);
    EXPECT_EQ(TMyIniFile(path).ReadString("Global", "MicrophoneId", ""), "gone-mic");
    EXPECT_EQ(Cp932ToUtf8(TMyIniFile(path).ReadString("Global", "Microphone", "")), "会議用マイク");
    EXPECT_EQ(TMyIniFile(path).ReadString("Global", "SpeakerId", ""), "gone-without-description");
}

}  // namespace
}  // namespace vox::testing
