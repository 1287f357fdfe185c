// The program's main window: the live settings, the log, the text chat, the member list and
// push-to-talk. It holds the session (connections, voice, their start and end) and shows what
// the session reports.
//
// The connection threads reach the window only through IConversationUi, whose calls run on
// the user-interface thread (the synchronizer's main thread, pumped from the Qt event loop).
#pragma once

#include <QColor>
#include <QDBusConnection>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "protocol/Conversation.h"
#include "protocol/ConversationUi.h"
#include "session/Session.h"
#include "settings/Settings.h"
#include "settings/UserPlaces.h"
#include "ui/TalkControl.h"
#include "voice/AudioDevice.h"

class QAction;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class QProgressBar;

namespace vox {

class TConnectionCore;
class TDesktopNotices;
class TGlobalKey;
class TTrayIcon;
class TTransferWindows;
class TSettingForm;
struct TReachFacts;
class TMemberVolume;

// The member list items' data beside the connection (Qt::UserRole): the partner's name as it
// came (CP932), its volume, ミュート, and whether its talking mark shows.
inline constexpr int kNameRole = Qt::UserRole + 1;
inline constexpr int kVolumeRole = Qt::UserRole + 2;
inline constexpr int kMuteRole = Qt::UserRole + 3;
inline constexpr int kTalkingRole = Qt::UserRole + 4;
// How often the talking marks and the level meter are brought up to date while anyone is
// connected or the user talks.
inline constexpr int kSoundViewMs = 100;

// The program's title, also the main window's caption.
inline constexpr const char* kApplicationTitle = "ぼくしれん";

// What the window takes from outside. Empty hooks mean the real thing (message boxes, the
// beep, the incoming-call dialog, the desktop's viewer for the help page).
struct TMainFormEnv {
    // Empty: the settings file and the received files where the program keeps them
    // (UserPlaces.h). Set: this settings file, with received files in "Recieved" beside it.
    std::string IniFileName;
    std::string HelpFileName;  // empty: kHelpFileName beside the executable or installed
    // The sound card (the program's is Qt Multimedia's; tests use files). Null: no sound.
    std::unique_ptr<TAudioBackend> Audio;
    TConversationTimeouts Timeouts;
    std::function<void(const QString&)> ErrorBox;    // the application's error box
    std::function<void(const QString&)> MessageBox;  // a plain message with an OK button
    std::function<void()> Beep;
    std::function<int(const TIncomingCall&)> AskIncomingCall;
    // Opens the help page; false when no viewer could be started. Empty: the desktop's
    // viewer (xdg-open), whose failure is reported when it ends.
    std::function<bool(const QUrl&)> OpenUrl;
    // A chat line with characters CP932 cannot carry: true sends it as it will arrive.
    std::function<bool(const QString& lost, const QString& arrives)> ConfirmLossyLine;
    // A yes/no question (closing with partners connected): true for yes.
    std::function<bool(const QString&)> AskYesNo;
    // The desktop's session bus for notices (the program's own is set by main); not
    // connected: none.
    QDBusConnection DesktopBus{QString()};
};

// How long a notice about a call (refused, wrong pass phrase, the partner hung up) stays in
// the status line before the line shows the state again.
inline constexpr int kNoticeMs = 20000;

// The colour of the window while the user talks.
inline const QColor kTalkColour(0, 255, 255);  // aqua

class TMainForm : public QMainWindow, public IConversationUi {
    Q_OBJECT

  public:
    // Creates the window and its run-time state: reads the settings, switches listening on
    // or off as "ServerListen" says and starts the voice threads. A listener that cannot be
    // opened is reported in the error box; the window comes up all the same.
    explicit TMainForm(TMainFormEnv env = {});
    // Closes down as closing the window does, if that has not happened yet.
    ~TMainForm() override;

    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // The CP932 bytes of a line typed in Edit1, as they go out: cut after the last whole
    // character that fits the text packet's 16-bit length.
    static std::string ChatLineBytes(const QString& text);

