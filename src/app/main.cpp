// The program's entry point: one copy per login, the application object, the main window and
// the message loop. Everything else is started by the main window.
#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "app/MainForm.h"
#include "platform/SingleInstance.h"
#include "ui/DialogMessages.h"
#include "voice/FileAudioDevice.h"

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

vox::TAudioDevices SoundCard() {
    vox::TAudioDevices devices;
    devices.MakeInput = [] {
        return std::make_unique<vox::TFileAudioInput>(std::vector<std::uint8_t>{});
    };
    devices.MakeOutput = [] { return std::make_unique<vox::TFileAudioOutput>(); };
    return devices;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Taken before anything else and held until the process ends.
    const vox::TSingleInstance guard;

    TApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(vox::kApplicationTitle));

    if (guard.State() == vox::TSingleInstance::TState::AlreadyRunning) {
        // The running copy is left alone.
        QApplication::beep();
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(vox::kApplicationTitle),
                        QStringLiteral("「ぼくしれん．ｅｘｅ」は既に起動されています。"),
                        QMessageBox::Ok);
        box.exec();
        return 0;
    }

    vox::TMainFormEnv env;
    env.Devices = SoundCard();
    vox::TMainForm form(std::move(env));
    form.show();
    form.activateWindow();
    return QApplication::exec();
}
