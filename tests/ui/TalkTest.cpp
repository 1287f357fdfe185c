// Talking from outside the window: the sources of a talk and their limit, and the session
// bus's methods on a private bus of the test's own.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <atomic>
#include <thread>

#include "MainFormTestSupport.h"
#include "ui/GlobalKey.h"
#include "ui/TalkService.h"

namespace vox::testing {
namespace {

[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

std::string Ini() {
    return "[Global]\r\nConversationPort=0\r\nTransferPort=1\r\nServerListen=0\r\n";
}

class TalkTest : public ::testing::Test {
  protected:
    TalkTest() : w(WriteIni(dir, "A.Ini", Ini()), std::vector<std::uint8_t>(4410, 1)) {}
    test::TScratchDir dir;
    TWindow w;
    TTalkControl& talk() { return w.Form->Talk(); }
};

TEST_F(TalkTest, EverySourceMustLetGoBeforeTheTalkEnds) {
    w.Form->AddMember("x", nullptr);
    const QColor before = w.Background();
    // A press from outside talks exactly as the button does: the colour and the recording.
    talk().Press(TTalkSource::Outside);
    EXPECT_TRUE(w.Form->IsTalking());
    EXPECT_EQ(w.Background(), kTalkColour);
    EXPECT_EQ(w.Input->OpenCount(), 1);
    // The button pressed and let go meanwhile: the outside press still holds the talk.
    QTest::mousePress(w.SendButton(), Qt::LeftButton);
    QTest::mouseRelease(w.SendButton(), Qt::LeftButton);
    EXPECT_TRUE(w.Form->IsTalking());
    // Two presses from one source need one release.
    talk().Press(TTalkSource::Outside);
    talk().Press(TTalkSource::GlobalKey);
    talk().Release(TTalkSource::Outside);
    EXPECT_TRUE(w.Form->IsTalking());  // the key still holds it
    talk().Release(TTalkSource::GlobalKey);
    EXPECT_FALSE(w.Form->IsTalking());
    EXPECT_EQ(w.Background(), before);
    EXPECT_EQ(w.Input->OpenCount(), 1);  // one talk, not three
    // A release nobody pressed changes nothing.
    talk().Release(TTalkSource::Outside);
    EXPECT_FALSE(w.Form->IsTalking());
}

TEST_F(TalkTest, APressWithNobodyToTalkToIsNotRemembered) {
    talk().Press(TTalkSource::Outside);
    EXPECT_FALSE(w.Form->IsTalking());
    EXPECT_FALSE(talk().Held());
    // Someone arrives: the button alone starts and ends the talk.
    w.Form->AddMember("x", nullptr);
    QTest::mousePress(w.SendButton(), Qt::LeftButton);
    EXPECT_TRUE(w.Form->IsTalking());
    QTest::mouseRelease(w.SendButton(), Qt::LeftButton);
    EXPECT_FALSE(w.Form->IsTalking());
}

TEST_F(TalkTest, AReleaseThatNeverComesEndsTheTalkAtTheLimit) {
    w.Form->AddMember("x", nullptr);
    EXPECT_EQ(talk().LimitMs(), kTalkLimitMs);
    talk().SetLimitMs(100);
    talk().Press(TTalkSource::Outside);
    ASSERT_TRUE(w.Form->IsTalking());
    ASSERT_TRUE(WaitFor([&] { return !w.Form->IsTalking(); }));
    EXPECT_TRUE(w.HasLogEnding(QStringLiteral(
        "外部からの要求の音声送信が 0.1 秒続いたので終了しました（離す操作が届きませんでした）。")))
        << w.Memo1()->toPlainText().toStdString();
    // The button is held by the user and has no limit; a key press with a lost release ends
    // without ending the button's talk.
    talk().SetLimitMs(50);
    QTest::mousePress(w.SendButton(), Qt::LeftButton);
    talk().Press(TTalkSource::GlobalKey);
    ASSERT_TRUE(WaitFor([&] { return !talk().Holds(TTalkSource::GlobalKey); }));
    EXPECT_TRUE(w.Form->IsTalking());
    QTest::mouseRelease(w.SendButton(), Qt::LeftButton);
    EXPECT_FALSE(w.Form->IsTalking());
    // A release in time stops the limit: a later press gets a whole one again.
    talk().SetLimitMs(300);
    talk().Press(TTalkSource::Outside);
    talk().Release(TTalkSource::Outside);
    talk().Press(TTalkSource::Outside);
    QTest::qWait(150);
    EXPECT_TRUE(w.Form->IsTalking());
    talk().Release(TTalkSource::Outside);
}

// A session bus of the test's own, ended with the test.
class TPrivateBus {
  public:
    TPrivateBus() {
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(out[1], 1);
            // Its complaints about the file limit are no news here.
            if (const int null = ::open("/dev/null", O_WRONLY); null >= 0) {
                ::dup2(null, 2);
            }
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--print-address=1", nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        char line[512] = {};
        std::size_t got = 0;
        while (got < sizeof line - 1) {
            const ssize_t n = ::read(out[0], line + got, 1);
            if (n <= 0 || line[got] == '\n') {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        line[got] = '\0';
        ::close(out[0]);
        Address = QString::fromUtf8(line);
    }
    ~TPrivateBus() {
        for (const pid_t pid : {FHelper, FPid}) {
            if (pid > 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }
    // Runs a program that serves on this bus, until the bus ends.
    void StartHelper(const char* program, const char* script) {
        const std::string address = Address.toStdString();
        FHelper = ::fork();
        if (FHelper == 0) {
            ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
            ::execl(program, program, script, nullptr);
            ::_exit(127);
        }
    }
    QString Address;

  private:
    pid_t FPid = -1;
    pid_t FHelper = -1;
};

TEST_F(TalkTest, TheBusMethodsAndTheCommandLinesRequestReachTheWindow) {
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address.isEmpty()) << "dbus-daemon (scripts/install-deps.sh)";
    {
        const QDBusConnection client = QDBusConnection::connectToBus(bus.Address, "client");
        // Nobody runs yet: the request says so.
        QString why;
        EXPECT_FALSE(SendTalkRequest(client, true, &why));
        EXPECT_EQ(why, QStringLiteral("ぼくしれんは起動していません。"));

        const QDBusConnection server = QDBusConnection::connectToBus(bus.Address, "server");
        TTalkService service(nullptr, talk());
        ASSERT_TRUE(service.Register(server, &why)) << why.toStdString();
        // A second copy cannot take the name.
        TTalkService second(nullptr, talk());
        EXPECT_FALSE(second.Register(client));

        w.Form->AddMember("x", nullptr);
        // The command line's request blocks until the window took it: sent from a thread
        // while this one runs the window.
        auto request = [&](bool press) {
            std::atomic<bool> done{false};
            bool ok = false;
            std::thread caller([&] {
                ok = SendTalkRequest(client, press, &why);
                done = true;
            });
            WaitFor([&] { return done.load(); }, 10000);
            caller.join();
            return ok;
        };
        why.clear();
        ASSERT_TRUE(request(true)) << why.toStdString();
        EXPECT_TRUE(w.Form->IsTalking());
        EXPECT_TRUE(talk().Holds(TTalkSource::Outside));
        ASSERT_TRUE(request(false)) << why.toStdString();
        EXPECT_FALSE(w.Form->IsTalking());
    }
    QDBusConnection::disconnectFromBus("client");
    QDBusConnection::disconnectFromBus("server");
}

// Off X11 the key comes from the desktop portal: the program asks for its shortcut suggesting
// the chosen key, and the portal's pressed and released reach the talk.
TEST(PortalKeyTest, TheDesktopPortalsShortcutPressesAndReleases) {
    TestApp();
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address.isEmpty()) << "dbus-daemon (scripts/install-deps.sh)";
    bus.StartHelper("/usr/bin/python3", VOX_FAKE_PORTAL);
    {
        const QDBusConnection connection = QDBusConnection::connectToBus(bus.Address, "portal");
        ASSERT_TRUE(WaitFor(
            [&] {
                return connection.interface()->isServiceRegistered(
                    QStringLiteral("org.freedesktop.portal.Desktop"));
            },
            10000));
        TGlobalKey key(nullptr, connection);
        int pressed = 0;
        int released = 0;
        QString failure;
        QObject::connect(&key, &TGlobalKey::Pressed, [&] { ++pressed; });
        QObject::connect(&key, &TGlobalKey::Released, [&] { ++released; });
        QObject::connect(&key, &TGlobalKey::Failed, [&](const QString& why) { failure = why; });
        ASSERT_TRUE(key.Watch(QStringLiteral("F9")));
        EXPECT_TRUE(key.Watching());
        ASSERT_TRUE(WaitFor([&] { return released == 1 || !failure.isEmpty(); }, 10000));
        EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
        EXPECT_EQ(pressed, 1);
        EXPECT_EQ(released, 1);
        // No key: nothing is watched any more.
        EXPECT_TRUE(key.Watch(QString()));
        EXPECT_FALSE(key.Watching());
    }
    QDBusConnection::disconnectFromBus("portal");
}

// Where the bus has no portal, the log says what to do instead.
TEST(PortalKeyTest, WithoutAPortalTheReasonIsGiven) {
    TestApp();
    TPrivateBus bus;
    ASSERT_FALSE(bus.Address.isEmpty());
    {
        const QDBusConnection connection = QDBusConnection::connectToBus(bus.Address, "none");
        TGlobalKey key(nullptr, connection);
        QString failure;
        QObject::connect(&key, &TGlobalKey::Failed, [&](const QString& why) { failure = why; });
        key.Watch(QStringLiteral("F9"));
        ASSERT_TRUE(WaitFor([&] { return !failure.isEmpty(); }, 10000));
        EXPECT_TRUE(failure.contains(QStringLiteral("Voxilen --ptt-press")))
            << failure.toStdString();
    }
    QDBusConnection::disconnectFromBus("none");
}

}  // namespace
}  // namespace vox::testing

namespace vox::testing {
namespace {

TEST(DesktopTest, WithoutATrayClosingClosesEvenWhenTheUserChoseTheTray) {
    test::TScratchDir dir;
    TWindow w(WriteIni(dir, "A.Ini",
                       "[Global]\r\nConversationPort=0\r\nTransferPort=1\r\nCloseToTray=1\r\n"));
    ASSERT_TRUE(w.Form->Settings().CloseToTray);
    ASSERT_EQ(w.Form->Tray(), nullptr);  // the offscreen desktop has no tray
    w.Form->show();
    w.Form->close();
    // Closed for good: the connections went, nothing was hidden out of reach.
    EXPECT_TRUE(w.HasLogEnding(QStringLiteral(" すべての接続を切断しました。")))
        << w.Memo1()->toPlainText().toStdString();
}

}  // namespace
}  // namespace vox::testing
