// The program's entry point: one copy per login, the application object, the main window and
// the message loop. Everything else is started by the main window.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QIcon>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

#include "audio/QtAudioBackend.h"
#include "platform/SingleInstance.h"
#include "ui/DialogMessages.h"
#include "ui/MainForm.h"
#include "ui/QtTranslations.h"
#include "ui/TalkService.h"

namespace {

// Shows a failure that escaped an event handler in the application's error box and goes on.
class TApplication : public QApplication {
  public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            vox::ui::ShowErrorBox(nullptr, QString::fromUtf8(e.what()));
        } catch (...) {
            vox::ui::ShowErrorBox(nullptr, QStringLiteral("予期しないエラーが発生しました。"));
        }
        return false;
    }
};

// The end of the session (SIGTERM, SIGHUP) or Ctrl+C closes the main window as the user would,
// so that partners see their connections end properly. The handler only writes to a pipe; the
// event loop does the rest.
int gSignalPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    (void)!::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

bool CatchTerminationSignals() {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        ::sigaction(signal, &action, nullptr);
    }
    return true;
}

// Closes the modal dialogs first, innermost first: the main window cannot close down while a
// connection waits for an answer from one of them.
void CloseEverything(QWidget& window) {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->close();
        QTimer::singleShot(0, &window, [&window] { CloseEverything(window); });
        return;
    }
    // The session ends: no question about partners still connected.
    if (auto* form = qobject_cast<vox::TMainForm*>(&window)) {
        form->CloseWithoutAsking();
    } else {
        window.close();
    }
}

// `--ptt-press` or `--ptt-release`: hands the press or release to the running copy over the
// session bus and ends. Returns -1 when neither option was given.
int HandTalkRequest(int argc, char* argv[]) {
    int press = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], vox::kPttPressOption) == 0) {
            press = 1;
        } else if (std::strcmp(argv[i], vox::kPttReleaseOption) == 0) {
            press = 0;
        }
    }
    if (press < 0) {
        return -1;
    }
    QCoreApplication app(argc, argv);
    QString why;
    if (!vox::SendTalkRequest(QDBusConnection::sessionBus(), press == 1, &why)) {
        (void)std::fprintf(stderr, "%s\n", why.toLocal8Bit().constData());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // A request for the running copy takes no lock and shows no window.
    if (const int handed = HandTalkRequest(argc, argv); handed >= 0) {
        return handed;
    }
    // Taken before anything else and held until the process ends.
    const vox::TSingleInstance guard;

    TApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(vox::kApplicationTitle));
    // The icon of every window and of the about box; the desktop entry of an installed copy.
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/48x48/voxilen.png"));
    icon.addFile(QStringLiteral(":/icons/256x256/voxilen.png"));
    QApplication::setWindowIcon(icon);
    QGuiApplication::setDesktopFileName(QStringLiteral("voxilen"));
    // Qt's own dialogs and buttons speak the program's language; without the system's
    // translations they stay English.
    vox::ui::InstallQtTranslations();

    if (guard.State() == vox::TSingleInstance::TState::AlreadyRunning) {
        // The running copy brings its window to the front; nothing else of it is touched.
        guard.WakeRunningCopy();
        QApplication::beep();
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(vox::kApplicationTitle),
                        QStringLiteral("「ぼくしれん．ｅｘｅ」は既に起動されています。"),
                        QMessageBox::Ok);
        box.exec();
        return 0;
    }

    vox::TMainFormEnv env;
    env.Audio = std::make_unique<vox::TQtAudioBackend>();
    env.DesktopBus = QDBusConnection::sessionBus();
    std::unique_ptr<vox::TMainForm> form;
    try {
        form = std::make_unique<vox::TMainForm>(std::move(env));
    } catch (const std::exception& e) {
        // Nothing to run without the window (the system would not tell the program's path).
        vox::ui::ShowErrorBox(nullptr, QString::fromUtf8(e.what()));
        return 1;
    }
    // Talking from outside the window: the session bus's methods, the command line.
    vox::TTalkService talkService(nullptr, form->Talk());
    if (QString why; !talkService.Register(QDBusConnection::sessionBus(), &why)) {
        (void)std::fprintf(stderr, "%s\n", why.toLocal8Bit().constData());
    }
    std::unique_ptr<QSocketNotifier> terminationNotifier;
    if (CatchTerminationSignals()) {
        terminationNotifier =
            std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(terminationNotifier.get(), &QSocketNotifier::activated, form.get(),
                         [window = form.get()] {
                             char bytes[16];
                             while (::read(gSignalPipe[0], bytes, sizeof bytes) > 0) {
                             }
                             CloseEverything(*window);
                         });
    }
    // A later start knocks: the window comes to the front, restored if minimised.
    std::unique_ptr<QSocketNotifier> wakeNotifier;
    if (guard.WakeFd() >= 0) {
        wakeNotifier = std::make_unique<QSocketNotifier>(guard.WakeFd(), QSocketNotifier::Read);
        QObject::connect(
            wakeNotifier.get(), &QSocketNotifier::activated, form.get(),
            [&guard, window = form.get()] {
                if (guard.TakeWakeCalls()) {
                    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
                    window->show();
                    window->raise();
                    window->activateWindow();
                }
            });
    }
    form->show();
    form->activateWindow();
    return QApplication::exec();
}
