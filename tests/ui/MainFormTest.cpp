// The main window over real loopback connections and the file sound backend.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QPointer>
#include <QSlider>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <fstream>
#include <iterator>

#include <QCheckBox>
#include <QSlider>
#include "MainFormTestSupport.h"
#include "platform/Cp932.h"
#include "ui/AboutBox.h"
#include "ui/ConnectForm.h"
#include "ui/LogTime.h"
#include "ui/MemberVolume.h"
#include "ui/SettingForm.h"
#include "ui/TransForm.h"
#include "wire/Packet.h"

namespace vox::testing {
namespace {

[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

const QString kListening = QStringLiteral("待ち受けする");
const QString kNotListening = QStringLiteral("待ち受けしない");

// A port nobody listens on right now.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

std::string Ini(bool listen, int conversationPort = 0, int transferPort = 1,
                const std::string& myName = "") {
    std::string text = "[Global]\r\nConversationPort=" + std::to_string(conversationPort) +
                       "\r\nTransferPort=" + std::to_string(transferPort) +
                       "\r\nServerListen=" + (listen ? "1" : "0") + "\r\n";
    if (!myName.empty()) {
        text += "[Personal]\r\nMyName=" + Utf8ToCp932(myName) + "\r\n";
    }
    return text;
}

class MainFormTest : public ::testing::Test {
  protected:
    MainFormTest() { TestApp(); }
    test::TScratchDir dir;
};

// --- Creation, listening, activation ---------------------------------------------------------

TEST_F(MainFormTest, CreationWithListeningOnOpensTheListener) {
    const std::string ini = WriteIni(dir, "A.Ini", Ini(true));
    TWindow w(ini);
    EXPECT_TRUE(w.Form->Core().Listening());
    EXPECT_GT(w.Form->Core().ListeningPort(), 0);
    EXPECT_EQ(w.Action("ServerWait")->text(), kListening);
    EXPECT_TRUE(w.Action("ServerWait")->isChecked());
    ASSERT_EQ(w.LogLines().size(), 1);
    // Date and time, one blank, the message.
    const QString first = w.LogLines().front();
    const QString date = QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat);
    EXPECT_TRUE(first.startsWith(date + u' ')) << first.toStdString();
    EXPECT_TRUE(first.endsWith(QStringLiteral(" 接続待機開始。"))) << first.toStdString();
    EXPECT_TRUE(w.Errors.empty());
    EXPECT_TRUE(w.Memo2()->toPlainText().isEmpty());
    EXPECT_TRUE(w.Edit1()->text().isEmpty());
}

TEST_F(MainFormTest, CreationWithListeningOffAndTheWindowAsDesigned) {
    const std::string ini = WriteIni(dir, "A.Ini", Ini(false));
    TWindow w(ini);
    EXPECT_FALSE(w.Form->Core().Listening());
    EXPECT_EQ(w.Action("ServerWait")->text(), kNotListening);
    EXPECT_FALSE(w.Action("ServerWait")->isChecked());
    ASSERT_EQ(w.LogLines().size(), 1);
    EXPECT_TRUE(w.LogLines().front().endsWith(QStringLiteral(" 接続待機中止")));

    EXPECT_EQ(w.Form->windowTitle(), QStringLiteral("ぼくしれん"));
    EXPECT_FALSE(w.Form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w.Form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(w.Form->size(), QSize(544, 375));  // no frame on this platform
    EXPECT_TRUE(w.Memo1()->isReadOnly());
    EXPECT_TRUE(w.Memo2()->isReadOnly());
    EXPECT_EQ(w.ListBox1()->font().pixelSize(), 15);
    EXPECT_EQ(w.SendButton()->text(), QStringLiteral("音声送信"));

    // Every control speaks its name; menus in order, with their separators.
    EXPECT_EQ(w.Memo1()->accessibleName(), QStringLiteral("ログ"));
    EXPECT_EQ(w.Memo2()->accessibleName(), QStringLiteral("受信テキスト"));
    EXPECT_EQ(w.Edit1()->accessibleName(), QStringLiteral("送信テキスト"));
    EXPECT_EQ(w.ListBox1()->accessibleName(), QStringLiteral("メンバーリスト"));
    EXPECT_EQ(w.SendButton()->accessibleName(), QStringLiteral("音声送信"));
    auto captions = [](QMenu* menu) {
        QStringList list;
        for (QAction* a : menu->actions()) {
            list << (a->isSeparator() ? QStringLiteral("-") : a->text());
        }
        return list;
    };
    EXPECT_EQ(captions(w.Find<QMenu>("Connect")),
              QStringList({kNotListening, "-", "接続", "-", "すべて切断", "-", "自分の接続先"}));
    EXPECT_EQ(captions(w.Find<QMenu>("Help1")),
              QStringList({"バージョン情報", "-", "ぼくしれんヘルプ"}));
    EXPECT_EQ(captions(w.Find<QMenu>("PopupMenu1")), QStringList({"ファイル転送", "-", "音量"}));
    EXPECT_EQ(w.Action("Setting")->text(), QStringLiteral("設定"));
    EXPECT_EQ(w.Find<QMenu>("Connect")->title(), QStringLiteral("接続"));
    EXPECT_EQ(w.Find<QMenu>("Help1")->title(), QStringLiteral("ヘルプ"));
}

TEST_F(MainFormTest, ServerWaitWritesTheStateBeforeSwitching) {
    const std::string ini = WriteIni(dir, "A.Ini", Ini(true));
    TWindow w(ini);
    w.Click("ServerWait");
    ASSERT_TRUE(WaitFor([&] { return !w.Form->Core().Listening(); }));
    EXPECT_EQ(IniValue(ini, "Global", "ServerListen"), "0");
    EXPECT_EQ(w.Action("ServerWait")->text(), kNotListening);
    EXPECT_FALSE(w.Action("ServerWait")->isChecked());
    EXPECT_TRUE(w.LogLines().back().endsWith(QStringLiteral(" 接続待機中止")));

    w.Click("ServerWait");
    ASSERT_TRUE(WaitFor([&] { return w.Form->Core().Listening(); }));
    EXPECT_EQ(IniValue(ini, "Global", "ServerListen"), "1");
    EXPECT_EQ(w.Action("ServerWait")->text(), kListening);
    EXPECT_TRUE(w.Action("ServerWait")->isChecked());
    EXPECT_TRUE(w.LogLines().back().endsWith(QStringLiteral(" 接続待機開始。")));
    EXPECT_EQ(w.LogLines().size(), 3);
}

TEST_F(MainFormTest, ListenerThatCannotOpenIsReportedAndTheWindowStillWorks) {
    // Somebody else listens on the port.
    const int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);

    const std::string ini = WriteIni(dir, "A.Ini", Ini(true, port, port + 1));
    TWindow w(ini);
    // The window comes up first, then the message.
    EXPECT_TRUE(w.Errors.empty()) << "an error box before the window";
    w.Form->show();
    ASSERT_TRUE(WaitFor([&] { return !w.Errors.empty(); }));
    ASSERT_EQ(w.Errors.size(), 1u);
    const QString inUse = QStringLiteral("ポート %1 は他のプログラムが使用中です。").arg(port);
    EXPECT_TRUE(w.Errors.front().startsWith(QStringLiteral("ソケットエラー")))
        << w.Errors.front().toStdString();
    EXPECT_TRUE(w.Errors.front().contains(QStringLiteral("bind")));
    EXPECT_TRUE(w.Errors.front().contains(u'\n' + inUse)) << w.Errors.front().toStdString();

    // Nothing says it listens: not the item, not the status line; the log says why not.
    EXPECT_FALSE(w.Form->Core().Listening());
    EXPECT_EQ(w.Action("ServerWait")->text(), kNotListening);
    EXPECT_FALSE(w.Action("ServerWait")->isChecked());
    EXPECT_TRUE(
        w.Status("ListenStatus").startsWith(QStringLiteral("待ち受けしていません：") + inUse))
        << w.Status("ListenStatus").toStdString();
    ASSERT_EQ(w.LogLines().size(), 1);
    EXPECT_TRUE(w.LogLines().front().contains(
        QStringLiteral("ポート %1 で待ち受けできません。").arg(port) + inUse))
        << w.LogLines().front().toStdString();
    // The wish stays: the next start tries again.
    EXPECT_EQ(IniValue(ini, "Global", "ServerListen"), "1");

    // Once the port is free the item switches listening on.
    ::close(blocker);
    w.Click("ServerWait");
    ASSERT_TRUE(WaitFor([&] { return w.Form->Core().Listening(); }));
    EXPECT_EQ(w.Action("ServerWait")->text(), kListening);
    EXPECT_TRUE(w.Action("ServerWait")->isChecked());
    EXPECT_EQ(w.Status("ListenStatus"), QStringLiteral("待ち受け中（ポート %1）").arg(port));
    EXPECT_EQ(w.Errors.size(), 1u);
}

TEST_F(MainFormTest, TheStatusLineAndTheTitleTellTheState) {
    const std::string ini = WriteIni(dir, "A.Ini", Ini(true, 0, 1, "はなこ"));
    TWindow w(ini);
    EXPECT_EQ(w.Form->windowTitle(), QStringLiteral("ぼくしれん - はなこ"));
    EXPECT_EQ(w.Status("ListenStatus"),
              QStringLiteral("待ち受け中（ポート %1）").arg(w.Form->Core().ListeningPort()));
    EXPECT_EQ(w.Status("MemberStatus"), QStringLiteral("相手 0 人"));
    EXPECT_TRUE(w.Status("AddressStatus").startsWith(QStringLiteral("アドレス")));
    EXPECT_EQ(w.Status("SoundStatus"), QString()) << "sound works: nothing to say";
    // Whoever knows the public address puts it there.
    w.Form->ShowDialAddress(QStringLiteral("203.0.113.5"));
    EXPECT_EQ(w.Status("AddressStatus"), QStringLiteral("アドレス 203.0.113.5"));

    w.Click("ServerWait");
    ASSERT_TRUE(WaitFor([&] { return !w.Form->Core().Listening(); }));
    EXPECT_EQ(w.Status("ListenStatus"), QStringLiteral("待ち受けしていません"));
    w.Form->AddMember("one", reinterpret_cast<TConversation*>(0x1));
    w.Form->AddMember("two", reinterpret_cast<TConversation*>(0x2));
    EXPECT_EQ(w.Status("MemberStatus"), QStringLiteral("相手 2 人"));

    // A new name from the settings dialog reaches the title.
    w.Click("Setting");
    ASSERT_TRUE(WaitFor([&] { return w.Form->findChild<TSettingForm*>() != nullptr; }));
    auto* form = w.Form->findChild<TSettingForm*>();
    form->findChild<QLineEdit*>("MyNameEdit")->setText(QStringLiteral("たろう"));
    form->findChild<QComboBox*>("ComboBox1")->setEditText(QString::number(FreePort()));
    form->findChild<QComboBox*>("ComboBox2")->setEditText(QString::number(FreePort()));
    form->findChild<QPushButton*>("OKBtn")->click();
    EXPECT_EQ(w.Form->windowTitle(), QStringLiteral("ぼくしれん - たろう"));

    TWindow mute(WriteIni(dir, "B.Ini", Ini(false)), {}, {}, false);
    EXPECT_EQ(mute.Form->windowTitle(), QStringLiteral("ぼくしれん"));
    EXPECT_EQ(mute.Status("SoundStatus"), QStringLiteral("音声は使えません"));
}

TEST_F(MainFormTest, TheWindowRemembersItsPlaceAndSize) {
    const std::string ini = WriteIni(dir, "A.Ini", Ini(false));
    {
        TWindow w(ini);
        w.Form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));
        w.Form->move(120, 90);
        w.Form->resize(600, 420);
        QTest::qWait(10);
        w.Form->close();
    }
    EXPECT_EQ(IniValue(ini, "Global", "MainFormWidth"), "600");
    EXPECT_EQ(IniValue(ini, "Global", "MainFormHeight"), "420");
    TWindow again(ini);
    EXPECT_EQ(again.Form->size(), QSize(600, 420));
    EXPECT_EQ(again.Form->pos(), QPoint(120, 90));
}

