#include "ui/TrayIcon.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <utility>

namespace vox {

namespace {

// The program's icon with a dot in the lower right corner.
QIcon WithDot(const QIcon& icon, const QColor& colour) {
    QIcon marked;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap = icon.pixmap(size, size);
        if (pixmap.isNull()) {
            pixmap = QPixmap(size, size);
            pixmap.fill(Qt::transparent);
        }
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal dot = size * 0.55;
        painter.setPen(QPen(Qt::white, size / 16.0));
        painter.setBrush(colour);
        painter.drawEllipse(QRectF(size - dot, size - dot, dot - 1, dot - 1));
        painter.end();
        marked.addPixmap(pixmap);
    }
    return marked;
}

}  // namespace

TTrayIcon::TTrayIcon(QObject* parent, const QIcon& icon, TTrayHooks hooks)
    : QObject(parent),
      FHooks(std::move(hooks)),
      FIdle(icon),
      FUnread(WithDot(icon, QColor(0, 120, 215))),
      FCallWaiting(WithDot(icon, QColor(220, 30, 30))) {
    FMenu = new QMenu;
    FMenu->setObjectName(QStringLiteral("TrayMenu"));
    FMenu->setAccessibleName(QStringLiteral("トレイのメニュー"));
    FShowHide = FMenu->addAction(QString());
    FShowHide->setObjectName(QStringLiteral("TrayShowHide"));
    FListen = FMenu->addAction(QStringLiteral("待ち受け"));
    FListen->setObjectName(QStringLiteral("TrayListen"));
    FListen->setCheckable(true);
    QAction* disconnect = FMenu->addAction(QStringLiteral("すべて切断"));
    disconnect->setObjectName(QStringLiteral("TrayDisconnect"));
    FMenu->addSeparator();
    QAction* quit = FMenu->addAction(QStringLiteral("終了"));
    quit->setObjectName(QStringLiteral("TrayQuit"));
    // The commands run once the menu has closed: some open dialogs or close the window.
    auto later = [this](QAction* action, const std::function<void()>& hook) {
        connect(
            action, &QAction::triggered, this, [hook] { hook(); }, Qt::QueuedConnection);
    };
    later(FShowHide, FHooks.ToggleWindow);
    later(FListen, FHooks.ToggleListening);
    later(disconnect, FHooks.DisconnectAll);
    later(quit, FHooks.Quit);
    connect(FMenu, &QMenu::aboutToShow, this, [this] { UpdateMenu(); });
    UpdateMenu();

    FTray = new QSystemTrayIcon(FIdle, this);
    FTray->setToolTip(QString::fromUtf8("ぼくしれん"));
    FTray->setContextMenu(FMenu);
    // A click on the icon shows or hides the window.
    connect(FTray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    FHooks.ToggleWindow();
                }
            });
    FTray->show();
}

TTrayIcon::~TTrayIcon() {
    delete FTray;
    delete FMenu;
}

void TTrayIcon::UpdateMenu() {
    FShowHide->setText(FHooks.WindowShown() ? QStringLiteral("ウィンドウを隠す")
                                            : QStringLiteral("ウィンドウを表示"));
    FListen->setChecked(FHooks.Listening());
}

void TTrayIcon::SetState(TState state) {
    if (state == FState) {
        return;
    }
    FState = state;
    switch (state) {
        case TState::Idle:
            FTray->setIcon(FIdle);
            FTray->setToolTip(QString::fromUtf8("ぼくしれん"));
            break;
        case TState::Unread:
            FTray->setIcon(FUnread);
            FTray->setToolTip(QString::fromUtf8("ぼくしれん - 未読のメッセージがあります"));
            break;
        case TState::CallWaiting:
            FTray->setIcon(FCallWaiting);
            FTray->setToolTip(QString::fromUtf8("ぼくしれん - 接続要求が来ています"));
            break;
    }
}

}  // namespace vox