    // For tests and the dialogs.
    TSession& Session() { return *FSession; }
    TConnectionCore& Core() { return FSession->Core(); }
    TSynchronizer& Sync() { return FSession->Sync(); }
    const TSettings& Settings() const { return FSettings; }
    const std::string& IniFileName() const { return FIniFileName; }
    bool IsTalking() const;
    // Who holds the talk: the talk button, the push-to-talk key, requests from outside.
    TTalkControl& Talk() { return *FTalk; }
    // The tray icon; null when the desktop has no tray.
    TTrayIcon* Tray() const { return FTray; }
    // The window's background colour: aqua while the user talks.
    const QColor& BackgroundColour() const { return FBackground; }
    // Closes the transfer window and the modeless dialogs, then shuts the session down (every
    // connection dropped, every thread ended); the window stays open but is dead. Closing the
    // window does this; a second call does nothing.
    void Shutdown();
    // Closes the window without asking, whoever is connected (the end of the login session).
    void CloseWithoutAsking();

    // The address partners should dial, shown in the status line. The window fills in this
    // computer's LAN address; whoever learns a better one (the public address) gives it here.
    void ShowDialAddress(const QString& address);
    // Shows the address partners should dial, as far as it is known now.
    void RefreshDialAddress();
    // Whether the last attempt to listen failed, and why (the plain line); empty otherwise.
    const QString& ListenProblem() const { return FListenProblem; }

    // --- IConversationUi (user-interface thread) -------------------------------------------
    void AddLog(const std::string& message) override;
    void ShowChatLine(const std::string& partnerName, const std::string& text) override;
    void AddMember(const std::string& partnerName, TConversation* connection) override;
    void ConnectionEnded(TConversation* connection) override;
    int AskAcceptance(const TIncomingCall& call) override;
    void FetchPassPhraseSetting(bool& usePassPhrase, std::string& passPhrase) override;
    bool TransferWindowOpen() override;
    void OpenReceiveWindow(const TTransferOffer& offer) override;
    void TransferAccepted(TConversation* connection) override;
    void TransferRefused(TConversation* connection) override;
    void Beep() override;
    void CallFailed(const std::string& address, TCallFailure why) override;
    void MemberSecurity(TConversation* connection, const TMemberSecurity& security) override;
    void SecurityWarning(const TSecurityWarning& warning) override;

  signals:
    // The system's sound devices changed (added, removed, or an open one replaced).
    void SoundDevicesChanged();

  protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void CreateControls();
    void CreateMenus();
    // Runs a handler; a failure that escapes it goes to the error box.
    void Guard(const std::function<void()>& handler);
    void ShowError(const QString& text);
    // An error box once the window is on the screen: at once when it is, else after it
    // appeared.
    void ShowErrorAfterShown(const QString& text);
    void ShowNotice(const QString& text);
    void UpdateStatus();
    void UpdateTitle();
    void SettingsApplied();
    // The desktop settings take effect: the push-to-talk key.
    void ApplyDesktopSettings();
    // Whether the user cannot see the window now (hidden, minimised or behind another
    // program's window): news then goes to the desktop as a notice.
    bool OutOfSight() const;
    // The incoming-call dialog waiting now answers as if its button were pressed.
    void AnswerWaitingCall(int decision);
    // The tray icon, where the desktop has a tray; its icon follows calls and unread lines.
    void CreateTrayIcon();
    void UpdateTrayIcon();
    void ShowOrHide();
    void RestoreGeometry();
    void SaveGeometry();
    bool ConfirmClose();
    void OpenMemberMenuFromKeyboard();
    void ShowMessage(const QString& text);
    void Log(const QString& message);

