#include "ui/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidgetAction>
#include <optional>
#include <utility>

#include "net/Address.h"
#include "net/Tls.h"
#include "platform/Cp932.h"
#include "protocol/ConnectionCore.h"
#include "session/Reach.h"
#include "ui/AboutBox.h"
#include "ui/ConnectForm.h"
#include "ui/CursorBlink.h"
#include "ui/DesktopNotices.h"
#include "ui/DialogMessages.h"
#include "ui/ErrorAdvice.h"
#include "ui/GlobalKey.h"
#include "ui/LogTime.h"
#include "ui/MemberVolume.h"
#include "ui/ReachForm.h"
#include "ui/SecurityView.h"
#include "ui/SettingDesktopPage.h"
#include "ui/SettingForm.h"
#include "ui/SettingReachPage.h"
#include "ui/SettingSecurityPage.h"
#include "ui/SettingSoundPage.h"
#include "ui/TransferWindows.h"
#include "ui/TrayIcon.h"
#include "voice/Sound.h"
#include "wire/Packet.h"

namespace vox {

namespace {

// The window's outer size, frame included.
constexpr int kOuterWidth = 544;
constexpr int kOuterHeight = 375;
// Member list entries are drawn this many pixels high.
constexpr int kListFontPixels = 15;

const QString kListening = QStringLiteral("待ち受けする");
const QString kNotListening = QStringLiteral("待ち受けしない");

// The keyboard's way to the commands.
const QKeySequence kConnectKey(Qt::CTRL | Qt::Key_N);
const QKeySequence kDisconnectAllKey(Qt::CTRL | Qt::SHIFT | Qt::Key_D);
const QKeySequence kSettingKey(Qt::CTRL | Qt::Key_Comma);

QString FromCp932(const std::string& bytes) {
    return QString::fromStdString(Cp932ToUtf8(bytes));
}

QString Now() {
    return FormatLogTime(QDateTime::currentDateTime());
}

// A multi-line, read-only pane with both scroll bars.
QPlainTextEdit* NewPane(QWidget* parent, const char* name, const QString& accessibleName) {
    auto* pane = new QPlainTextEdit(parent);
    pane->setObjectName(QString::fromLatin1(name));
    pane->setAccessibleName(accessibleName);
    pane->setReadOnly(true);
    pane->setLineWrapMode(QPlainTextEdit::NoWrap);
    pane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return pane;
}

// Appends a line and keeps the pane's cursor at the start of it, so the pane shows where the
// newest line begins: at its end, a line wider than the pane would leave the pane scrolled
// sideways, with the time and the beginning of every line out of sight.
void AppendLine(QPlainTextEdit* pane, const QString& line) {
    pane->appendPlainText(line);
    QTextCursor cursor = pane->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.movePosition(QTextCursor::StartOfBlock);
    pane->setTextCursor(cursor);
}

QLabel* NewLabel(QWidget* parent, const char* name, const QString& caption, QWidget* buddy) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setBuddy(buddy);
    return label;
}

QAction* NewAction(QObject* parent, const char* name, const QString& caption) {
    auto* action = new QAction(caption, parent);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

// The desktop's download folder when it exists; empty otherwise.
std::string DownloadFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty() || !QDir(folder).exists()) {
        return {};
    }
    return QFile::encodeName(folder).toStdString();
}

}  // namespace

// --- Creation --------------------------------------------------------------------------------

TMainForm::TMainForm(TMainFormEnv env) : QMainWindow(nullptr), FEnv(std::move(env)) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QString::fromUtf8(kApplicationTitle));
    // The system menu and minimising, no maximising.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    CreateControls();
    FTalk = new TTalkControl(
        this,
        [this] {
            StartTalking();
            return IsTalking();
        },
        [this] { StopTalking(); }, [this](const QString& line) { Log(line); });
    FGlobalKey = new TGlobalKey(this, FEnv.DesktopBus);
    connect(FGlobalKey, &TGlobalKey::Failed, this, [this](const QString& why) {
        Log(QStringLiteral("プッシュトゥトークキー %1 を使えません：%2")
                .arg(QString::fromStdString(FSettings.PushToTalkKey), why));
    });
    connect(FGlobalKey, &TGlobalKey::Pressed, this,
            [this] { Guard([this] { FTalk->Press(TTalkSource::GlobalKey); }); });
    connect(FGlobalKey, &TGlobalKey::Released, this,
            [this] { Guard([this] { FTalk->Release(TTalkSource::GlobalKey); }); });
    FNotices = new TDesktopNotices(this, FEnv.DesktopBus);
    connect(FNotices, &TDesktopNotices::AcceptCall, this,
            [this] { AnswerWaitingCall(cdAccepted); });
    connect(FNotices, &TDesktopNotices::RefuseCall, this, [this] { AnswerWaitingCall(cdRefused); });
    // The text cursor rests when nobody uses the program.
    new TCursorBlinkLimit(this);
    CreateMenus();
    CreateTrayIcon();
    resize(kOuterWidth, kOuterHeight);
    // The window comes up first; a failure to listen is told once it is on the screen.

    TSessionOptions options;
    options.Timeouts = FEnv.Timeouts;
    options.Audio = std::move(FEnv.Audio);
    options.OnPlaybackError = [this](const std::string& message) {
        // On the playback thread: the log line goes to the window without waiting.
        const QString line = QString::fromStdString(message);
        QMetaObject::invokeMethod(
            this,
            [this, line] {
                Log(line);
                Log(ui::SpeakerAdvice());
            },
            Qt::QueuedConnection);
    };
    // The router's answers, on the port mapper's thread: posted likewise; each may change the
    // address partners should dial.
    options.OnPortMapLog = [this](const std::string& message) {
        const QString line = QString::fromStdString(message);
        QMetaObject::invokeMethod(
            this,
            [this, line] {
                Log(line);
                RefreshDialAddress();
            },
            Qt::QueuedConnection);
    };
    // Sound devices coming and going, on the sound card's thread: posted likewise.
    options.OnDeviceEvent = [this](const std::string& message) {
        const QString line = QString::fromStdString(message);
        QMetaObject::invokeMethod(
            this,
            [this, line] {
                if (!line.isEmpty()) {
                    Log(line);
                }
                emit SoundDevicesChanged();
            },
            Qt::QueuedConnection);
    };
    FSession = std::make_unique<TSession>(*this, std::move(options));
    // Calls of the connection threads run from the Qt event loop (and from any nested loop of
    // a modal dialog). Queued with this window as context: a call posted while the window goes
    // away is dropped, and by then no thread is left to wait for it.
    FSession->Sync().SetWakeMainThread([this] {
        QMetaObject::invokeMethod(
            this, [this] { FSession->Sync().CheckSynchronize(0); }, Qt::QueuedConnection);
    });
    FormCreate();
    UpdateTitle();
    UpdateStatus();
    RestoreGeometry();
}