TEST_F(MainFormTest, EqualPortsAreMendedAtTheFirstActivationOnly) {
    const std::string ini = WriteIni(dir, "A.Ini", Ini(false, 9930, 9930));
    TWindow w(ini);
    EXPECT_TRUE(w.Messages.empty());  // not at creation
    w.Form->show();
    w.Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.Form.get()));
    ASSERT_TRUE(WaitFor([&] { return !w.Messages.empty(); }));
    EXPECT_EQ(w.Messages.front(), QStringLiteral("会話用ポートと転送用ポートが同じだったので、\n"
                                                 "転送用ポートを 9931 に変更しました。"));
    EXPECT_EQ(w.Beeps, 1);
    EXPECT_EQ(IniValue(ini, "Global", "TransferPort"), "9931");
    EXPECT_EQ(w.Form->Settings().TransferPort, 9931);

    // Another activation finds the ports apart.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    w.Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.Form.get()));
    QTest::qWait(20);
    EXPECT_EQ(w.Messages.size(), 1u);
    EXPECT_EQ(w.Beeps, 1);
}

// --- Two windows talking ---------------------------------------------------------------------

// Window B calls window A through the connect dialog, A accepts.
class ConnectedTest : public MainFormTest {
  protected:
    std::string iniA = WriteIni(dir, "A.Ini", Ini(true, 0, 1, "はなこ"));
    std::unique_ptr<TWindow> a = std::make_unique<TWindow>(iniA);
    std::string iniB;
    std::unique_ptr<TWindow> b;

