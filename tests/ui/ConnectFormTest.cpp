// The connect dialog with the history and a real connection core, and the incoming-call
// dialog with its time limit.
#include "ui/ConnectForm.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <memory>

#include "DialogTestSupport.h"
#include "net/Address.h"
#include "net/NetTestUtil.h"
#include "platform/Cp932.h"
#include "settings/MyIniFile.h"
#include "settings/Settings.h"
#include "support/ConversationTestSupport.h"
#include "support/ScratchDir.h"

namespace vox::testing {
namespace {

using test::ReadFileBytes;
using test::TScratchDir;
using test::WriteFileBytes;

constexpr const char* kNoPartnerMessage = "接続相手の名前が記入されていません。";
constexpr const char* kNoNameMessage = "あなたの名前が記入されていません。";
constexpr const char* kNoHostMessage = "接続先のホスト名が入力されていません。";

template <typename T>
T* Find(QWidget* form, const char* name) {
    T* found = form->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

QString Text(QWidget* form, const char* name) {
    return Find<QLineEdit>(form, name)->text();
}

class ConnectFormTest : public DialogTest {
  protected:
    ConnectFormTest() {
        live.MyName = Sj("わたし");
        // Partner1 is missing: the history ends at the gap.
        WriteFileBytes(Path(), Sj("[Partner0]\r\nPartnerName=たろう\r\nHostName=taro-pc\r\n"
                                  "Address=192.0.2.7\r\n"
                                  "[Partner2]\r\nPartnerName=はなこ\r\nHostName=hanako-pc\r\n"));
    }
    void TearDown() override {
        form.reset();
        Flush();
        other.reset();
        core.reset();
    }

    std::string Path() const { return dir.File("Voxilen.Ini"); }
    void OpenForm() { form = std::make_unique<TConnectForm>(nullptr, *core, live, Path()); }
    void Fill(const char* name, const QString& text) {
        auto* edit = Find<QLineEdit>(form.get(), name);
        edit->clear();
        CommitText(edit, text);
    }
    void SetPartner(const QString& name) {
        auto* box = Find<QComboBox>(form.get(), "PartnerComboBox");
        box->clearEditText();
        CommitText(box->lineEdit(), name);
    }
    // Presses OK and waits until the call it places, if any, stood or failed.
    std::vector<TMessageCatcher::TMessage> PressOK() {
        TMessageCatcher catcher;
        Find<QPushButton>(form.get(), "OKBitBtn")->click();
        EXPECT_TRUE(ProcessUntil(
            [&] {
                sync.CheckSynchronize(0);
                return !form->Calling();
            },
            5000));
        return catcher.Messages;
    }
    std::vector<QString> PressOKTexts() {
        std::vector<QString> texts;
        for (const auto& m : PressOK()) {
            texts.push_back(m.Text);
        }
        return texts;
    }
    bool Logged(TFakeUi& who, std::string_view line) {
        return PumpUntil(sync, [&] { return who.HasLog(line); });
    }

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
    std::unique_ptr<TConnectForm> form;
};

TEST_F(ConnectFormTest, ConnectModeListsTheHistoryUpToTheGap) {
    OpenForm();
    EXPECT_EQ(form->DialogMode(), QStringLiteral("接続"));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("接続先を記入してください。"));
    EXPECT_EQ(Find<QPushButton>(form.get(), "OKBitBtn")->text(), QStringLiteral("接続"));
    EXPECT_EQ(Find<QPushButton>(form.get(), "CancelBitBtn")->text(), QStringLiteral("キャンセル"));
    EXPECT_EQ(Find<QLabel>(form.get(), "AddressLabel")->text(),
              QStringLiteral("接続先のアドレス："));
    EXPECT_EQ(Find<QLabel>(form.get(), "HostNameLabel")->text(),
              QStringLiteral("接続先のＰＣの名前"));
    EXPECT_EQ(Find<QLineEdit>(form.get(), "AddressEdit")->accessibleName(),
              QStringLiteral("接続先のアドレス"));
    auto* pass = Find<QLineEdit>(form.get(), "PassEdit");
    EXPECT_EQ(pass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(pass->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, pass), '*');
    EXPECT_EQ(pass->toolTip(), QStringLiteral("空白が含まれていても大丈夫"));
    EXPECT_EQ(pass->accessibleName(), QStringLiteral("パスフレーズ（接続にパスが必要なときのみ）"));

    auto* partner = Find<QComboBox>(form.get(), "PartnerComboBox");
    EXPECT_EQ(partner->accessibleName(), QStringLiteral("相手の名前"));
    ASSERT_EQ(partner->count(), 1);
    EXPECT_EQ(partner->itemText(0), QStringLiteral("たろう"));
    EXPECT_EQ(partner->currentText(), QString());
    EXPECT_EQ(Text(form.get(), "AddressEdit"), QString());
    EXPECT_EQ(Text(form.get(), "HostNameEdit"), QString());
    EXPECT_FALSE(Find<QTimer>(form.get(), "TimeOutTimer")->isActive());
}

TEST_F(ConnectFormTest, TheHistoryShowsAddressesAndForgetsAPartner) {
    WriteFileBytes(Path(), Sj("[Partner0]\r\nPartnerName=たろう\r\nHostName=taro-pc\r\n"
                              "Address=192.0.2.7\r\n"
                              "[Partner1]\r\nPartnerName=じろう\r\nHostName=jiro-pc\r\n"
                              "[Partner2]\r\nPartnerName=さぶろう\r\nAddress=192.0.2.3\r\n"));
    OpenForm();
    form->show();
    auto* partner = Find<QComboBox>(form.get(), "PartnerComboBox");
    ASSERT_EQ(partner->count(), 3);
    // Each entry reads as name and address (the host name when no address is known).
    EXPECT_EQ(partner->itemData(0, Qt::AccessibleTextRole).toString(),
              QStringLiteral("たろう 192.0.2.7"));
    EXPECT_EQ(partner->itemData(1, Qt::AccessibleTextRole).toString(),
              QStringLiteral("じろう jiro-pc"));
    QStyleOptionViewItem option;
    option.initFrom(partner->view());
    const QSize shown = partner->itemDelegate()->sizeHint(option, partner->model()->index(0, 0));
    const QSize nameOnly = partner->fontMetrics().size(0, QStringLiteral("たろう"));
    EXPECT_GT(shown.width(), nameOnly.width() + 40) << "the address is drawn beside the name";

    // The Delete key in the open list forgets the entry under the cursor; the later ones move
    // up so that the history keeps no gap.
    partner->showPopup();
    partner->view()->setCurrentIndex(partner->model()->index(1, 0));
    QTest::keyClick(partner->view(), Qt::Key_Delete);
    partner->hidePopup();
    EXPECT_EQ(ReadPartnerNames(Path()), (std::vector<std::string>{Sj("たろう"), Sj("さぶろう")}));
    std::string host;
    std::string address;
    ASSERT_TRUE(LookUpPartner(Path(), Sj("さぶろう"), host, address));
    EXPECT_EQ(address, "192.0.2.3");
    ASSERT_EQ(partner->count(), 2);
    EXPECT_EQ(partner->itemText(1), QStringLiteral("さぶろう"));

    // The button forgets the partner named in the field; the field keeps what was typed.
    SetPartner(QStringLiteral("たろう"));
    Find<QPushButton>(form.get(), "ForgetBtn")->click();
    EXPECT_EQ(ReadPartnerNames(Path()), std::vector<std::string>{Sj("さぶろう")});
    EXPECT_EQ(partner->currentText(), QStringLiteral("たろう"));
    EXPECT_EQ(partner->count(), 1);
    {
        TMessageCatcher catcher;
        Find<QPushButton>(form.get(), "ForgetBtn")->click();
        EXPECT_EQ(catcher.Texts(),
                  std::vector<QString>{QStringLiteral("「たろう」は履歴にありません。")});
    }
}

TEST_F(ConnectFormTest, TabWalksEveryFieldAndButtonInReadingOrder) {
    OpenForm();
    const QStringList order = {"PartnerComboBox", "AddressEdit", "HostNameEdit", "PassEdit",
                               "CommentEdit",     "OKBitBtn",    "CancelBitBtn", "ForgetBtn"};
    const auto walked = TabWalk(form.get(), Find<QWidget>(form.get(), "PartnerComboBox"), order, 9);
    std::vector<QString> expected(order.begin(), order.end());
    expected.push_back("PartnerComboBox");  // and round again
    EXPECT_EQ(walked, expected);
}

TEST_F(ConnectFormTest, LeavingForAnotherWindowKeepsWhatWasTyped) {
    OpenForm();
    form->show();
    QApplication::setActiveWindow(form.get());
    SetPartner(QStringLiteral("じろう"));
    Fill("AddressEdit", "192.0.2.99");
    Fill("CommentEdit", QStringLiteral("またね"));
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    Flush();
    QApplication::setActiveWindow(form.get());
    Flush();
    EXPECT_EQ(Find<QComboBox>(form.get(), "PartnerComboBox")->currentText(),
              QStringLiteral("じろう"));
    EXPECT_EQ(Text(form.get(), "AddressEdit"), "192.0.2.99");
    EXPECT_EQ(Text(form.get(), "CommentEdit"), QStringLiteral("またね"));
}

TEST_F(ConnectFormTest, ChoosingARememberedPartnerFillsHostAndAddress) {
    OpenForm();
    Fill("PassEdit", "typed");
    auto* partner = Find<QComboBox>(form.get(), "PartnerComboBox");
    partner->setCurrentIndex(0);
    EXPECT_EQ(Text(form.get(), "HostNameEdit"), "taro-pc");
    EXPECT_EQ(Text(form.get(), "AddressEdit"), "192.0.2.7");
    EXPECT_EQ(Text(form.get(), "PassEdit"), "typed");  // the history's pass phrase stays unread

    // Names not in the history (one behind the gap among them) leave both fields alone.
    SetPartner(QStringLiteral("はなこ"));
    SetPartner(QStringLiteral("タロウ"));
    EXPECT_EQ(Text(form.get(), "HostNameEdit"), "taro-pc");
    EXPECT_EQ(Text(form.get(), "AddressEdit"), "192.0.2.7");
}

TEST_F(ConnectFormTest, ChecksComeInTheirOrder) {
    OpenForm();
    form->show();
    // Enter in the partner field presses the default button.
    auto* partner = Find<QComboBox>(form.get(), "PartnerComboBox");
    {
        TMessageCatcher catcher;
        QTest::keyClick(partner->lineEdit(), Qt::Key_Return);
        EXPECT_EQ(catcher.Texts(), std::vector<QString>{QString::fromUtf8(kNoPartnerMessage)});
    }
    EXPECT_TRUE(form->isVisible()) << "stays open for a correction";

    const std::string before = ReadFileBytes(Path());
    SetPartner(QStringLiteral("じろう"));
    live.MyName.clear();
    EXPECT_EQ(PressOKTexts(), std::vector<QString>{QString::fromUtf8(kNoNameMessage)});
    EXPECT_EQ(ReadFileBytes(Path()), before);

    // A new partner without host or address is remembered, at the free index, before the
    // message.
    live.MyName = "me";
    Fill("PassEdit", "secret");
    EXPECT_EQ(PressOKTexts(), std::vector<QString>{QString::fromUtf8(kNoHostMessage)});
    const TMyIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("Partner1", "PartnerName", ""), Sj("じろう"));
    EXPECT_TRUE(ini.ValueExists("Partner1", "HostName"));
    EXPECT_FALSE(ini.ValueExists("Partner1", "PassPhrase"));  // new partners get none
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
    EXPECT_TRUE(ui.Logs.empty());
    EXPECT_TRUE(form->isVisible());
}

TEST_F(ConnectFormTest, ARememberedPartnersPassPhraseIsWrittenThenDeleted) {
    OpenForm();
    SetPartner(QStringLiteral("たろう"));
    Fill("HostNameEdit", "");
    Fill("AddressEdit", "");
    Fill("PassEdit", "secret");
    EXPECT_EQ(PressOKTexts(), std::vector<QString>{QString::fromUtf8(kNoHostMessage)});
    const TMyIniFile ini(Path());
    EXPECT_TRUE(ini.ValueExists("Partner0", "PassPhrase"));
    EXPECT_EQ(ini.ReadString("Partner0", "HostName", "x"), "");

    Fill("PassEdit", "");
    EXPECT_EQ(PressOKTexts(), std::vector<QString>{QString::fromUtf8(kNoHostMessage)});
    EXPECT_FALSE(ini.ValueExists("Partner0", "PassPhrase"));
}

TEST_F(ConnectFormTest, OKRemembersThePartnerAndCalls) {
    other->StartListening(0);
    otherUi.UsePassPhrase = true;
    otherUi.OwnPassPhrase = Sj("ひみつ 1");
    live.ConversationPort = other->ListeningPort();
    OpenForm();
    SetPartner(QStringLiteral("けんじ"));
    Fill("AddressEdit", "127.0.0.1");
    Fill("PassEdit", QStringLiteral("ひみつ 1"));
    Fill("CommentEdit", QStringLiteral("こんにちは"));

    EXPECT_TRUE(PressOK().empty());
    EXPECT_EQ(form->result(), cdAccepted);
    EXPECT_TRUE(ui.HasLog("127.0.0.1 に接続を試みています。")) << ui.AllLogs();
    // Into the gap at Partner1, which brings Partner2 back into the list.
    EXPECT_EQ(ReadPartnerNames(Path()),
              (std::vector<std::string>{Sj("たろう"), Sj("けんじ"), Sj("はなこ")}));
    std::string host, address;
    ASSERT_TRUE(LookUpPartner(Path(), Sj("けんじ"), host, address));
    EXPECT_EQ(address, "127.0.0.1");

    // The partner sees this side's name and comment, and the pass phrase lets the call in.
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();
    EXPECT_EQ(ui.Members[0].first, "けんじ");
    ASSERT_EQ(otherUi.Calls.size(), 1u);
    EXPECT_EQ(otherUi.Calls[0].PartnerName, Sj("わたし"));
    EXPECT_EQ(otherUi.Calls[0].Comment, Sj("こんにちは"));
}

TEST_F(ConnectFormTest, ATypedHostNameWinsOverTheAddress) {
    other->StartListening(0);
    live.ConversationPort = other->ListeningPort();
    OpenForm();
    SetPartner("x");
    Fill("HostNameEdit", " localhost ");
    Fill("AddressEdit", "no.such.address.invalid");
    EXPECT_TRUE(PressOK().empty());
    EXPECT_EQ(form->result(), cdAccepted);
    EXPECT_TRUE(ui.HasLog("localhost に接続を試みています。")) << ui.AllLogs();
    EXPECT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();
}

TEST_F(ConnectFormTest, BadAddressesAreRefusedWithAMessageAndDialNothing) {
    OpenForm();
    SetPartner(QStringLiteral("まちがい"));
    const std::pair<QString, const char*> cases[] = {
        {QStringLiteral("[::1"), address_texts::kUnclosedBracket},
        {QStringLiteral("host:99999"), address_texts::kBadPort},
        {QStringLiteral("host:abc"), address_texts::kBadPort},
        {QStringLiteral("host:"), address_texts::kNoPort},
        {QString(300, QLatin1Char('a')), address_texts::kTooLong},
        {QStringLiteral("my host"), address_texts::kBlank},
    };
    for (const char* field : {"HostNameEdit", "AddressEdit"}) {
        Fill("HostNameEdit", QString());
        for (const auto& [typed, message] : cases) {
            Fill(field, typed);
            EXPECT_EQ(PressOKTexts(), std::vector<QString>{QString::fromUtf8(message)})
                << field << " " << typed.toStdString();
        }
    }
    EXPECT_EQ(core->CallThreadCount(), 0u);
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
    EXPECT_EQ(ReadPartnerNames(Path()).size(), 1u) << "nothing remembered for a bad address";
    EXPECT_NE(form->result(), cdAccepted);
}

TEST_F(ConnectFormTest, APortTypedWithTheAddressIsDialledAndRemembered) {
    other->StartListening(0);
    live.ConversationPort = 1;  // the own port is not the partner's
    OpenForm();
    SetPartner(QStringLiteral("ぽーと"));
    const QString typed = QStringLiteral("[::1]:%1").arg(other->ListeningPort());
    Fill("AddressEdit", typed);
    EXPECT_TRUE(PressOK().empty());
    EXPECT_EQ(form->result(), cdAccepted);
    EXPECT_TRUE(ui.HasLog(typed.toStdString() + " に接続を試みています。")) << ui.AllLogs();
    ASSERT_TRUE(PumpUntil(sync, [&] { return ui.Members.size() == 1; })) << ui.AllLogs();
    ASSERT_EQ(otherUi.Calls.size(), 1u);
    EXPECT_EQ(otherUi.Calls[0].Address, "::1");

    // The address is kept without the port, which has a key of its own, and the dialog
    // shows both together again.
    TMyIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("Partner1", "Address", ""), "::1");
    EXPECT_EQ(ini.ReadInteger("Partner1", "Port", 0), other->ListeningPort());
    form.reset();
    OpenForm();
    SetPartner(QStringLiteral("ぽーと"));
    EXPECT_EQ(Text(form.get(), "AddressEdit"), typed);
}