TMainForm::~TMainForm() {
    Shutdown();
}

void TMainForm::CreateControls() {
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("ClientArea"));
    FBackground = central->palette().color(QPalette::Window);
    setCentralWidget(central);

    Memo1 = NewPane(central, "Memo1", QStringLiteral("ログ"));
    Memo2 = NewPane(central, "Memo2", QStringLiteral("受信テキスト"));
    Label1 = NewLabel(central, "Label1", QStringLiteral("受信テキスト："), Memo2);

    Edit1 = new QLineEdit(central);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setAccessibleName(QStringLiteral("送信テキスト"));
    // 32767 characters are at most 65534 CP932 bytes: a line always fits its packet.
    Edit1->setMaxLength(32767);
    Label2 = NewLabel(central, "Label2", QStringLiteral("送信テキスト："), Edit1);

    ListBox1 = new QListWidget(central);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setAccessibleName(QStringLiteral("メンバーリスト"));
    QFont listFont = ListBox1->font();
    listFont.setPixelSize(kListFontPixels);
    ListBox1->setFont(listFont);
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListBox1->setItemDelegate(new ui::TMemberStateDelegate(ListBox1));
    Label3 = NewLabel(central, "Label3", QStringLiteral("メンバーリスト："), ListBox1);

    SendButton = new QPushButton(QStringLiteral("音声送信"), central);
    SendButton->setObjectName(QStringLiteral("SendButton"));
    SendButton->setAccessibleName(SendButton->text());
    SendButton->setAccessibleDescription(
        QStringLiteral("押している間、メンバー全員に声を送ります（スペースキーでも可）"));
    SendButton->setAutoDefault(false);
    SendButton->setMinimumHeight(40);

    auto* left = new QVBoxLayout;
    left->addWidget(Label1);
    left->addWidget(Memo2, 1);
    left->addWidget(Label2);
    left->addWidget(Edit1);
    auto* right = new QVBoxLayout;
    right->addWidget(Label3);
    right->addWidget(ListBox1, 1);
    // The microphone's level, beside the talk button while talking.
    InputLevel = new QProgressBar(central);
    InputLevel->setObjectName(QStringLiteral("InputLevel"));
    InputLevel->setAccessibleName(QStringLiteral("マイクの音量"));
    InputLevel->setOrientation(Qt::Vertical);
    InputLevel->setRange(0, 100);
    InputLevel->setTextVisible(false);
    InputLevel->setFixedWidth(10);
    InputLevel->setVisible(false);
    auto* talk = new QHBoxLayout;
    talk->addWidget(SendButton, 1);
    talk->addWidget(InputLevel);
    right->addLayout(talk);
    auto* lower = new QHBoxLayout;
    lower->addLayout(left, 3);
    lower->addLayout(right, 1);
    auto* all = new QVBoxLayout(central);
    all->setContentsMargins(4, 4, 4, 4);
    all->addWidget(Memo1, 2);
    all->addLayout(lower, 3);

    connect(Edit1, &QLineEdit::returnPressed, this, [this] { Guard([this] { Edit1Enter(); }); });
    ListBox1->viewport()->installEventFilter(this);
    ListBox1->installEventFilter(this);
    // Tab runs from the line to send to the talk button, the member list and the panes.
    Memo1->setTabChangesFocus(true);
    Memo2->setTabChangesFocus(true);
    setTabOrder(Edit1, SendButton);
    setTabOrder(SendButton, ListBox1);
    setTabOrder(ListBox1, Memo2);
    setTabOrder(Memo2, Memo1);

    QStatusBar* status = statusBar();
    status->setObjectName(QStringLiteral("StatusBar"));
    status->setSizeGripEnabled(false);
    auto statusLabel = [status](const char* name, const QString& description) {
        auto* label = new QLabel(status);
        label->setObjectName(QString::fromLatin1(name));
        label->setAccessibleDescription(description);
        label->setToolTip(description);
        status->addWidget(label);
        return label;
    };
    NoticeStatus = statusLabel("NoticeStatus", QStringLiteral("接続についてのお知らせ"));
    ListenStatus = statusLabel("ListenStatus", QStringLiteral("待ち受けの状態"));
    AddressStatus = statusLabel("AddressStatus", QStringLiteral("相手が接続に使うアドレス"));
    MemberStatus = statusLabel("MemberStatus", QStringLiteral("接続している相手の数"));
    SoundStatus = statusLabel("SoundStatus", QStringLiteral("音声の入出力装置"));
    NoticeStatus->hide();
    NoticeTimer = new QTimer(this);
    NoticeTimer->setSingleShot(true);
    connect(NoticeTimer, &QTimer::timeout, this, [this] {
        NoticeStatus->hide();
        NoticeStatus->clear();
        UpdateStatus();
    });
    SendButton->installEventFilter(this);
    // Painted by this window (eventFilter): the colour is the window's own and does not
    // spread to the controls the way a palette would.
    central->installEventFilter(this);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->setAccessibleName(QStringLiteral("メンバーのメニュー"));
    Transfer = NewAction(PopupMenu1, "Transfer", QStringLiteral("ファイル転送"));
    PopupMenu1->addAction(Transfer);
    connect(
        Transfer, &QAction::triggered, this, [this] { Guard([this] { TransferClick(); }); },
        Qt::QueuedConnection);
    // How loud the chosen partner is played.
    PopupMenu1->addSeparator();
    MemberVolume = new TMemberVolume(PopupMenu1);
    auto* volumeAction = new QWidgetAction(PopupMenu1);
    volumeAction->setText(QStringLiteral("音量"));
    volumeAction->setDefaultWidget(MemberVolume);
    PopupMenu1->addAction(volumeAction);
    connect(PopupMenu1, &QMenu::aboutToShow, this, [this] {
        if (QListWidgetItem* item = ListBox1->currentItem()) {
            MemberVolume->SetVolume(
                {item->data(kVolumeRole).toInt(), item->data(kMuteRole).toBool()});
        }
    });
    connect(MemberVolume, &TMemberVolume::Changed, this,
            [this] { Guard([this] { MemberVolumeChanged(); }); });

    // Who is talking now, and the microphone's level: looked at while someone is connected.
    SoundTimer = new QTimer(this);
    SoundTimer->setInterval(kSoundViewMs);
    connect(SoundTimer, &QTimer::timeout, this, [this] { UpdateSoundView(); });
}