    void SetUp() override {
        // B calls on its own conversation port: the one A listens on.
        iniB = WriteIni(dir, "B.Ini",
                        Ini(false, a->Form->Core().ListeningPort(), FreePort(), "たろう"));
        b = std::make_unique<TWindow>(iniB, std::vector<std::uint8_t>(11025, 200));
        CallThroughTheDialog(*b, QStringLiteral("はなこさん"));
        ASSERT_TRUE(WaitFor([&] {
            return a->ListBox1()->count() == 1 && b->ListBox1()->count() == 1;
        })) << a->Memo1()->toPlainText().toStdString()
            << b->Memo1()->toPlainText().toStdString();
    }

    void TearDown() override {
        b.reset();
        a.reset();
    }

    // Picks "接続" and fills the connect dialog once it is up.
    static void CallThroughTheDialog(TWindow& w, const QString& partnerName) {
        bool filled = false;
        QTimer timer;
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<TConnectForm*>(QApplication::activeModalWidget());
            if (dialog == nullptr || filled) {
                return;
            }
            filled = true;
            dialog->findChild<QComboBox*>("PartnerComboBox")->setEditText(partnerName);
            dialog->findChild<QLineEdit*>("AddressEdit")->setText(QStringLiteral("127.0.0.1"));
            dialog->findChild<QPushButton*>("OKBitBtn")->click();
        });
        timer.start();
        w.Click("ClientConnect");
        ASSERT_TRUE(
            WaitFor([&] { return filled && QApplication::activeModalWidget() == nullptr; }));
    }
};

