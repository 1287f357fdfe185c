// The settings dialog's desktop page: the key chooser, the switches, and what reaches the
// settings file (and what a file without the new keys reads as).
#include "ui/SettingDesktopPage.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QKeyEvent>

#include "DialogTestSupport.h"
#include "settings/MyIniFile.h"
#include "support/ScratchDir.h"

namespace vox::testing {
namespace {

// A key as X11 hands it to the toolkit: its symbol comes along.
void PressKey(QWidget* target, int key, quint32 keysym) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, 0, keysym, 0);
    QCoreApplication::sendEvent(target, &press);
}

class SettingDesktopPageTest : public DialogTest {
  protected:
    test::TScratchDir dir;
    std::string Path() const { return dir.File("Voxilen.Ini"); }
};

TEST_F(SettingDesktopPageTest, TheKeyIsRecordedFromAPressAndCleared) {
    TSettings live;
    // A file without the desktop keys: no key, notices on, no closing into the tray.
    test::WriteFileBytes(Path(), "[Global]\r\nConversationPort=9911\r\n");
    live = LoadSettings(Path());
    EXPECT_EQ(live.PushToTalkKey, "");
    EXPECT_TRUE(live.DesktopNotices);
    EXPECT_FALSE(live.CloseToTray);

    TSettingDesktopPage page(live, true);
    EXPECT_EQ(page.Title(), QStringLiteral("デスクトップ"));
    auto* chooser = page.findChild<TKeyChooser*>("KeyChooser");
    ASSERT_NE(chooser, nullptr);
    EXPECT_FALSE(page.Changed(live));

    // A key press before the button was pressed records nothing.
    PressKey(chooser, Qt::Key_F9, 0xffc6);
    EXPECT_EQ(chooser->Key(), QString());
    // Pressed: the next key is the key, by its X name; Escape gives up and keeps the old one.
    chooser->click();
    EXPECT_TRUE(chooser->Recording());
    PressKey(chooser, Qt::Key_F9, 0xffc6);
    EXPECT_EQ(chooser->Key(), QStringLiteral("F9"));
    EXPECT_FALSE(chooser->Recording());
    chooser->click();
    PressKey(chooser, Qt::Key_Escape, 0xff1b);
    EXPECT_EQ(chooser->Key(), QStringLiteral("F9"));
    // The right Control key alone is a key too (a common choice for talking).
    chooser->click();
    PressKey(chooser, Qt::Key_Control, 0xffe4);
    EXPECT_EQ(chooser->Key(), QStringLiteral("Control_R"));
    EXPECT_TRUE(page.Changed(live));

    page.findChild<QCheckBox*>("NoticesCheckBox")->setChecked(false);
    page.findChild<QCheckBox*>("TrayCheckBox")->setChecked(true);
    page.Apply(live, Path());
    EXPECT_EQ(live.PushToTalkKey, "Control_R");
    EXPECT_FALSE(live.DesktopNotices);
    EXPECT_TRUE(live.CloseToTray);
    const TSettings reread = LoadSettings(Path());
    EXPECT_EQ(reread.PushToTalkKey, "Control_R");
    EXPECT_FALSE(reread.DesktopNotices);
    EXPECT_TRUE(reread.CloseToTray);
    EXPECT_EQ(reread.ConversationPort, 9911);
    EXPECT_FALSE(page.Changed(live));

    // Clear: no key, and the file says so.
    page.findChild<QPushButton*>("ClearKeyBtn")->click();
    EXPECT_EQ(chooser->Key(), QString());
    page.Apply(live, Path());
    EXPECT_EQ(LoadSettings(Path()).PushToTalkKey, "");
}

TEST_F(SettingDesktopPageTest, WithoutATrayTheWindowCannotBeClosedIntoOne) {
    TSettings live;
    TSettingDesktopPage page(live, false);
    EXPECT_FALSE(page.findChild<QCheckBox*>("TrayCheckBox")->isEnabled());
}

}  // namespace
}  // namespace vox::testing