void TMainForm::MemberVolumeChanged() {
    QListWidgetItem* item = ListBox1->currentItem();
    if (item == nullptr) {
        return;
    }
    const TPartnerVolume volume = MemberVolume->Volume();
    item->setData(kVolumeRole, volume.Volume);
    item->setData(kMuteRole, volume.Mute);
    auto* connection = reinterpret_cast<TConversation*>(item->data(Qt::UserRole).value<quintptr>());
    FSession->SetPartnerVolume(connection, volume);
    // Remembered with the partner when the partner is in the history.
    WritePartnerVolume(FIniFileName, item->data(kNameRole).toByteArray().toStdString(), volume);
}

void TMainForm::UpdateSoundView() {
    static const QIcon talking = [] {
        QPixmap mark(12, 12);
        mark.fill(Qt::transparent);
        QPainter painter(&mark);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0, 160, 0));
        painter.drawEllipse(1, 1, 10, 10);
        return QIcon(mark);
    }();
    for (int i = 0; i < ListBox1->count(); ++i) {
        QListWidgetItem* item = ListBox1->item(i);
        auto* connection =
            reinterpret_cast<TConversation*>(item->data(Qt::UserRole).value<quintptr>());
        const bool now = FSession->PartnerTalking(connection);
        if (now != item->data(kTalkingRole).toBool()) {
            item->setData(kTalkingRole, now);
            item->setIcon(now ? talking : QIcon());
            // The description keeps the partner's encryption details while it talks.
            item->setData(
                Qt::AccessibleDescriptionRole,
                now ? QStringLiteral("話しています\n") + item->toolTip() : item->toolTip());
        }
    }
    const bool talkingHere = IsTalking();
    InputLevel->setVisible(talkingHere);
    if (talkingHere) {
        InputLevel->setValue(FSession->InputLevel());
    }
    if (ListBox1->count() == 0 && !talkingHere) {
        SoundTimer->stop();
    }
}

void TMainForm::CreateMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    bar->setAccessibleName(QStringLiteral("メインメニュー"));
    // The commands run once the menu (or an accessibility request that picked the item) has
    // returned: several open modal dialogs.
    auto hook = [this](QAction* action, void (TMainForm::*handler)()) {
        connect(
            action, &QAction::triggered, this,
            [this, handler] { Guard([&] { (this->*handler)(); }); }, Qt::QueuedConnection);
    };

    Setting = NewAction(bar, "Setting", QStringLiteral("設定"));
    bar->addAction(Setting);
    hook(Setting, &TMainForm::SettingClick);

    Connect = bar->addMenu(QStringLiteral("接続"));
    Connect->setObjectName(QStringLiteral("Connect"));
    Connect->setAccessibleName(Connect->title());
    ServerWait = NewAction(Connect, "ServerWait", kNotListening);
    ServerWait->setCheckable(true);
    ClientConnect = NewAction(Connect, "ClientConnect", QStringLiteral("接続"));
    DisConnect = NewAction(Connect, "DisConnect", QStringLiteral("すべて切断"));
    QAction* reach = NewAction(Connect, "Reach", TReachForm::kTitle);
    Connect->addAction(ServerWait);
    Connect->addSeparator();
    Connect->addAction(ClientConnect);
    Connect->addSeparator();
    Connect->addAction(DisConnect);
    Connect->addSeparator();
    Connect->addAction(reach);
    hook(ServerWait, &TMainForm::ServerWaitClick);
    hook(ClientConnect, &TMainForm::ClientConnectClick);
    hook(DisConnect, &TMainForm::DisConnectClick);
    connect(reach, &QAction::triggered, this, [this] { ShowReachForm(); });

    Help1 = bar->addMenu(QStringLiteral("ヘルプ"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Help1->setAccessibleName(Help1->title());
    About1 = NewAction(Help1, "About1", QStringLiteral("バージョン情報"));
    VoxilenHelp = NewAction(Help1, "VoxilenHelp", QStringLiteral("ぼくしれんヘルプ"));
    Help1->addAction(About1);
    Help1->addSeparator();
    Help1->addAction(VoxilenHelp);
    hook(About1, &TMainForm::About1Click);
    hook(VoxilenHelp, &TMainForm::VoxilenHelpClick);

    ClientConnect->setShortcut(kConnectKey);
    DisConnect->setShortcut(kDisconnectAllKey);
    Setting->setShortcut(kSettingKey);
    // The bar's item is outside any menu: its shortcut needs the window's own action.
    addAction(Setting);
    VoxilenHelp->setShortcut(QKeySequence(Qt::Key_F1));
    // F10 opens the menu bar at its first menu; the arrow keys go on from there.
    auto* toMenu = new QShortcut(QKeySequence(Qt::Key_F10), this);
    toMenu->setObjectName(QStringLiteral("MenuKey"));
    connect(toMenu, &QShortcut::activated, this, [this] {
        menuBar()->setFocus(Qt::ShortcutFocusReason);
        menuBar()->setActiveAction(Connect->menuAction());
    });
}

void TMainForm::FormCreate() {
    if (FEnv.IniFileName.empty()) {
        const TUserPlaces places = ResolvePlaces(CurrentPlaceInputs(DownloadFolder()));
        // A folder that cannot be made shows up at the first write of a setting.
        MakeSettingsFolder(places);
        FIniFileName = places.SettingsFile;
        FRecvFolder = places.RecvFolder;
    } else {
        FIniFileName = FEnv.IniFileName;
    }
    CreateTransferWindows();

    Guard([this] { FSettings = LoadSettings(FIniFileName); });
    ApplyDesktopSettings();
    // Before listening: callers and calls are encrypted from the start.
    Guard([this] {
        const std::string why = FSession->EnableTls(FIniFileName);
        if (!why.empty()) {
            Log(QStringLiteral("鍵を用意できないため、暗号化なしで接続します：%1")
                    .arg(QString::fromStdString(why)));
        }
    });
    // A listener that cannot be opened must not keep the voice threads from starting.
    Guard([this] {
        if (FSettings.ServerListen) {
            StartListening();
        } else {
            StopListening();
        }
    });

    Edit1->clear();
    Memo2->clear();

    FSession->Start();
    // The devices the user chose, and how loud everything is played.
    Guard([this] {
        FSession->ChooseDevices(FSettings.Sound);
        FSession->SetOutputVolume(FSettings.Sound.OutputVolume);
    });
    RefreshDialAddress();
}

void TMainForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The frame is known only once the window is on the screen.
    QTimer::singleShot(0, this, [this] { ResizeToOuterSize(); });
    if (!FShownOnce) {
        FShownOnce = true;
        // After the window has appeared: failures found while it was being made.
        QTimer::singleShot(0, this, [this] {
            const QStringList pending = std::exchange(FPendingErrors, {});
            for (const QString& text : pending) {
                ShowError(text);
            }
        });
    }
}