TEST_F(ConnectedTest, MembersAndChatLinesInBothDirections) {
    // A lists the name the caller announced, B the name typed in the dialog.
    EXPECT_EQ(a->ListBox1()->item(0)->text(), QStringLiteral("たろう"));
    EXPECT_EQ(b->ListBox1()->item(0)->text(), QStringLiteral("はなこさん"));
    ASSERT_EQ(a->Calls.size(), 1u);
    EXPECT_EQ(Cp932ToUtf8(a->Calls.front().PartnerName), "たろう");
    EXPECT_TRUE(b->HasLogEnding(QStringLiteral(" 127.0.0.1 に接続を試みています。")));

    b->Edit1()->setFocus();
    CommitText(b->Edit1(), QStringLiteral("こんにちは、①髙﨑さん"));
    QTest::keyClick(b->Edit1(), Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return a->ChatLines().size() == 1; }));
    const QString line = a->ChatLines().front();
    EXPECT_TRUE(line.endsWith(QStringLiteral(" (たろう) こんにちは、①髙﨑さん")))
        << line.toStdString();
    const QString date = QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat);
    EXPECT_TRUE(line.startsWith(date + u' ')) << line.toStdString();
    // The own line is not shown; the field is emptied and the talk button takes the focus.
    EXPECT_TRUE(b->ChatLines().isEmpty());
    EXPECT_TRUE(b->Edit1()->text().isEmpty());
    EXPECT_EQ(b->Form->focusWidget(), b->SendButton());

    CommitText(a->Edit1(), QStringLiteral("はーい"));
    QTest::keyClick(a->Edit1(), Qt::Key_Enter);  // the keypad's Enter too
    ASSERT_TRUE(WaitFor([&] { return b->ChatLines().size() == 1; }));
    EXPECT_TRUE(b->ChatLines().front().endsWith(QStringLiteral(" (はなこさん) はーい")));
}

TEST_F(ConnectedTest, FileTransferFromTheMemberListReachesThePartner) {
    const std::string sent = dir.File("report.txt");
    {
        std::ofstream out(sent, std::ios::binary);
        for (int i = 0; i < 3000; ++i) {
            out.put(static_cast<char>(i * 7));
        }
    }
    b->ListBox1()->setCurrentRow(0);
    b->Action("Transfer")->trigger();
    TTransForm* sending = nullptr;
    ASSERT_TRUE(WaitFor([&] { return (sending = b->Form->findChild<TTransForm*>()) != nullptr; }));
    sending->findChild<QLineEdit*>("FileNameEdit")->setText(QString::fromStdString(sent));
    sending->findChild<QAbstractButton*>("OkBitBtn")->click();

    // The partner's window proposes the name; accepting saves it in "Recieved" beside A.Ini.
    TTransForm* receiving = nullptr;
    ASSERT_TRUE(
        WaitFor([&] { return (receiving = a->Form->findChild<TTransForm*>()) != nullptr; }));
    EXPECT_EQ(receiving->findChild<QLineEdit*>("FileNameEdit")->text(),
              QStringLiteral("report.txt"));
    receiving->findChild<QAbstractButton*>("OkBitBtn")->click();
    const std::string received = dir.File("Recieved/report.txt");
    ASSERT_TRUE(WaitFor(
        [&] {
            std::ifstream in(received, std::ios::binary);
            std::ifstream original(sent, std::ios::binary);
            return in && std::string(std::istreambuf_iterator<char>(in), {}) ==
                             std::string(std::istreambuf_iterator<char>(original), {});
        },
        10000));
    // While a window is open, a second offer from the partner is answered busy.
    EXPECT_TRUE(a->Form->TransferWindowOpen());
}

TEST_F(ConnectedTest, ALineShiftJisCannotCarryIsShownBeforeItGoes) {
    // Japanese that travels goes without a question.
    b->Edit1()->setFocus();
    CommitText(b->Edit1(), QStringLiteral("髙橋です～"));
    QTest::keyClick(b->Edit1(), Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return a->ChatLines().size() == 1; }));
    EXPECT_TRUE(b->LossyLines.empty());

    // An emoji, 𠮷 and Hangul: the sender sees which and what will arrive, and goes back to
    // edit: nothing goes, the line stays as typed.
    const QString typed = QStringLiteral("やあ😀 𠮷野家 안녕");
    CommitText(b->Edit1(), typed);
    QTest::keyClick(b->Edit1(), Qt::Key_Return);
    ASSERT_EQ(b->LossyLines.size(), 1u);
    EXPECT_EQ(b->LossyLines[0].first, QStringLiteral("😀𠮷안녕"));
    EXPECT_EQ(b->LossyLines[0].second, QStringLiteral("やあ? ?野家 ??"));
    EXPECT_EQ(b->Edit1()->text(), typed);
    QTest::qWait(50);
    EXPECT_EQ(a->ChatLines().size(), 1);

    // Sent anyway: the partner gets exactly what was shown, the wire unchanged.
    b->SendLossyLine = true;
    QTest::keyClick(b->Edit1(), Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return a->ChatLines().size() == 2; }));
    EXPECT_TRUE(a->ChatLines().back().endsWith(QStringLiteral("(たろう) やあ? ?野家 ??")))
        << a->ChatLines().back().toStdString();
    EXPECT_TRUE(b->Edit1()->text().isEmpty());
}

TEST_F(ConnectedTest, APartnerWhoHangsUpIsToldInTheStatusLine) {
    EXPECT_EQ(a->Status("MemberStatus"), QStringLiteral("相手 1 人"));
    a->Click("DisConnect");
    ASSERT_TRUE(
        WaitFor([&] { return b->ListBox1()->count() == 0 && a->ListBox1()->count() == 0; }));
    EXPECT_EQ(b->Status("NoticeStatus"), QStringLiteral("はなこさん との接続が切れました。"));
    EXPECT_EQ(a->Status("NoticeStatus"), QString()) << "who hung up knows it";
    EXPECT_EQ(a->Status("MemberStatus"), QStringLiteral("相手 0 人"));
    // The state stays in sight beside the notice.
    EXPECT_FALSE(b->Status("ListenStatus").isEmpty());
}

