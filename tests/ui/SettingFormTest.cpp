// The settings dialog: what it shows, its checks in their order, and applying.
#include "ui/SettingForm.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <filesystem>
#include <memory>

#include "DialogTestSupport.h"
#include "net/HostLookup.h"
#include "platform/Cp932.h"
#include "settings/MyIniFile.h"
#include "support/ConversationTestSupport.h"
#include "support/ScratchDir.h"
#include "ui/SettingPage.h"
#include "wire/PassPhrase.h"

namespace vox::testing {
namespace {

using test::ReadFileBytes;
using test::TScratchDir;
using test::WriteFileBytes;

constexpr const char* kConnectedMessage = "接続中のホストがあるので、変更できません。";
constexpr const char* kListeningMessage = "待ち受け中は変更できません。";
constexpr const char* kNotANumberMessage = "ポートは数字でなければなりません。";
constexpr const char* kPortRangeMessage = "ポートは 1 から 65535 までの数字でなければなりません。";
constexpr const char* kSamePortsMessage = "会話用ポートと転送用ポートが同じではいけません。";

// A page whose one value lives beside the basic settings.
class TCountPage : public TSettingPage {
  public:
    QString Title() const override { return QStringLiteral("数"); }
    bool Changed(const TSettings&) const override { return Value != Applied; }
    QString Check() const override {
        return Value < 0 ? QStringLiteral("負の数です。") : QString();
    }
    void Apply(TSettings&, const std::string&) override { Applied = Value; }

    int Value = 0;
    int Applied = 0;
};

class SettingFormTest : public DialogTest {
  protected:
    SettingFormTest() {
        live.ConversationPort = 9911;
        live.TransferPort = 9912;
        live.MyName = Sj("たろう");
    }
    void TearDown() override {
        Flush();
        other.reset();
        core.reset();
    }

    // Made on the heap as the main window does; it deletes itself on closing.
    QPointer<TSettingForm> Open() { return new TSettingForm(nullptr, *core, live, Path()); }

    template <typename T>
    static T* Find(QWidget* form, const char* name) {
        T* found = form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    // Presses OK and returns the texts of the message boxes it showed.
    static std::vector<QString> PressOK(QWidget* form) {
        TMessageCatcher catcher;
        Find<QPushButton>(form, "OKBtn")->click();
        return catcher.Texts();
    }

    // The dialog refused with exactly this message and changed nothing.
    void ExpectRefused(QPointer<TSettingForm>& form, const char* message) {
        const TSettings before = live;
        EXPECT_EQ(PressOK(form), std::vector<QString>{QString::fromUtf8(message)});
        EXPECT_EQ(live.ConversationPort, before.ConversationPort);
        EXPECT_EQ(live.TransferPort, before.TransferPort);
        EXPECT_EQ(live.MyName, before.MyName);
        EXPECT_EQ(live.UsePassPhrase, before.UsePassPhrase);
        EXPECT_FALSE(std::filesystem::exists(Path()));
        Flush();
        EXPECT_FALSE(form.isNull()) << "stays open for a correction";
    }

    std::string Path() const { return dir.File("Voxilen.Ini"); }

    TScratchDir dir;
    TSettings live;
    TSynchronizer sync;
    TPumpWhileWaiting pump{sync};
    TFakeUi ui;
    TFakeUi otherUi;
    std::unique_ptr<TConnectionCore> core =
        std::make_unique<TConnectionCore>(sync, ui, FastTimeouts());
    std::unique_ptr<TConnectionCore> other =
        std::make_unique<TConnectionCore>(sync, otherUi, FastTimeouts());
};

TEST_F(SettingFormTest, ShowsTheLiveValuesAndThisComputer) {
    live.ConversationPort = 10000;
    live.TransferPort = 10001;
    live.UsePassPhrase = true;
    live.PassPhrase = Sj("ひみつ 1");
    QPointer<TSettingForm> form = Open();

    EXPECT_EQ(form->windowTitle(), QStringLiteral("設定"));
    EXPECT_EQ(Find<QComboBox>(form, "ComboBox1")->currentText(), "10000");
    EXPECT_EQ(Find<QComboBox>(form, "ComboBox2")->currentText(), "10001");
    EXPECT_EQ(Find<QLineEdit>(form, "MyNameEdit")->text(), QStringLiteral("たろう"));
    EXPECT_TRUE(Find<QCheckBox>(form, "PassCheckBox")->isChecked());
    auto* pass = Find<QLineEdit>(form, "PassPhraseEdit");
    EXPECT_EQ(pass->text(), QStringLiteral("ひみつ 1"));
    EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(pass->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, pass), '*');