TEST_F(ConnectFormTest, ACallThatFailsIsShownAndTheDialogStays) {
    int freePort = 0;
    {
        TRawListener closed;
        freePort = closed.Port();
    }
    live.ConversationPort = freePort;
    OpenForm();
    SetPartner("nobody");
    Fill("AddressEdit", "127.0.0.1");
    const auto messages = PressOK();
    ASSERT_EQ(messages.size(), 1u);
    // The socket's own text without the foreign system's name, then what failed and what to try.
    EXPECT_TRUE(messages[0].Text.startsWith(QStringLiteral("ソケットエラー")))
        << messages[0].Text.toStdString();
    EXPECT_TRUE(messages[0].Text.contains(
        QStringLiteral("\n127.0.0.1 のポート %1 では誰も待ち受けていません。").arg(freePort)))
        << messages[0].Text.toStdString();
    EXPECT_EQ(messages[0].Icon, QMessageBox::Critical);
    EXPECT_NE(form->result(), cdAccepted);
    EXPECT_TRUE(ui.Logs.empty()) << ui.AllLogs();
    EXPECT_EQ(core->OutgoingSocketCount(), 1u);  // until every connection is dropped
    EXPECT_EQ(ReadPartnerNames(Path())[1], "nobody");

    // Cancel gives 2.
    WhenModal<TConnectForm>([](TConnectForm* f) { Find<QPushButton>(f, "CancelBitBtn")->click(); });
    EXPECT_EQ(form->exec(), cdRefused);
}

