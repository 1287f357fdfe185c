// Window tests on the offscreen platform: the one QApplication of the test program, typing
// text as an input method commits it, and catching the message boxes the dialogs show.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QInputMethodEvent>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <vector>

namespace vox::testing {

// Made on first use and deleted after the last test (it lets go of what the font
// configuration holds). Widgets need a QApplication; a plain QCoreApplication made by another
// test of this program would not do.
inline QApplication& TestApp() {
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) {
        // The offscreen platform cannot fix a window's size and says so for every dialog.
        static const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
                if (previous != nullptr &&
                    !message.contains(QStringLiteral("does not support propagateSizeHints"))) {
                    previous(type, context, message);
                }
            });
        new QApplication(argc, argv);
        struct TEnd : ::testing::Environment {
            // A widget still alive now goes with the application.
            void TearDown() override { delete QCoreApplication::instance(); }
        };
        ::testing::AddGlobalTestEnvironment(new TEnd);
    }
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr) {
        throw std::logic_error("the test program made an application without widgets");
    }
    return *app;
}

// Base of every dialog test: the application exists before any widget.
class DialogTest : public ::testing::Test {
  protected:
    DialogTest() { TestApp(); }
    // Runs the deferred deletions (a dialog released on closing goes this way).
    static void Flush() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
};

// The names of the controls Tab reaches in turn, starting from `first`: each focused widget
// is named by its nearest ancestor (itself included) whose name is in `names`.
inline std::vector<QString> TabWalk(QWidget* window, QWidget* first, const QStringList& names,
                                    int steps) {
    window->show();
    QApplication::setActiveWindow(window);
    first->setFocus(Qt::TabFocusReason);
    std::vector<QString> walked;
    for (int i = 0; i < steps; ++i) {
        QWidget* w = QApplication::focusWidget();
        while (w != nullptr && !names.contains(w->objectName())) {
            w = w->parentWidget();
        }
        walked.push_back(w != nullptr ? w->objectName() : QStringLiteral("?"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return walked;
}

// Types text into the focused field the way an input method does: committed at once. The
// only way to get Japanese into a field, since key events carry no such characters.
inline void CommitText(QWidget* field, const QString& text) {
    QInputMethodEvent event;
    event.setCommitString(text);
    QCoreApplication::sendEvent(field, &event);
}

// Answers every message box that comes up while it lives, recording its text and icon.
class TMessageCatcher {
  public:
    struct TMessage {
        QString Text;
        QMessageBox::Icon Icon;
    };

    TMessageCatcher() {
        FTimer.setInterval(5);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Answer(); });
        FTimer.start();
    }

    std::vector<TMessage> Messages;

    std::vector<QString> Texts() const {
        std::vector<QString> texts;
        for (const auto& m : Messages) {
            texts.push_back(m.Text);
        }
        return texts;
    }

  private:
    void Answer() {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            Messages.push_back({box->text(), box->icon()});
            box->accept();
        }
    }

    QTimer FTimer;
};

// Runs fn once the modal window of type W is up, for dialogs shown with exec().
template <typename W>
void WhenModal(const std::function<void(W*)>& fn) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (auto* w = qobject_cast<W*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}

// Processes events until pred holds or timeoutMs pass.
inline bool ProcessUntil(const std::function<bool()>& pred, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

}  // namespace vox::testing