TEST_F(ConnectedTest, ClosingWithPartnersAsksFirst) {
    b->Answer = false;
    b->Form->close();
    ASSERT_EQ(b->Questions.size(), 1u);
    EXPECT_EQ(b->Questions[0],
              QStringLiteral("1 人の相手と接続しています。切断して終了しますか？"));
    EXPECT_EQ(b->ListBox1()->count(), 1) << "no means the window stays and so does the partner";
    b->Answer = true;
    b->Form->close();
    ASSERT_TRUE(WaitFor([&] { return a->ListBox1()->count() == 0; }));
    // The end of the login session closes without a question.
    a->Form->CloseWithoutAsking();
    EXPECT_TRUE(a->Questions.empty());
}

TEST_F(ConnectedTest, EnterOnAnEmptyFieldSendsNothing) {
    b->Edit1()->setFocus();
    QTest::keyClick(b->Edit1(), Qt::Key_Return);
    QTest::qWait(100);
    EXPECT_TRUE(a->ChatLines().isEmpty());
    EXPECT_EQ(b->Form->focusWidget(), b->Edit1());
    // The connection took no harm: a real line still arrives.
    CommitText(b->Edit1(), QStringLiteral("x"));
    QTest::keyClick(b->Edit1(), Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return a->ChatLines().size() == 1; }));
}

TEST_F(ConnectedTest, DisconnectAllEmptiesBothMemberLists) {
    b->Click("DisConnect");
    ASSERT_TRUE(
        WaitFor([&] { return a->ListBox1()->count() == 0 && b->ListBox1()->count() == 0; }));
    EXPECT_TRUE(b->HasLogEnding(QStringLiteral(" すべての接続を切断しました。")));
    EXPECT_EQ(b->Form->Core().OutgoingCount(), 0u);
    // A still listens and can be called again.
    EXPECT_TRUE(a->Form->Core().Listening());
    CallThroughTheDialog(*b, QStringLiteral("はなこ"));
    ASSERT_TRUE(WaitFor([&] { return a->ListBox1()->count() == 1; }));
}

TEST_F(ConnectedTest, SwitchingListeningOffEndsIncomingConnections) {
    a->Click("ServerWait");
    ASSERT_TRUE(
        WaitFor([&] { return a->ListBox1()->count() == 0 && b->ListBox1()->count() == 0; }));
    EXPECT_EQ(IniValue(iniA, "Global", "ServerListen"), "0");
}

TEST_F(ConnectedTest, TalkingWithTheButtonSendsVoiceToThePartner) {
    const QColor before = b->Background();
    QTest::mousePress(b->SendButton(), Qt::RightButton);
    EXPECT_TRUE(b->Form->IsTalking());
    EXPECT_EQ(b->Background(), kTalkColour);
    QTest::mouseRelease(b->SendButton(), Qt::RightButton);
    EXPECT_FALSE(b->Form->IsTalking());
    EXPECT_EQ(b->Background(), before);
    // The whole second the microphone gave reaches A's speaker, played 5% faster.
    ASSERT_NE(a->Output, nullptr);
    ASSERT_TRUE(WaitFor([&] { return a->Output->Heard().size() >= 11025; }))
        << a->Output->Heard().size();
    EXPECT_EQ(a->Output->Format().SamplesPerSec, 11576u);

    // The middle button and the space bar talk the same way.
    QTest::mousePress(b->SendButton(), Qt::MiddleButton);
    EXPECT_TRUE(b->Form->IsTalking());
    QTest::mouseRelease(b->SendButton(), Qt::MiddleButton);
    EXPECT_FALSE(b->Form->IsTalking());
    QTest::keyPress(b->SendButton(), Qt::Key_Space);
    EXPECT_TRUE(b->Form->IsTalking());
    EXPECT_EQ(b->Background(), kTalkColour);
    // A repeated press changes nothing; the system's release before a repeat is no release.
    QKeyEvent repeatRelease(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, " ", true);
    QCoreApplication::sendEvent(b->SendButton(), &repeatRelease);
    QTest::keyPress(b->SendButton(), Qt::Key_Space, Qt::NoModifier);
    EXPECT_TRUE(b->Form->IsTalking());
    QTest::keyRelease(b->SendButton(), Qt::Key_Space);
    EXPECT_FALSE(b->Form->IsTalking());
    EXPECT_EQ(b->Background(), before);
}

TEST_F(ConnectedTest, ClosingWhileConnectedDropsEverythingFirst) {
    QPointer<QWidget> settings;
    b->Click("Setting");
    ASSERT_TRUE(WaitFor([&] { return b->Form->findChild<TSettingForm*>() != nullptr; }));
    settings = b->Form->findChild<TSettingForm*>();
    QTest::mousePress(b->SendButton(), Qt::LeftButton);
    ASSERT_TRUE(b->Form->IsTalking());

    b->Form->close();
    EXPECT_TRUE(b->HasLogEnding(QStringLiteral(" すべての接続を切断しました。")));
    EXPECT_FALSE(b->Form->IsTalking());
    EXPECT_TRUE(settings.isNull());  // the dialogs that work on the connections went first
    EXPECT_EQ(b->ListBox1()->count(), 0);
    ASSERT_TRUE(WaitFor([&] { return a->ListBox1()->count() == 0; }));
    b.reset();
    EXPECT_TRUE(a->Form->Core().Listening());
}