void TMainForm::ResizeToOuterSize() {
    if (FSizedToFrame || FGeometryRestored) {
        return;
    }
    // A window manager reports its frame some time after the window appeared: until then
    // (and for good without one) the window has no frame and the inner size is the outer one.
    const QSize frame = frameGeometry().size() - geometry().size();
    if (frame.width() > 0 || frame.height() > 0) {
        FSizedToFrame = true;
        resize(kOuterWidth - frame.width(), kOuterHeight - frame.height());
    }
}

// --- Helpers ---------------------------------------------------------------------------------

void TMainForm::Guard(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowError(QStringLiteral("予期しないエラーが発生しました。"));
    }
}

void TMainForm::ShowError(const QString& text) {
    if (FEnv.ErrorBox) {
        FEnv.ErrorBox(text);
    } else {
        ui::ShowErrorBox(this, text);
    }
}

void TMainForm::ShowErrorAfterShown(const QString& text) {
    if (FShownOnce) {
        ShowError(text);
    } else {
        FPendingErrors.push_back(text);
    }
}

void TMainForm::ShowNotice(const QString& text) {
    NoticeStatus->setText(text);
    NoticeStatus->setAccessibleName(text);
    NoticeStatus->show();
    AddressStatus->hide();
    MemberStatus->hide();
    NoticeTimer->start(kNoticeMs);
}

void TMainForm::RefreshDialAddress() {
    if (FShutDown) {
        return;
    }
    // The router's mapping or a global IPv6 address while listening; else the LAN address.
    std::string address;
    if (Core().Listening()) {
        address = AddressForPartners(Session().PortMapper().State(), GlobalIpv6Addresses(),
                                     Core().ListeningPort());
    }
    if (address.empty()) {
        address = LookUpLocalHost().Address;
    }
    ShowDialAddress(QString::fromStdString(address));
}

void TMainForm::ShowDialAddress(const QString& address) {
    const QString text =
        address.isEmpty() ? QStringLiteral("アドレス不明") : QStringLiteral("アドレス ") + address;
    AddressStatus->setText(text);
    AddressStatus->setAccessibleName(text);
}

void TMainForm::UpdateStatus() {
    if (FShutDown) {
        return;  // the session is going: nothing left to tell
    }
    QString listen;
    if (Core().Listening()) {
        listen = QStringLiteral("待ち受け中（ポート %1）").arg(Core().ListeningPort());
    } else if (!FListenProblem.isEmpty()) {
        listen = QStringLiteral("待ち受けしていません：") + FListenProblem;
    } else {
        listen = QStringLiteral("待ち受けしていません");
    }
    ListenStatus->setText(listen);
    ListenStatus->setAccessibleName(listen);
    ListenStatus->setToolTip(listen);
    const QString members = QStringLiteral("相手 %1 人").arg(ListBox1->count());
    MemberStatus->setText(members);
    MemberStatus->setAccessibleName(members);
    const bool sound = FSession->SoundAvailable();
    SoundStatus->setText(sound ? QString() : QStringLiteral("音声は使えません"));
    SoundStatus->setAccessibleName(SoundStatus->text());
    SoundStatus->setVisible(!sound);
    if (NoticeStatus->isHidden()) {
        AddressStatus->show();
        MemberStatus->show();
    }
}

void TMainForm::UpdateTitle() {
    const QString title = QString::fromUtf8(kApplicationTitle);
    setWindowTitle(FSettings.MyName.empty()
                       ? title
                       : title + QStringLiteral(" - ") + FromCp932(FSettings.MyName));
}

void TMainForm::SettingsApplied() {
    UpdateTitle();
    // Port mapping switched on or off while listening.
    if (Core().Listening()) {
        Session().PortMapper().SetPorts(
            FSettings.PortMapping ? std::vector<int>{Core().ListeningPort(), FSettings.TransferPort}
                                  : std::vector<int>{});
    }
    UpdateStatus();
    ApplyDesktopSettings();
}