TEST_F(ConnectFormTest, WhileTheCallIsUnderWayOKWaitsAndCancelEndsTheCallAtOnce) {
    test::TSilentPort silent;  // a host that never answers
    ASSERT_TRUE(silent.Ready());
    live.ConversationPort = silent.Port();
    OpenForm();
    form->show();
    SetPartner("silent");
    Fill("AddressEdit", "127.0.0.1");
    TMessageCatcher catcher;
    auto* ok = Find<QPushButton>(form.get(), "OKBitBtn");
    const auto pressed = std::chrono::steady_clock::now();
    ok->click();
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(1))
        << "OK waited for the connect";
    EXPECT_TRUE(form->Calling());
    EXPECT_FALSE(ok->isEnabled());
    EXPECT_EQ(Find<QLabel>(form.get(), "StatusLabel")->text(), QStringLiteral("接続中…"));
    // Enter presses nothing while the call is under way.
    QTest::keyClick(Find<QLineEdit>(form.get(), "AddressEdit"), Qt::Key_Return);
    EXPECT_EQ(core->CallThreadCount(), 1u);
    ASSERT_TRUE(ProcessUntil(
        [&] {
            sync.CheckSynchronize(0);
            return test::PendingConnects(silent.Port()) == 1;
        },
        5000));
    ProcessUntil([] { return false; }, 200);
    sync.CheckSynchronize(0);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(ui.Logs.empty()) << ui.AllLogs();

    const auto cancelled = std::chrono::steady_clock::now();
    Find<QPushButton>(form.get(), "CancelBitBtn")->click();
    EXPECT_EQ(form->result(), cdRefused);
    EXPECT_FALSE(form->isVisible());
    ASSERT_TRUE(ProcessUntil(
        [&] {
            sync.CheckSynchronize(0);
            return core->CallThreadCount() == 0 && test::PendingConnects(silent.Port()) == 0;
        },
        5000));
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::milliseconds(200));
    EXPECT_TRUE(catcher.Messages.empty()) << "a cancelled call shows no error";
    EXPECT_TRUE(ui.Logs.empty()) << ui.AllLogs();
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
}