// --- Talking alone, the member list, dialogs, help -------------------------------------------

TEST_F(MainFormTest, NobodyToTalkToMeansNoTalking) {
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)), std::vector<std::uint8_t>(4410, 1));
    const QColor before = w.Background();
    QTest::keyPress(w.SendButton(), Qt::Key_Space);
    EXPECT_FALSE(w.Form->IsTalking());
    EXPECT_EQ(w.Background(), before);
    QTest::keyRelease(w.SendButton(), Qt::Key_Space);
    QTest::mousePress(w.SendButton(), Qt::RightButton);
    EXPECT_FALSE(w.Form->IsTalking());
    QTest::mouseRelease(w.SendButton(), Qt::RightButton);
    EXPECT_EQ(w.Input->OpenCount(), 0);
}

TEST_F(MainFormTest, RecorderFailureIsReportedAndTheWindowIsNotLeftColoured) {
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)));
    w.Form->AddMember("x", nullptr);
    w.Input->FailOpen(asBadDeviceId);
    const QColor before = w.Background();
    QTest::mousePress(w.SendButton(), Qt::LeftButton);
    EXPECT_FALSE(w.Form->IsTalking());
    ASSERT_EQ(w.Errors.size(), 1u);
    // The device's own text, and plainly what is missing.
    EXPECT_TRUE(w.Errors.front().startsWith(QStringLiteral("範囲外のデバイスが指定されました。")))
        << w.Errors.front().toStdString();
    EXPECT_TRUE(w.Errors.front().contains(QStringLiteral("\nマイクが見つからないか、使えません。")))
        << w.Errors.front().toStdString();
    EXPECT_EQ(w.Background(), before);
    QTest::mouseRelease(w.SendButton(), Qt::LeftButton);
    // Once the device is back, talking works.
    w.Input->FailOpen(asOk);
    QTest::mousePress(w.SendButton(), Qt::LeftButton);
    EXPECT_TRUE(w.Form->IsTalking());
    QTest::mouseRelease(w.SendButton(), Qt::LeftButton);
}

TEST_F(MainFormTest, MemberItemsFollowTheirOwnConnection) {
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)));
    auto* first = reinterpret_cast<TConversation*>(0x1000);
    auto* second = reinterpret_cast<TConversation*>(0x2000);
    w.Form->AddMember(Utf8ToCp932("同名"), first);
    w.Form->AddMember(Utf8ToCp932("同名"), second);
    w.Form->AddMember("other", reinterpret_cast<TConversation*>(0x3000));
    w.Form->ConnectionEnded(second);
    ASSERT_EQ(w.ListBox1()->count(), 2);
    EXPECT_EQ(w.ListBox1()->item(0)->data(Qt::UserRole).value<quintptr>(), quintptr{0x1000});
    EXPECT_EQ(w.ListBox1()->item(1)->text(), QStringLiteral("other"));
    w.Form->ConnectionEnded(second);  // already gone: nothing else goes
    EXPECT_EQ(w.ListBox1()->count(), 2);
}

// Both panes keep their cursor where the newest line begins: the pane then shows the time and
// the start of the lines, not the end of the widest one.
TEST_F(MainFormTest, BothPanesShowWhereTheNewestLineBegins) {
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)));
    const std::string wide = Utf8ToCp932("とても長い行" + std::string(300, 'x'));
    w.Form->AddLog(wide);
    w.Form->ShowChatLine("partner", wide);
    for (QPlainTextEdit* pane : {w.Memo1(), w.Memo2()}) {
        SCOPED_TRACE(pane->objectName().toStdString());
        const QTextCursor cursor = pane->textCursor();
        EXPECT_EQ(cursor.blockNumber(), pane->document()->blockCount() - 1);
        EXPECT_EQ(cursor.positionInBlock(), 0);
    }
}

TEST_F(MainFormTest, RightClickSelectsTheItemUnderTheMouseAndOpensTheMenu) {
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)));
    w.Form->AddMember("one", reinterpret_cast<TConversation*>(0x1));
    w.Form->AddMember("two", reinterpret_cast<TConversation*>(0x2));
    w.Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.Form.get()));
    auto* menu = w.Find<QMenu>("PopupMenu1");
    QWidget* viewport = w.ListBox1()->viewport();

    const QRect second = w.ListBox1()->visualItemRect(w.ListBox1()->item(1));
    QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier, second.center());
    EXPECT_EQ(w.ListBox1()->currentRow(), 1);
    EXPECT_TRUE(w.ListBox1()->item(1)->isSelected());
    EXPECT_TRUE(WaitFor([&] { return menu->isVisible(); }, 1000));
    menu->close();

    QTest::mousePress(viewport, Qt::RightButton, Qt::NoModifier,
                      QPoint(second.center().x(), second.bottom() + 40));
    EXPECT_TRUE(w.ListBox1()->selectedItems().isEmpty());
    QTest::qWait(20);
    EXPECT_FALSE(menu->isVisible());
}