    // The suggested ports, and fields a screen reader names by their labels.
    auto* ports = Find<QComboBox>(form, "ComboBox1");
    ASSERT_EQ(ports->count(), 10);
    EXPECT_EQ(ports->itemText(0), "9911");
    EXPECT_EQ(ports->itemText(9), "9920");
    EXPECT_TRUE(ports->isEditable());
    EXPECT_EQ(Find<QLabel>(form, "Label1")->text(), QStringLiteral("会話で使うポート："));
    EXPECT_EQ(ports->accessibleName(), QStringLiteral("会話で使うポート"));
    EXPECT_EQ(Find<QComboBox>(form, "ComboBox2")->accessibleName(),
              QStringLiteral("ファイル転送ポート"));
    EXPECT_EQ(Find<QLineEdit>(form, "MyNameEdit")->accessibleName(),
              QStringLiteral("相手に通知する自分の名前"));

    // This computer: read-only, and the same as the look-up gives.
    const TLocalHostIdentity self = LookUpLocalHost();
    auto* host = Find<QLineEdit>(form, "HostNameEdit");
    auto* address = Find<QLineEdit>(form, "AddressEdit");
    EXPECT_TRUE(host->isReadOnly());
    EXPECT_TRUE(address->isReadOnly());
    EXPECT_FALSE(self.HostName.empty());
    EXPECT_EQ(host->text().toStdString(), self.HostName);
    EXPECT_EQ(address->text().toStdString(), self.Address);
    EXPECT_TRUE(self.Address.empty() || IsDottedAddress(self.Address)) << self.Address;
    delete form.data();
}

TEST_F(SettingFormTest, AppliesToTheLiveSettingsAndWritesTheFileInOrder) {
    QPointer<TSettingForm> form = Open();
    form->show();
    Find<QComboBox>(form, "ComboBox1")->setEditText(" 12345 ");  // not in the list: fine
    Find<QComboBox>(form, "ComboBox2")->setEditText("9913");
    auto* name = Find<QLineEdit>(form, "MyNameEdit");
    name->clear();
    CommitText(name, QStringLiteral("髙橋～"));
    Find<QCheckBox>(form, "PassCheckBox")->setChecked(true);
    CommitText(Find<QLineEdit>(form, "PassPhraseEdit"), QStringLiteral("ひみつ"));

    EXPECT_TRUE(PressOK(form).empty());
    EXPECT_EQ(live.ConversationPort, 12345);
    EXPECT_EQ(live.TransferPort, 9913);
    EXPECT_EQ(live.MyName, Sj("髙橋～"));
    EXPECT_TRUE(live.UsePassPhrase);
    EXPECT_EQ(live.PassPhrase, Sj("ひみつ"));
    ASSERT_TRUE(ProcessUntil([&] { return form.isNull(); })) << "OK closes the dialog";

    std::string hex;
    for (const unsigned char c : EncodePassPhrase(kPersonalPassPhraseKey, Sj("ひみつ"))) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        hex += kDigits[c >> 4];
        hex += kDigits[c & 0x0F];
    }
    EXPECT_EQ(ReadFileBytes(Path()),
              "[Global]\r\nConversationPort=12345\r\nTransferPort=9913\r\n"
              "[Personal]\r\nMyName=" +
                  Sj("髙橋～") + "\r\nUsePassPhrase=1\r\nPassPhrase=" + hex + "\r\n");
    const TSettings reread = LoadSettings(Path());
    EXPECT_EQ(reread.PassPhrase, Sj("ひみつ"));