void TMainForm::ApplyDesktopSettings() {
    const QString key = QString::fromStdString(FSettings.PushToTalkKey);
    if (FGlobalKey->Watching() || !key.isEmpty()) {
        if (!FGlobalKey->Watch(key)) {
            Log(QStringLiteral("プッシュトゥトークキー %1 を使えません：%2")
                    .arg(key, FGlobalKey->Problem()));
        }
    }
}

void TMainForm::ShowMessage(const QString& text) {
    if (FEnv.MessageBox) {
        FEnv.MessageBox(text);
    } else {
        QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                        QMessageBox::Ok, this);
        box.exec();
    }
}

void TMainForm::Beep() {
    if (FEnv.Beep) {
        FEnv.Beep();
    } else {
        QApplication::beep();
    }
}

void TMainForm::Log(const QString& message) {
    AppendLine(Memo1, Now() + u' ' + message);
}

bool TMainForm::IsTalking() const {
    return FSession->IsTalking();
}

// --- Activation and closing ------------------------------------------------------------------

void TMainForm::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        // The lines are in sight now.
        FNotices->ChatRead();
        FUnread = 0;
        UpdateTrayIcon();
        ResizeToOuterSize();
        // After the activation has been handled: the message box takes the focus.
        QMetaObject::invokeMethod(
            this, [this] { Guard([this] { FormActivate(); }); }, Qt::QueuedConnection);
    }
}

void TMainForm::FormActivate() {
    if (FShutDown || !FixTransferPort(FIniFileName, FSettings)) {
        return;
    }
    Beep();
    ShowMessage(QStringLiteral("会話用ポートと転送用ポートが同じだったので、\n転送用ポートを ") +
                QString::number(FSettings.TransferPort) + QStringLiteral(" に変更しました。"));
}

void TMainForm::closeEvent(QCloseEvent* event) {
    // Into the tray, when the user chose that and there is a tray to get the window back from.
    if (!FShutDown && !FCloseWithoutAsking && !FQuitting && FTray != nullptr &&
        FSettings.CloseToTray) {
        hide();
        event->ignore();
        return;
    }
    if (!FShutDown && !FCloseWithoutAsking && !ConfirmClose()) {
        event->ignore();
        return;
    }
    SaveGeometry();
    Shutdown();
    event->accept();
}

void TMainForm::CloseWithoutAsking() {
    FCloseWithoutAsking = true;
    close();
}