TEST_F(MainFormTest, ACallTurnedAwayIsToldToTheCallerInTheStatusLine) {
    const std::string iniA = WriteIni(dir, "A.Ini", Ini(true, 0, 1, "はなこ"));
    TWindow a(iniA);
    a.Decision = cdRefused;
    TWindow b(
        WriteIni(dir, "B.Ini", Ini(false, a.Form->Core().ListeningPort(), FreePort(), "たろう")));
    TCallRequest request;
    request.Address = "127.0.0.1";
    request.Port = a.Form->Core().ListeningPort();
    request.MyName = "taro";
    request.PartnerName = "hanako";
    b.Form->Core().Call(request, [](const TCallOutcome&) {});
    ASSERT_TRUE(WaitFor([&] { return !b.Status("NoticeStatus").isEmpty(); }));
    EXPECT_EQ(b.Status("NoticeStatus"), QStringLiteral("127.0.0.1 に接続を断られました。"));
    // The log lines stay as they were.
    EXPECT_TRUE(b.HasLogEnding(QStringLiteral("127.0.0.1 接続を拒否します。")));

    // A wrong pass phrase is told as such.
    const std::string iniC = WriteIni(dir, "C.Ini", Ini(true, 0, 1, "はなこ"));
    TSettings written = LoadSettings(iniC);
    TSettingsDialogValues values;
    values.ConversationPort = 0;
    values.TransferPort = 1;
    values.MyName = written.MyName;
    values.UsePassPhrase = true;
    values.PassPhrase = "secret";
    ApplySettingsDialog(iniC, written, values);
    TWindow c(iniC);
    request.Port = c.Form->Core().ListeningPort();
    b.Form->Core().Call(request, [](const TCallOutcome&) {});
    ASSERT_TRUE(WaitFor([&] {
        return b.Status("NoticeStatus") ==
               QStringLiteral("127.0.0.1 に接続できません：パスフレーズが違います。");
    })) << b.Status("NoticeStatus").toStdString();
}

TEST_F(MainFormTest, TheKeyboardReachesTheMemberMenuAndEveryControl) {
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)));
    w.Form->AddMember("one", reinterpret_cast<TConversation*>(0x1));
    w.Form->AddMember("two", reinterpret_cast<TConversation*>(0x2));
    w.Form->show();
    QApplication::setActiveWindow(w.Form.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.Form.get()));
    auto* menu = w.Find<QMenu>("PopupMenu1");

    // Tab walks the line to send, the talk button, the member list and both panes.
    w.Edit1()->setFocus();
    std::vector<QString> walked;
    for (int i = 0; i < 5; ++i) {
        walked.push_back(QApplication::focusWidget()->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(walked, (std::vector<QString>{"Edit1", "SendButton", "ListBox1", "Memo2", "Memo1"}));
    EXPECT_EQ(QApplication::focusWidget(), w.Edit1()) << "and round again";

    // The Menu key and Shift+F10 open the member's menu at the current member, the file
    // transfer item ready for Enter.
    w.ListBox1()->setFocus();
    QTest::keyClick(w.ListBox1(), Qt::Key_Menu);
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }, 1000));
    EXPECT_EQ(w.ListBox1()->currentRow(), 0);
    EXPECT_EQ(menu->activeAction(), w.Action("Transfer"));
    menu->close();
    w.ListBox1()->setCurrentRow(1);
    QTest::keyClick(w.ListBox1(), Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }, 1000));
    EXPECT_TRUE(w.ListBox1()->item(1)->isSelected());
    menu->close();

    // Shortcuts for the commands; F1 for the help.
    EXPECT_EQ(w.Action("ClientConnect")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
    EXPECT_EQ(w.Action("DisConnect")->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
    EXPECT_EQ(w.Action("Setting")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    // F10 opens the menu bar at its first menu.
    QTest::keyClick(w.Edit1(), Qt::Key_F10);
    EXPECT_TRUE(WaitFor([&] { return w.Find<QMenu>("Connect")->isVisible(); }, 1000));
    w.Find<QMenu>("Connect")->close();
    QTest::keyClick(w.Edit1(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_TRUE(WaitFor([&] { return w.Form->findChild<TSettingForm*>() != nullptr; }));
}

TEST_F(MainFormTest, HelpWithoutABrowserSaysWhereTheFileIs) {
    const std::string help = dir.File("Voxilen.html");
    test::WriteFileBytes(help, "<html></html>");
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)), {}, help);
    w.HelpViewerStarts = false;
    w.Click("VoxilenHelp");
    ASSERT_TRUE(WaitFor([&] { return !w.Messages.empty(); }));
    EXPECT_TRUE(w.Messages.front().contains(QString::fromStdString(help)))
        << w.Messages.front().toStdString();
}

TEST_F(MainFormTest, DialogsAndHelpOpenFromTheMenu) {
    const std::string help = dir.File("Voxilen.html");
    test::WriteFileBytes(help, "<html></html>");
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)), {}, help);
    w.Click("About1");
    ASSERT_TRUE(WaitFor([&] { return w.Form->findChild<TAboutBox*>() != nullptr; }));
    EXPECT_TRUE(w.Form->findChild<TAboutBox*>()->isVisible());
    w.Click("Setting");
    ASSERT_TRUE(WaitFor([&] { return w.Form->findChild<TSettingForm*>() != nullptr; }));

    w.Click("VoxilenHelp");
    ASSERT_TRUE(WaitFor([&] { return !w.OpenedUrls.empty(); }));
    EXPECT_EQ(w.OpenedUrls.front(), QUrl::fromLocalFile(QString::fromStdString(help)));
    EXPECT_TRUE(w.Errors.empty());

    // Without the page the user learns why nothing opens.
    std::remove(help.c_str());
    w.Click("VoxilenHelp");
    ASSERT_TRUE(WaitFor([&] { return !w.Errors.empty(); }));
    EXPECT_TRUE(w.Errors.front().contains(QStringLiteral("Voxilen.html")));
    EXPECT_EQ(w.OpenedUrls.size(), 1u);
}