TEST_F(ConnectFormTest, ADialogClosedWithACallUnderWayEndsIt) {
    test::TSilentPort silent;
    ASSERT_TRUE(silent.Ready());
    live.ConversationPort = silent.Port();
    OpenForm();
    SetPartner("silent");
    Fill("AddressEdit", "127.0.0.1");
    Find<QPushButton>(form.get(), "OKBitBtn")->click();
    ASSERT_TRUE(form->Calling());
    form.reset();
    ASSERT_TRUE(ProcessUntil(
        [&] {
            sync.CheckSynchronize(0);
            return core->CallThreadCount() == 0;
        },
        5000));
    EXPECT_EQ(core->OutgoingSocketCount(), 0u);
}

class IncomingCallTest : public DialogTest {
  protected:
    TIncomingCall call{"192.0.2.9", "caller-pc", Sj("はなこ"), Sj("よろしく")};
};

TEST_F(IncomingCallTest, ShowsTheCallerAndAccepts) {
    bool checked = false;
    WhenModal<TConnectForm>([&](TConnectForm* f) {
        checked = true;
        EXPECT_EQ(f->DialogMode(), QStringLiteral("着信"));
        EXPECT_EQ(f->windowTitle(), QStringLiteral("接続要求を受け付けました。"));
        EXPECT_EQ(Find<QPushButton>(f, "OKBitBtn")->text(), QStringLiteral("接続"));
        EXPECT_EQ(Find<QPushButton>(f, "CancelBitBtn")->text(), QStringLiteral("拒否"));
        EXPECT_EQ(Find<QLabel>(f, "AddressLabel")->text(),
                  QStringLiteral("接続要求者のアドレス："));
        EXPECT_EQ(Find<QLabel>(f, "HostNameLabel")->text(),
                  QStringLiteral("接続要求者のＰＣの名前"));
        EXPECT_EQ(Find<QLineEdit>(f, "HostNameEdit")->accessibleName(),
                  QStringLiteral("接続要求者のＰＣの名前"));
        auto* partner = Find<QComboBox>(f, "PartnerComboBox");
        EXPECT_EQ(partner->currentText(), QStringLiteral("はなこ"));
        EXPECT_EQ(partner->count(), 0);
        EXPECT_TRUE(partner->lineEdit()->isReadOnly());
        for (const char* name : {"AddressEdit", "HostNameEdit", "PassEdit", "CommentEdit"}) {
            EXPECT_TRUE(Find<QLineEdit>(f, name)->isReadOnly()) << name;
        }
        EXPECT_EQ(Text(f, "AddressEdit"), "192.0.2.9");
        EXPECT_EQ(Text(f, "HostNameEdit"), "caller-pc");
        EXPECT_EQ(Text(f, "CommentEdit"), QStringLiteral("よろしく"));
        EXPECT_EQ(Text(f, "PassEdit"), QString());
        auto* timer = Find<QTimer>(f, "TimeOutTimer");
        EXPECT_TRUE(timer->isActive());
        EXPECT_EQ(timer->interval(), 180000);
        Find<QPushButton>(f, "OKBitBtn")->click();
    });
    EXPECT_EQ(TConnectForm::AskIncomingCall(nullptr, call), cdAccepted);
    EXPECT_TRUE(checked);
}