bool TMainForm::ConfirmClose() {
    if (ListBox1->count() == 0) {
        return true;
    }
    const QString question = QStringLiteral("%1 人の相手と接続しています。切断して終了しますか？")
                                 .arg(ListBox1->count());
    if (FEnv.AskYesNo) {
        return FEnv.AskYesNo(question);
    }
    QMessageBox box(QMessageBox::Question, windowTitle(), question,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void TMainForm::RestoreGeometry() {
    std::optional<TWindowGeometry> saved;
    try {
        saved = ReadMainFormGeometry(FIniFileName);
    } catch (const std::exception&) {
        return;  // an unreadable file: the window where the system puts it
    }
    if (!saved) {
        return;
    }
    const QRect wanted(saved->Left, saved->Top, saved->Width, saved->Height);
    // Only where a screen shows enough of it to take hold of (screens change).
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect seen = screen->availableGeometry().intersected(wanted);
        if (seen.width() >= 100 && seen.height() >= 50) {
            FGeometryRestored = true;
            move(wanted.topLeft());
            resize(wanted.size());
            return;
        }
    }
}

void TMainForm::SaveGeometry() {
    if (!FShownOnce) {
        return;  // never on the screen: nothing to remember
    }
    const QRect frame = frameGeometry();
    TWindowGeometry geometry;
    geometry.Left = frame.left();
    geometry.Top = frame.top();
    geometry.Width = width();
    geometry.Height = height();
    try {
        WriteMainFormGeometry(FIniFileName, geometry);
    } catch (const std::exception&) {
        // The place is a convenience: the program closes all the same.
    }
}

void TMainForm::Shutdown() {
    if (FShutDown) {
        return;
    }
    FShutDown = true;
    // An open transfer window stops its transfer thread first; it writes to a connection.
    FTransfers.reset();
    // The modeless dialogs work on the core: they go first.
    for (QDialog* dialog : findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
        if (!dialog->isModal()) {
            delete dialog;
        }
    }
    PopupMenu1->close();
    delete std::exchange(FTray, nullptr);
    // No talk outlives the window: neither a held key nor a request from outside.
    FTalk->ReleaseAll();
    // A connect dialog still up ends its call while the core is there.
    for (TConnectForm* form : findChildren<TConnectForm*>()) {
        form->reject();
    }
    FSession->Shutdown();
}

// --- Listening and connections ---------------------------------------------------------------

void TMainForm::ServerWaitClick() {
    if (FShutDown) {
        return;
    }
    // The item has toggled its check mark itself; the new state is stored before it acts.
    const bool listen = ServerWait->isChecked();
    SaveServerListen(FIniFileName, listen);
    if (listen) {
        StartListening();
    } else {
        StopListening();
    }
}

void TMainForm::StartListening() {
    const int port = FSettings.ConversationPort;
    try {
        // Closes an open listener first; logs "接続待機開始。" once open.
        Core().StartListening(port);
    } catch (const std::exception& e) {
        // Not listening: the item, the status line and the log say so. The saved wish stays,
        // so that the next start (or the item) tries again.
        ServerWait->setText(kNotListening);
        ServerWait->setChecked(false);
        const QString error = QString::fromUtf8(e.what());
        const QString advice = ui::ListenAdvice(error, port);
        // The status line has room for what failed; the box and the log say what to try.
        FListenProblem = advice.left(advice.indexOf(u'。') + 1);
        Log(QStringLiteral("ポート %1 で待ち受けできません。%2 (%3)")
                .arg(port)
                .arg(advice, ui::SystemErrorText(error)));
        UpdateStatus();
        ShowErrorAfterShown(ui::WithAdvice(error, advice));
        return;
    }
    FListenProblem.clear();
    ServerWait->setText(kListening);
    ServerWait->setChecked(true);
    if (FSettings.PortMapping) {
        Session().PortMapper().SetPorts({Core().ListeningPort(), FSettings.TransferPort});
    }
    RefreshDialAddress();
    UpdateStatus();
}

void TMainForm::StopListening() {
    ServerWait->setText(kNotListening);
    ServerWait->setChecked(false);
    FListenProblem.clear();
    // Incoming connections end now: on purpose, not news.
    for (int i = 0; i < ListBox1->count(); ++i) {
        const auto key = ListBox1->item(i)->data(Qt::UserRole).value<quintptr>();
        if (reinterpret_cast<TConversation*>(key)->Incoming()) {
            FEndedHere.insert(key);
        }
    }
    // Logs "接続待機中止" and ends every incoming connection.
    Core().StopListening();
    Session().PortMapper().SetPorts({});
    RefreshDialAddress();
    UpdateStatus();
}

TReachFacts TMainForm::ReachFacts() {
    TReachFacts facts;
    facts.Listening = Core().Listening();
    facts.MappingOn = FSettings.PortMapping;
    facts.ConversationPort = facts.Listening ? Core().ListeningPort() : FSettings.ConversationPort;
    facts.TransferPort = FSettings.TransferPort;
    facts.Mapping = Session().PortMapper().State();
    facts.GlobalIpv6 = GlobalIpv6Addresses();
    facts.LanAddress = LookUpLocalHost().Address;
    return facts;
}

void TMainForm::ShowReachForm() {
    auto* form = new TReachForm(this, [this] { return ReachFacts(); });
    form->show();
}

void TMainForm::ClientConnectClick() {
    if (FShutDown) {
        return;
    }
    TConnectForm::Connect(this, Core(), FSettings, FIniFileName);
}

void TMainForm::DisConnectClick() {
    if (FShutDown) {
        return;
    }
    for (int i = 0; i < ListBox1->count(); ++i) {
        FEndedHere.insert(ListBox1->item(i)->data(Qt::UserRole).value<quintptr>());
    }
    Core().DisconnectAll();
}

void TMainForm::SettingClick() {
    if (FShutDown) {
        return;
    }
    auto* form = new TSettingForm(this, Core(), FSettings, FIniFileName);
    connect(form, &TSettingForm::Applied, this, &TMainForm::SettingsApplied);
    AddSettingPages(*form);
    form->show();
}

void TMainForm::AddSettingPages(TSettingForm& form) {
    const TTlsIdentity* identity = FSession->Identity();
    form.AddPage(new TSettingReachPage(FSettings, [this] { return ReachFacts(); }));
    form.AddPage(new TSettingSoundPage(FSettings, *FSession));
    form.AddPage(new TSettingDesktopPage(FSettings, QSystemTrayIcon::isSystemTrayAvailable()));
    form.AddPage(new TSettingSecurityPage(
        FSettings, identity != nullptr ? identity->Fingerprint() : std::string()));
}

void TMainForm::About1Click() {
    auto* box = new TAboutBox(this);
    box->show();
}

void TMainForm::VoxilenHelpClick() {
    const QString path = QFile::decodeName(
        FEnv.HelpFileName.empty()
            ? FindHelpPage(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString())
                  .c_str()
            : FEnv.HelpFileName.c_str());
    if (!QFileInfo::exists(path)) {
        ShowError(QStringLiteral("ヘルプファイル %1 が見つかりません。").arg(path));
        return;
    }
    const QUrl url = QUrl::fromLocalFile(path);
    const QString noViewer = QStringLiteral(
                                 "ヘルプを表示できるブラウザーを起動できませんでした。\n"
                                 "ヘルプファイルはここにあります。ブラウザーで開いてください：\n%1")
                                 .arg(path);
    if (FEnv.OpenUrl) {
        if (!FEnv.OpenUrl(url)) {
            ShowMessage(noViewer);
        }
        return;
    }
    // The desktop's opener tells by its exit status whether a viewer came up; a viewer that
    // keeps it waiting has come up.
    auto* opener = new QProcess(this);
    connect(opener, &QProcess::finished, this,
            [this, opener, noViewer](int code, QProcess::ExitStatus how) {
                opener->deleteLater();
                if (how != QProcess::NormalExit || code != 0) {
                    ShowMessage(noViewer);
                }
            });
    connect(opener, &QProcess::errorOccurred, this,
            [this, opener, noViewer](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart) {
                    opener->deleteLater();
                    ShowMessage(noViewer);
                }
            });
    opener->start(QStringLiteral("xdg-open"), {url.toString()});
}

// --- What the connection threads report ------------------------------------------------------

void TMainForm::AddLog(const std::string& message) {
    Log(FromCp932(message));
}

void TMainForm::ShowChatLine(const std::string& partnerName, const std::string& text) {
    AppendLine(Memo2, Now() + QStringLiteral(" (") + FromCp932(partnerName) + QStringLiteral(") ") +
                          FromCp932(text));
    if (OutOfSight()) {
        if (FSettings.DesktopNotices) {
            FNotices->ChatLine(FromCp932(partnerName), FromCp932(text));
        }
        QApplication::alert(this);
        ++FUnread;
        UpdateTrayIcon();
    }
}

void TMainForm::AddMember(const std::string& partnerName, TConversation* connection) {
    auto* item = new QListWidgetItem(FromCp932(partnerName));
    // The connection tells apart two partners listed under the same name.
    item->setData(Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(connection)));
    item->setData(kNameRole, QByteArray::fromStdString(partnerName));
    ListBox1->addItem(item);
    // How loud this partner was wanted the last time.
    Guard([&] {
        const TPartnerVolume volume = ReadPartnerVolume(FIniFileName, partnerName);
        item->setData(kVolumeRole, volume.Volume);
        item->setData(kMuteRole, volume.Mute);
        FSession->SetPartnerVolume(connection, volume);
    });
    SoundTimer->start();
    UpdateStatus();
}