TEST_F(MainFormTest, DisconnectAllWithNoConnectionOnlyLogs) {
    TWindow w(WriteIni(dir, "A.Ini", Ini(false)));
    w.Click("DisConnect");
    ASSERT_TRUE(WaitFor([&] { return w.LogLines().size() == 2; }));
    EXPECT_TRUE(w.LogLines().back().endsWith(QStringLiteral(" すべての接続を切断しました。")));
    EXPECT_TRUE(w.Errors.empty());
}

// --- Pieces ----------------------------------------------------------------------------------

TEST(ChatLineTest, LongLinesAreCutAfterTheLastWholeCharacter) {
    EXPECT_EQ(TMainForm::ChatLineBytes(QStringLiteral("abc")), "abc");
    EXPECT_EQ(TMainForm::ChatLineBytes(QStringLiteral("あ")), "\x82\xA0");
    // 40000 double-byte characters: 32767 of them fit, 65534 bytes.
    const std::string cut = TMainForm::ChatLineBytes(QString(40000, QChar(0x3042)));
    EXPECT_EQ(cut.size(), 65534u);
    EXPECT_EQ(cut.substr(cut.size() - 2), "\x82\xA0");
    // A double-byte character that would straddle the limit is left out whole.
    const std::string edge = TMainForm::ChatLineBytes(QString(65534, u'a') + QStringLiteral("あa"));
    EXPECT_EQ(edge.size(), 65534u);
    EXPECT_EQ(TMainForm::ChatLineBytes(QString(65535, u'a') + u'b').size(), 65535u);
    EXPECT_NO_THROW(BuildText(cut));
}

TEST(LogTimeTest, ShortDateAndLongTimeWithoutTheZone) {
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    const QDateTime moment(QDate(2024, 3, 5), QTime(9, 7, 8));
    EXPECT_EQ(FormatLogTime(moment, japanese), QStringLiteral("2024/03/05 9時07分08秒"));
    const QLocale c = QLocale::c();
    EXPECT_FALSE(FormatLogTime(moment, c).contains(u"UTC"));
    EXPECT_TRUE(FormatLogTime(moment, c).endsWith(QStringLiteral(" 09:07:08")));
    // Exactly midnight: the date alone; a millisecond later the time is there.
    EXPECT_EQ(FormatLogTime(QDateTime(QDate(2024, 3, 5), QTime(0, 0)), japanese),
              QStringLiteral("2024/03/05"));
    EXPECT_EQ(FormatLogTime(QDateTime(QDate(2024, 3, 5), QTime(0, 0, 0, 1)), japanese),
              QStringLiteral("2024/03/05 0時00分00秒"));
    EXPECT_EQ(LongTimeFormatOf(QLocale(QLocale::English, QLocale::UnitedStates)),
              QStringLiteral("h:mm:ss AP"));
}

}  // namespace
}  // namespace vox::testing

namespace vox::testing {
namespace {

TEST_F(MainFormTest, TheMemberPopUpSetsAPartnersVolumeAndTheHistoryKeepsIt) {
    const std::string ini = WriteIni(dir, "A.Ini", Ini(false));
    RememberPartner(ini, "taro", "taro.example", "192.0.2.1", "");
    WritePartnerVolume(ini, "taro", {40, false});
    TWindow w(ini);
    w.Form->AddMember("taro", nullptr);
    w.Form->AddMember("jiro", nullptr);  // not in the history
    QListWidget* list = w.ListBox1();
    ASSERT_EQ(list->count(), 2);
    auto* volume = w.Find<TMemberVolume>("MemberVolume");
    auto* menu = w.Find<QMenu>("PopupMenu1");
    list->setCurrentRow(0);
    emit menu->aboutToShow();
    EXPECT_EQ(volume->Volume(), (TPartnerVolume{40, false}));  // as remembered
    volume->Slider()->setValue(150);
    volume->Mute()->setChecked(true);
    EXPECT_EQ(ReadPartnerVolume(ini, "taro"), (TPartnerVolume{150, true}));
    EXPECT_FALSE(volume->Slider()->isEnabled());  // muted: the slider rests
    list->setCurrentRow(1);
    emit menu->aboutToShow();
    EXPECT_EQ(volume->Volume(), TPartnerVolume{});
    volume->Slider()->setValue(60);
    EXPECT_EQ(ReadPartnerNames(ini), (std::vector<std::string>{"taro"}));  // nobody added
    list->setCurrentRow(0);
    emit menu->aboutToShow();
    EXPECT_EQ(volume->Volume(), (TPartnerVolume{150, true}));  // each keeps its own
}

}  // namespace
}  // namespace vox::testing