    // Creation, activation and the menu commands.
    void FormCreate();
    void FormActivate();
    void ServerWaitClick();
    void StartListening();
    void StopListening();
    void ClientConnectClick();
    void DisConnectClick();
    // Opens "自分の接続先" (a window of its own, not modal).
    void ShowReachForm();
    // What the "自分の接続先" view and the settings dialog's 接続先 page show.
    TReachFacts ReachFacts();
    void SettingClick();
    // The settings dialog's pages beside the basic one.
    void AddSettingPages(TSettingForm& form);
    void About1Click();
    void VoxilenHelpClick();
    // Text chat and member list.
    void Edit1Enter();
    bool ListBox1MouseDown(QMouseEvent* event);
    // File transfer (MainFormTransfer.cpp): the pop-up item, and a connection that ended.
    void CreateTransferWindows();
    void TransferClick();
    void TransferConnectionEnded(TConversation* connection);
    // Push-to-talk, through FTalk.
    void StartTalking();
    void StopTalking();
    // The talk button (mouse or space bar) lets go.
    void ReleaseWindowTalk();
    void SetBackground(const QColor& colour);
    // The member list's volume pop-up changed for the chosen partner.
    void MemberVolumeChanged();
    // The talking marks of the member list and the microphone's level.
    void UpdateSoundView();
    void ResizeToOuterSize();

    TMainFormEnv FEnv;
    // The running program; its synchronizer outlives every thread that may call onto this
    // window.
    std::unique_ptr<TSession> FSession;
    // The one transfer window; released by Shutdown() before the connections are dropped.
    std::unique_ptr<TTransferWindows> FTransfers;

    // Live settings, and where received files go (empty: beside the settings file).
    std::string FIniFileName;
    std::string FRecvFolder;
    TSettings FSettings;

    bool FShutDown = false;
    bool FCloseWithoutAsking = false;
    bool FGeometryRestored = false;
    // Error boxes waiting for the window to appear.
    QStringList FPendingErrors;
    bool FShownOnce = false;
    // Why listening failed (shown in the status line); empty when it did not.
    QString FListenProblem;
    // Connections this side ended on purpose: their end is no news to the user.
    std::set<quintptr> FEndedHere;

    // Push-to-talk: the colour the window had before talking, and whether the space bar
    // started it.
    QColor FBackground;
    QColor FSavedColour;
    bool FTalkingByKey = false;
    TTalkControl* FTalk = nullptr;
    TGlobalKey* FGlobalKey = nullptr;
    // Notices on the desktop while the window is out of sight.
    TDesktopNotices* FNotices = nullptr;
    // The icon in the desktop's tray (none without a tray), what it shows, and whether its
    // 終了 closes the window for good.
    TTrayIcon* FTray = nullptr;
    bool FCallWaiting = false;
    int FUnread = 0;
    bool FQuitting = false;
    bool FSizedToFrame = false;

    // Controls and menus; each carries its name as objectName.
    QPlainTextEdit* Memo1 = nullptr;
    QLabel* Label1 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLabel* Label3 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QPushButton* SendButton = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Transfer = nullptr;
    QAction* Setting = nullptr;
    QMenu* Connect = nullptr;
    QAction* ServerWait = nullptr;
    QAction* ClientConnect = nullptr;
    QAction* DisConnect = nullptr;
    QMenu* Help1 = nullptr;
    QAction* About1 = nullptr;
    QAction* VoxilenHelp = nullptr;
    // The status line: listening, the address to dial, partners, sound; notices about calls.
    QLabel* ListenStatus = nullptr;
    QLabel* AddressStatus = nullptr;
    QLabel* MemberStatus = nullptr;
    QLabel* SoundStatus = nullptr;
    QLabel* NoticeStatus = nullptr;
    QTimer* NoticeTimer = nullptr;
    // The microphone's level beside the talk button; the pop-up's volume part; the timer that
    // keeps both and the talking marks up to date.
    QProgressBar* InputLevel = nullptr;
    TMemberVolume* MemberVolume = nullptr;
    QTimer* SoundTimer = nullptr;
};

}  // namespace vox