void TMainForm::ConnectionEnded(TConversation* connection) {
    TransferConnectionEnded(connection);
    const auto key = reinterpret_cast<quintptr>(connection);
    const bool endedHere = FEndedHere.erase(key) > 0;
    for (int i = 0; i < ListBox1->count(); ++i) {
        if (ListBox1->item(i)->data(Qt::UserRole).value<quintptr>() == key) {
            const QString name = ListBox1->item(i)->text();
            delete ListBox1->takeItem(i);
            if (!endedHere && !FShutDown) {
                ShowNotice(QStringLiteral("%1 との接続が切れました。").arg(name));
            }
            break;
        }
    }
    UpdateStatus();
}

void TMainForm::CallFailed(const std::string& address, TCallFailure why) {
    const QString who = FromCp932(address);
    QString text;
    switch (why) {
        case TCallFailure::Refused:
            text = QStringLiteral("%1 に接続を断られました。");
            break;
        case TCallFailure::WrongPassPhrase:
            text = QStringLiteral("%1 に接続できません：パスフレーズが違います。");
            break;
        case TCallFailure::NoDecision:
            text = QStringLiteral("%1 の相手が応答しませんでした。");
            break;
        case TCallFailure::NotOurProgram:
            text = QStringLiteral("%1 で応答したのはぼくしれんではありません。");
            break;
        case TCallFailure::Broken:
            text = QStringLiteral("%1 が応答の前に接続を切りました。");
            break;
        case TCallFailure::NoAnswer:
            text = QStringLiteral("%1 のぼくしれんから応答がありません。");
            break;
    }
    ShowNotice(text.arg(who));
}

void TMainForm::MemberSecurity(TConversation* connection, const TMemberSecurity& security) {
    const auto key = reinterpret_cast<quintptr>(connection);
    for (int i = ListBox1->count(); i-- > 0;) {
        if (ListBox1->item(i)->data(Qt::UserRole).value<quintptr>() == key) {
            ui::ShowMemberSecurity(*ListBox1->item(i), security);
            break;
        }
    }
}

void TMainForm::SecurityWarning(const TSecurityWarning& warning) {
    if (FShutDown) {
        return;
    }
    ShowNotice(ui::SecurityWarningText(warning).section(QLatin1Char('\n'), 0, 0));
    ui::ShowSecurityWarning(this, warning, [this, warning] {
        if (!FShutDown) {
            Core().AcceptPartnerKey(warning.Partner, warning.NewFingerprint);
            Log(QStringLiteral("%1 の新しい鍵を受け入れました。")
                    .arg(FromCp932(warning.PartnerName)));
        }
    });
}

int TMainForm::AskAcceptance(const TIncomingCall& call) {
    if (FShutDown) {
        return cdRefused;  // closing down: no dialog any more
    }
    const bool notice = FSettings.DesktopNotices && OutOfSight();
    if (notice) {
        const QString who = FromCp932(call.PartnerName);
        const QString address = FromCp932(call.HostName.empty() ? call.Address : call.HostName);
        FNotices->IncomingCall(who, address, FromCp932(call.Comment));
    }
    if (OutOfSight()) {
        QApplication::alert(this);
    }
    // However it is answered (here, by the notice's action, or not in time), the notice goes
    // and the tray icon no longer shows a call.
    FCallWaiting = true;
    UpdateTrayIcon();
    class TAnswered {
      public:
        TAnswered(TMainForm* form, bool notice) : FForm(form), FNotice(notice) {}
        TAnswered(const TAnswered&) = delete;
        TAnswered& operator=(const TAnswered&) = delete;
        ~TAnswered() {
            if (FNotice) {
                FForm->FNotices->CallAnswered();
            }
            FForm->FCallWaiting = false;
            FForm->UpdateTrayIcon();
        }

      private:
        TMainForm* FForm;
        bool FNotice;
    } answered(this, notice);
    if (FEnv.AskIncomingCall) {
        return FEnv.AskIncomingCall(call);
    }
    return TConnectForm::AskIncomingCall(this, call);
}

void TMainForm::AnswerWaitingCall(int decision) {
    for (TConnectForm* form : findChildren<TConnectForm*>()) {
        if (form->isVisible() && form->windowTitle() == TConnectForm::kIncomingTitle) {
            // The window comes to the front with the call answered, as after a click there.
            form->done(decision);
            return;
        }
    }
}

void TMainForm::CreateTrayIcon() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return;  // the window is never hidden where it could not be got back
    }
    TTrayHooks hooks;
    hooks.WindowShown = [this] { return isVisible() && !isMinimized(); };
    hooks.ToggleWindow = [this] { ShowOrHide(); };
    hooks.Listening = [this] { return ServerWait->isChecked(); };
    hooks.ToggleListening = [this] { ServerWait->trigger(); };
    hooks.DisconnectAll = [this] { DisConnect->trigger(); };
    hooks.Quit = [this] {
        FQuitting = true;
        close();
        FQuitting = false;  // the user kept the window after all
    };
    FTray = new TTrayIcon(this, QApplication::windowIcon(), std::move(hooks));
}