TEST_F(IncomingCallTest, RefuseEscapeAndTheCloseButtonRefuse) {
    WhenModal<TConnectForm>([](TConnectForm* f) { Find<QPushButton>(f, "CancelBitBtn")->click(); });
    EXPECT_EQ(TConnectForm::AskIncomingCall(nullptr, call), cdRefused);

    WhenModal<TConnectForm>([](TConnectForm* f) { QTest::keyClick(f, Qt::Key_Escape); });
    EXPECT_EQ(TConnectForm::AskIncomingCall(nullptr, call), cdRefused);

    WhenModal<TConnectForm>([](TConnectForm* f) { f->close(); });
    EXPECT_EQ(TConnectForm::AskIncomingCall(nullptr, call), cdRefused);

    // Enter on the caller's name is OK, read-only as the field is (once the first moment has
    // passed: no guard here).
    WhenModal<TConnectForm>([](TConnectForm* f) {
        QTest::keyClick(Find<QComboBox>(f, "PartnerComboBox")->lineEdit(), Qt::Key_Return);
    });
    EXPECT_EQ(TConnectForm::AskIncomingCall(nullptr, call, kCallDecisionLimitMs, 0), cdAccepted);
}

TEST_F(IncomingCallTest, ReturnAndSpaceAtFirstNeitherAcceptNorTakeTheLineBeingTyped) {
    // A chat line being typed, the cursor in the middle of it.
    QWidget owner;
    auto* line = new QLineEdit(&owner);
    owner.show();
    QApplication::setActiveWindow(&owner);
    line->setFocus();
    CommitText(line, QStringLiteral("こんにちは、元気"));
    line->setCursorPosition(5);

    bool sawGuard = false;
    WhenModal<TConnectForm>([&](TConnectForm* f) {
        auto* ok = Find<QPushButton>(f, "OKBitBtn");
        EXPECT_TRUE(ok->isDefault()) << "接続 stays the default button";
        // The key that ends the line, and a blank, arrive just as the dialog appears.
        QTest::keyClick(f, Qt::Key_Return);
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : f,
                        Qt::Key_Return);
        QTest::keyClick(ok, Qt::Key_Space);
        QTest::keyClick(f, Qt::Key_Enter);
        sawGuard = f->isVisible() && f->result() == 0;
        // The time left of the three minutes is shown.
        EXPECT_EQ(Find<QLabel>(f, "StatusLabel")->text(), QStringLiteral("残り 3:00"));
        // After the first second Return is the default button again.
        QTimer::singleShot(kAcceptKeyGuardMs + 200, f, [f] { QTest::keyClick(f, Qt::Key_Return); });
    });
    EXPECT_EQ(TConnectForm::AskIncomingCall(&owner, call), cdAccepted);
    EXPECT_TRUE(sawGuard) << "an early Return or Space accepted the call";
    EXPECT_EQ(line->text(), QStringLiteral("こんにちは、元気"));
    EXPECT_TRUE(ProcessUntil([&] { return QApplication::focusWidget() == line; }))
        << "the focus goes back to the line";
    EXPECT_EQ(line->cursorPosition(), 5);
}