    // Reopened, it shows what was applied.
    QPointer<TSettingForm> again = Open();
    EXPECT_EQ(Find<QComboBox>(again, "ComboBox1")->currentText(), "12345");
    EXPECT_EQ(Find<QLineEdit>(again, "PassPhraseEdit")->text(), QStringLiteral("ひみつ"));
    delete again.data();
}

TEST_F(SettingFormTest, UncheckingRemovesThePassPhrase) {
    WriteFileBytes(Path(), "[Personal]\r\nUsePassPhrase=1\r\nPassPhrase=0102\r\nOther=x\r\n");
    live.UsePassPhrase = true;
    live.PassPhrase = "old";
    QPointer<TSettingForm> form = Open();
    Find<QCheckBox>(form, "PassCheckBox")->setChecked(false);
    EXPECT_TRUE(PressOK(form).empty());
    EXPECT_FALSE(live.UsePassPhrase);
    EXPECT_EQ(live.PassPhrase, "");
    const TMyIniFile ini(Path());
    EXPECT_FALSE(ini.ValueExists("Personal", "PassPhrase"));
    EXPECT_EQ(ini.ReadString("Personal", "UsePassPhrase", ""), "0");
    EXPECT_EQ(ini.ReadString("Personal", "Other", ""), "x");
    Flush();
    EXPECT_TRUE(form.isNull());
}

TEST_F(SettingFormTest, PortsMustBeWholeNumbersAndDiffer) {
    struct TCase {
        const char* Conversation;
        const char* Transfer;
        const char* Message;
    };
    for (const TCase& c :
         {TCase{"99a1", "9912", kNotANumberMessage}, TCase{"9911", "", kNotANumberMessage},
          TCase{"9911", "9 912", kNotANumberMessage}, TCase{"9915", "9915", kSamePortsMessage},
          TCase{"9915", "0x26BB", kSamePortsMessage}}) {
        SCOPED_TRACE(std::string(c.Conversation) + " / " + c.Transfer);
        QPointer<TSettingForm> form = Open();
        Find<QComboBox>(form, "ComboBox1")->setEditText(c.Conversation);
        Find<QComboBox>(form, "ComboBox2")->setEditText(c.Transfer);
        ExpectRefused(form, c.Message);
        delete form.data();
    }
}

TEST_F(SettingFormTest, TabWalksEveryFieldAndButtonInReadingOrder) {
    QPointer<TSettingForm> form = Open();
    const QStringList order = {"ComboBox1",      "ComboBox2",  "PassCheckBox",
                               "PassPhraseEdit", "MyNameEdit", "HostNameEdit",
                               "AddressEdit",    "OKBtn",      "CloseBtn"};
    const auto walked = TabWalk(form, Find<QWidget>(form, "ComboBox1"), order, 10);
    std::vector<QString> expected(order.begin(), order.end());
    expected.push_back("ComboBox1");
    EXPECT_EQ(walked, expected);
    delete form.data();
}

TEST_F(SettingFormTest, PortsOutsideOneTo65535AreRefused) {
    // Each was taken before and failed only when listening.
    for (const char* port : {"70000", "0", "-1", "65536", "0x10000"}) {
        for (const bool conversation : {true, false}) {
            SCOPED_TRACE(std::string(port) + (conversation ? " conversation" : " transfer"));
            QPointer<TSettingForm> form = Open();
            Find<QComboBox>(form, conversation ? "ComboBox1" : "ComboBox2")->setEditText(port);
            ExpectRefused(form, kPortRangeMessage);
            delete form.data();
        }
    }
    EXPECT_EQ(live.ConversationPort, kDefaultConversationPort);
    EXPECT_EQ(live.TransferPort, kDefaultTransferPort);
    // The ends of the range are ports.
    QPointer<TSettingForm> form = Open();
    Find<QComboBox>(form, "ComboBox1")->setEditText("1");
    Find<QComboBox>(form, "ComboBox2")->setEditText("65535");
    Find<QPushButton>(form, "OKBtn")->click();
    EXPECT_EQ(live.ConversationPort, 1);
    EXPECT_EQ(live.TransferPort, 65535);
}

TEST_F(SettingFormTest, NothingChangesWhileListening) {
    core->StartListening(0);
    QPointer<TSettingForm> form = Open();
    Find<QComboBox>(form, "ComboBox1")->setEditText("x");  // the connection checks come first
    Find<QLineEdit>(form, "MyNameEdit")->setText("new");
    ExpectRefused(form, kListeningMessage);
    delete form.data();
}

TEST_F(SettingFormTest, NothingChangesWithAnIncomingConnection) {
    core->StartListening(0);
    TRawPeer caller = TRawPeer::Connect(core->ListeningPort());
    ASSERT_TRUE(PumpUntil(sync, [&] { return core->IncomingCount() == 1; }));
    QPointer<TSettingForm> form = Open();
    Find<QComboBox>(form, "ComboBox1")->setEditText("x");
    ExpectRefused(form, kConnectedMessage);
    delete form.data();
}

TEST_F(SettingFormTest, NothingChangesWithAnOutgoingConnection) {
    other->StartListening(0);
    TCallRequest request;
    request.Address = "127.0.0.1";
    request.Port = other->ListeningPort();
    request.MyName = "me";
    core->Call(request);
    ASSERT_TRUE(PumpUntil(sync, [&] { return core->OutgoingCount() == 1; }));
    ASSERT_FALSE(core->Listening());
    QPointer<TSettingForm> form = Open();
    Find<QLineEdit>(form, "MyNameEdit")->setText("new");
    ExpectRefused(form, kConnectedMessage);
    delete form.data();
}

TEST_F(SettingFormTest, AFailedWriteIsShownAndKeepsWhatWasApplied) {
    WriteFileBytes(dir.File("plain"), "x");
    const std::string path = dir.File("plain/Voxilen.Ini");  // a folder that is a file
    QPointer<TSettingForm> form = new TSettingForm(nullptr, *core, live, path);
    Find<QComboBox>(form, "ComboBox1")->setEditText("7000");
    Find<QLineEdit>(form, "MyNameEdit")->setText("new");
    TMessageCatcher catcher;
    Find<QPushButton>(form, "OKBtn")->click();
    ASSERT_EQ(catcher.Messages.size(), 1u);
    EXPECT_EQ(catcher.Messages[0].Text.toStdString(), path + " に書き込めません");
    EXPECT_EQ(catcher.Messages[0].Icon, QMessageBox::Critical);
    EXPECT_EQ(live.ConversationPort, 7000);  // applied before the first write
    EXPECT_EQ(live.MyName, Sj("たろう"));    // comes after the ports' write
    Flush();
    EXPECT_FALSE(form.isNull());
    delete form.data();
}

TEST_F(SettingFormTest, ClosesWhenAnotherWindowBecomesActive) {
    QWidget mainWindow;
    mainWindow.show();
    QPointer<TSettingForm> form = new TSettingForm(&mainWindow, *core, live, Path());
    form->show();
    ASSERT_TRUE(ProcessUntil([&] { return form->isActiveWindow(); }));

    // Its own message box takes the focus for a while without closing it.
    Find<QComboBox>(form, "ComboBox1")->setEditText("x");
    EXPECT_EQ(PressOK(form), std::vector<QString>{QString::fromUtf8(kNotANumberMessage)});
    Flush();
    ASSERT_FALSE(form.isNull());
    ASSERT_TRUE(ProcessUntil([&] { return form->isActiveWindow(); }));

    mainWindow.activateWindow();
    EXPECT_TRUE(ProcessUntil([&] { return form.isNull(); }));
    EXPECT_FALSE(std::filesystem::exists(Path()));
}

TEST_F(SettingFormTest, CloseButtonAppliesNothing) {
    QPointer<TSettingForm> form = Open();
    form->show();
    Find<QComboBox>(form, "ComboBox1")->setEditText("7000");
    Find<QPushButton>(form, "CloseBtn")->click();
    EXPECT_TRUE(ProcessUntil([&] { return form.isNull(); }));
    EXPECT_EQ(live.ConversationPort, 9911);
    EXPECT_FALSE(std::filesystem::exists(Path()));
}

}  // namespace
}  // namespace vox::testing