void TMainForm::ShowOrHide() {
    if (isVisible() && !isMinimized()) {
        hide();
        return;
    }
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TMainForm::UpdateTrayIcon() {
    if (FTray == nullptr) {
        return;
    }
    FTray->SetState(FCallWaiting  ? TTrayIcon::TState::CallWaiting
                    : FUnread > 0 ? TTrayIcon::TState::Unread
                                  : TTrayIcon::TState::Idle);
}

bool TMainForm::OutOfSight() const {
    return !isVisible() || isMinimized() || !isActiveWindow();
}

void TMainForm::FetchPassPhraseSetting(bool& usePassPhrase, std::string& passPhrase) {
    usePassPhrase = FSettings.UsePassPhrase;
    passPhrase = FSettings.PassPhrase;
}

// --- Text chat and member list ---------------------------------------------------------------

std::string TMainForm::ChatLineBytes(const QString& text) {
    std::string bytes = Utf8ToCp932(text.toStdString());
    if (bytes.size() <= kMaxFieldLength) {
        return bytes;
    }
    std::size_t end = 0;
    while (end < bytes.size()) {
        const std::size_t width =
            IsCp932LeadByte(static_cast<unsigned char>(bytes[end])) && end + 1 < bytes.size() ? 2
                                                                                              : 1;
        if (end + width > kMaxFieldLength) {
            break;
        }
        end += width;
    }
    bytes.resize(end);
    return bytes;
}

void TMainForm::Edit1Enter() {
    if (FShutDown || Edit1->text().isEmpty()) {
        return;  // nothing to send; the focus stays in the field
    }
    const std::string bytes = ChatLineBytes(Edit1->text());
    const QString lost = ui::CharactersLostInCp932(Edit1->text());
    if (!lost.isEmpty()) {
        // What the partners would see: each character that cannot travel arrives as "?".
        const QString arrives = FromCp932(bytes);
        const bool send = FEnv.ConfirmLossyLine ? FEnv.ConfirmLossyLine(lost, arrives)
                                                : ui::ConfirmLossyLine(this, lost, arrives);
        if (!send) {
            Edit1->setFocus(Qt::OtherFocusReason);
            return;  // back to the line, as it was, to edit it
        }
    }
    // To every partner whose handshake has ended; a connection whose write fails is closed
    // and the others still get the line.
    Core().SendText(bytes);
    Edit1->clear();
    // The space bar is ready for talking.
    SendButton->setFocus(Qt::OtherFocusReason);
}

bool TMainForm::ListBox1MouseDown(QMouseEvent* event) {
    if (event->button() != Qt::RightButton) {
        return false;  // the list box selects as usual
    }
    QListWidgetItem* item = ListBox1->itemAt(event->position().toPoint());
    if (item == nullptr) {
        ListBox1->clearSelection();
        ListBox1->setCurrentItem(nullptr);
        return true;
    }
    ListBox1->setCurrentItem(item);
    item->setSelected(true);
    PopupMenu1->popup(QCursor::pos());
    return true;
}

void TMainForm::OpenMemberMenuFromKeyboard() {
    if (ListBox1->count() == 0) {
        return;  // nobody to send a file to
    }
    QListWidgetItem* item = ListBox1->currentItem();
    if (item == nullptr) {
        item = ListBox1->item(0);
        ListBox1->setCurrentItem(item);
    }
    item->setSelected(true);
    const QRect place = ListBox1->visualItemRect(item);
    PopupMenu1->popup(ListBox1->viewport()->mapToGlobal(place.center()));
    PopupMenu1->setActiveAction(Transfer);
}

// --- Push-to-talk ----------------------------------------------------------------------------

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == centralWidget() && event->type() == QEvent::Paint) {
        QPainter painter(centralWidget());
        painter.fillRect(static_cast<QPaintEvent*>(event)->rect(), FBackground);
        return false;
    }
    if (watched == ListBox1->viewport() && event->type() == QEvent::MouseButtonPress) {
        return ListBox1MouseDown(static_cast<QMouseEvent*>(event));
    }
    if (watched == ListBox1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Menu ||
            (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            OpenMemberMenuFromKeyboard();
            return true;
        }
    }
    if (watched == ListBox1 && event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        OpenMemberMenuFromKeyboard();
        return true;
    }
    if (watched != SendButton) {
        return QMainWindow::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::KeyPress: {
            // Auto-repeat presses start the talking again after a mouse release ended it.
            if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space) {
                Guard([this] {
                    if (!FTalk->Holds(TTalkSource::Window)) {
                        FTalk->Press(TTalkSource::Window);
                        FTalkingByKey = FTalk->Holds(TTalkSource::Window);
                    }
                });
            }
            break;
        }
        case QEvent::KeyRelease: {
            auto* key = static_cast<QKeyEvent*>(event);
            // The system sends a release before every repeated press: only the real one ends.
            if (key->key() == Qt::Key_Space && !key->isAutoRepeat()) {
                Guard([this] { ReleaseWindowTalk(); });
            }
            break;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick: {
            Guard([this] { FTalk->Press(TTalkSource::Window); });
            // The left button also shows the button pressed; the others are taken here.
            return static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton;
        }
        case QEvent::MouseButtonRelease: {
            Guard([this] { ReleaseWindowTalk(); });
            return static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton;
        }
        case QEvent::FocusOut: {
            // The key release would go elsewhere: talking by the space bar ends with the focus.
            if (FTalkingByKey) {
                Guard([this] { ReleaseWindowTalk(); });
            }
            break;
        }
        default:
            break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::StartTalking() {
    if (FShutDown || IsTalking() || ListBox1->count() < 1) {
        return;  // talking needs someone to talk to
    }
    FSavedColour = FBackground;
    SetBackground(kTalkColour);
    try {
        FSession->StartTalking();
        InputLevel->setValue(0);
        InputLevel->setVisible(true);
        SoundTimer->start();
    } catch (const std::exception& e) {
        // Not talking after all: the window must not stay coloured as if it were.
        SetBackground(FSavedColour);
        ShowError(ui::WithAdvice(QString::fromUtf8(e.what()), ui::MicrophoneAdvice()));
    } catch (...) {
        SetBackground(FSavedColour);
        throw;
    }
}

void TMainForm::ReleaseWindowTalk() {
    FTalkingByKey = false;
    FTalk->Release(TTalkSource::Window);
}

void TMainForm::StopTalking() {
    FTalkingByKey = false;
    if (!IsTalking()) {
        return;
    }
    SetBackground(FSavedColour);
    InputLevel->setVisible(false);
    // What was recorded up to now still goes out.
    FSession->StopTalking();
}

void TMainForm::SetBackground(const QColor& colour) {
    FBackground = colour;
    centralWidget()->update();
}

}  // namespace vox