TEST_F(IncomingCallTest, TabWalksTheCallerAndBothButtons) {
    std::vector<QString> walked;
    WhenModal<TConnectForm>([&](TConnectForm* f) {
        const QStringList order = {"PartnerComboBox", "AddressEdit", "HostNameEdit", "PassEdit",
                                   "CommentEdit",     "OKBitBtn",    "CancelBitBtn"};
        walked = TabWalk(f, Find<QWidget>(f, "PartnerComboBox"), order, 8);
        f->reject();
    });
    TConnectForm::AskIncomingCall(nullptr, call, kCallDecisionLimitMs, 0);
    EXPECT_EQ(walked,
              (std::vector<QString>{"PartnerComboBox", "AddressEdit", "HostNameEdit", "PassEdit",
                                    "CommentEdit", "OKBitBtn", "CancelBitBtn", "PartnerComboBox"}));
}

TEST(TimeLeftTest, MinutesAndSecondsRoundedUp) {
    EXPECT_EQ(TConnectForm::TimeLeftText(180000), QStringLiteral("残り 3:00"));
    EXPECT_EQ(TConnectForm::TimeLeftText(179001), QStringLiteral("残り 3:00"));
    EXPECT_EQ(TConnectForm::TimeLeftText(61000), QStringLiteral("残り 1:01"));
    EXPECT_EQ(TConnectForm::TimeLeftText(9000), QStringLiteral("残り 0:09"));
    EXPECT_EQ(TConnectForm::TimeLeftText(-5), QStringLiteral("残り 0:00"));
}

TEST_F(IncomingCallTest, NobodyAnswersAndTheTimeRunsOut) {
    QPointer<TConnectForm> seen;
    WhenModal<TConnectForm>([&](TConnectForm* f) { seen = f; });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TConnectForm::AskIncomingCall(nullptr, call, 60), cdTimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
    Flush();
    EXPECT_TRUE(seen.isNull()) << "released before returning";
}

TEST_F(IncomingCallTest, ClosingTheOwnerMeanwhileRefuses) {
    auto* owner = new QWidget;
    owner->show();
    WhenModal<TConnectForm>([owner](TConnectForm*) { delete owner; });
    EXPECT_EQ(TConnectForm::AskIncomingCall(owner, call), cdRefused);
}

}  // namespace
}  // namespace vox::testing