namespace vox::testing {
namespace {

TEST_F(SettingFormTest, OtherPagesApplyWhileConnectedButTheBasicPageStillMayNot) {
    QPointer<TSettingForm> form = Open();
    auto* tabs = Find<QTabWidget>(form, "Pages");
    EXPECT_TRUE(tabs->tabBar()->isHidden()) << "one page shows no tabs";
    auto* page = new TCountPage;
    form->AddPage(page);
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("基本"));
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("数"));

    core->StartListening(0);
    TRawPeer caller = TRawPeer::Connect(core->ListeningPort());
    ASSERT_TRUE(PumpUntil(sync, [&] { return core->IncomingCount() == 1; }));

    // A page's own check refuses before anything is applied.
    form->show();
    page->Value = -1;
    EXPECT_EQ(PressOK(form), std::vector<QString>{QStringLiteral("負の数です。")});
    EXPECT_EQ(page->Applied, 0);
    EXPECT_EQ(tabs->currentWidget(), page);

    // With the basic page changed too, the connection refuses both.
    page->Value = 3;
    Find<QLineEdit>(form, "MyNameEdit")->setText("new");
    ExpectRefused(form, kConnectedMessage);
    EXPECT_EQ(page->Applied, 0);
    EXPECT_EQ(tabs->currentIndex(), 0);

    // Only the other page changed: it applies while connected and the dialog closes.
    Find<QLineEdit>(form, "MyNameEdit")->setText(QStringLiteral("たろう"));
    EXPECT_TRUE(PressOK(form).empty());
    EXPECT_EQ(page->Applied, 3);
    Flush();
    EXPECT_TRUE(form.isNull());

    // Nothing changed anywhere: the connection is still the answer.
    form = Open();
    form->AddPage(new TCountPage);
    ExpectRefused(form, kConnectedMessage);
    delete form.data();
}

}  // namespace
}  // namespace vox::testing
