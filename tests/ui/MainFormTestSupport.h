// Main-window tests on the offscreen platform: the one QApplication of the test program, a
// window over a scratch settings file with the file sound backend, whose message boxes, beeps
// and incoming-call dialog are recorded instead of shown, and waiting while the event loop
// runs the connection threads' calls.
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/IniFile.h"
#include "protocol/ConnectionCore.h"
#include "support/FileAudioDevice.h"
#include "support/ScratchDir.h"
#include "ui/MainForm.h"

namespace vox::testing {

// The application of the test program: made before the first test, released after the last
// one, while the program is still whole.
class TQtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { App(); }
    void TearDown() override { delete QCoreApplication::instance(); }
    static QApplication& App() {
        static int argc = 1;
        static char name[] = "test_mainform";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) {
            new QApplication(argc, argv);
            QApplication::setApplicationName(QString::fromUtf8(kApplicationTitle));
        }
        return *qobject_cast<QApplication*>(QCoreApplication::instance());
    }
};

inline QApplication& TestApp() {
    return TQtEnvironment::App();
}

// Runs the event loop until pred holds or the time is up.
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QTest::qWait(2);
    }
    return true;
}

// Short durations: a test never waits seconds for a limit.
inline TConversationTimeouts TestTimeouts() {
    TConversationTimeouts t;
    t.SocketTimeoutMs = 500;
    t.HandshakeLimitMs = 3000;
    t.ReverseLookupMs = 200;
    return t;
}

// Types text as an input method commits it: the only way to get Japanese into a field.
inline void CommitText(QWidget* field, const QString& text) {
    QInputMethodEvent event;
    event.setCommitString(text);
    QCoreApplication::sendEvent(field, &event);
}

// A settings file in a scratch folder.
inline std::string WriteIni(const test::TScratchDir& dir, const std::string& name,
                            const std::string& text) {
    const std::string path = dir.File(name);
    test::WriteFileBytes(path, text);
    return path;
}

// One main window with everything it shows to the user recorded.
class TWindow {
  public:
    std::vector<QString> Errors;
    std::vector<QString> Messages;
    int Beeps = 0;
    std::vector<TIncomingCall> Calls;
    int Decision = cdAccepted;
    std::vector<QUrl> OpenedUrls;
    bool HelpViewerStarts = true;
    // Lines with characters CP932 cannot carry: (lost characters, what arrives) asked, and
    // the answer given.
    std::vector<std::pair<QString, QString>> LossyLines;
    bool SendLossyLine = false;
    std::vector<QString> Questions;
    bool Answer = true;
    TFileAudioInput* Input = nullptr;    // owned by the window's recorder
    TFileAudioOutput* Output = nullptr;  // owned by the window's playback thread

    // pcm: what the microphone "hears", all at once when recording starts.
    // withSound false: no sound card at all.
    explicit TWindow(const std::string& iniFileName, std::vector<std::uint8_t> pcm = {},
                     std::string helpFileName = {}, bool withSound = true) {
        TestApp();
        TMainFormEnv env;
        env.IniFileName = iniFileName;
        env.HelpFileName = std::move(helpFileName);
        env.Timeouts = TestTimeouts();
        auto audio = std::make_unique<TFileAudioBackend>();
        audio->MakeInputDevice = [this, pcm = std::move(pcm)] {
            auto device = std::make_unique<TFileAudioInput>(pcm, 0.0);
            Input = device.get();
            return device;
        };
        audio->MakeOutputDevice = [this] {
            auto device = std::make_unique<TFileAudioOutput>(0.0);
            Output = device.get();
            return device;
        };
        if (withSound) {
            env.Audio = std::move(audio);
        }
        env.ErrorBox = [this](const QString& text) { Errors.push_back(text); };
        env.MessageBox = [this](const QString& text) { Messages.push_back(text); };
        env.Beep = [this] { ++Beeps; };
        env.AskIncomingCall = [this](const TIncomingCall& call) {
            Calls.push_back(call);
            return Decision;
        };
        env.OpenUrl = [this](const QUrl& url) {
            OpenedUrls.push_back(url);
            return HelpViewerStarts;
        };
        env.ConfirmLossyLine = [this](const QString& lost, const QString& arrives) {
            LossyLines.emplace_back(lost, arrives);
            return SendLossyLine;
        };
        env.AskYesNo = [this](const QString& question) {
            Questions.push_back(question);
            return Answer;
        };
        Form = std::make_unique<TMainForm>(std::move(env));
    }

    std::unique_ptr<TMainForm> Form;

    template <class T>
    T* Find(const char* name) const {
        return Form->findChild<T*>(QString::fromLatin1(name));
    }
    QAction* Action(const char* name) const { return Find<QAction>(name); }
    QPlainTextEdit* Memo1() const { return Find<QPlainTextEdit>("Memo1"); }
    QPlainTextEdit* Memo2() const { return Find<QPlainTextEdit>("Memo2"); }
    QLineEdit* Edit1() const { return Find<QLineEdit>("Edit1"); }
    QListWidget* ListBox1() const { return Find<QListWidget>("ListBox1"); }
    QPushButton* SendButton() const { return Find<QPushButton>("SendButton"); }
    QString Status(const char* name) const {
        const QLabel* label = Find<QLabel>(name);
        return label != nullptr && label->isVisibleTo(Form.get()) ? label->text() : QString();
    }

    QStringList LogLines() const { return Memo1()->toPlainText().split(u'\n', Qt::SkipEmptyParts); }
    QStringList ChatLines() const {
        return Memo2()->toPlainText().split(u'\n', Qt::SkipEmptyParts);
    }
    bool HasLogEnding(const QString& text) const {
        for (const QString& line : LogLines()) {
            if (line.endsWith(text)) {
                return true;
            }
        }
        return false;
    }
    // Picks a menu item; its command runs from the event loop.
    void Click(const char* action) {
        Action(action)->trigger();
        QTest::qWait(5);
    }
    QColor Background() const { return Form->BackgroundColour(); }
};

inline std::string IniValue(const std::string& path, const char* section, const char* key) {
    return TIniFile(path).ReadString(section, key, "(none)");
}

}  // namespace vox::testing
