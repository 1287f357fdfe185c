// The connect dialog and the incoming-call dialog: one window in two modes.
//
// Connect mode ("接続"): the user picks a remembered partner or types one, with host name or
// address (each "host", "host:port", "[IPv6]:port" or a bare IPv6 address; without a port the
// own conversation port), pass phrase and comment; OK remembers the partner in the settings file
// and places the call. While the call looks its host up and connects, on its own thread, the dialog
// says "接続中…" and OK waits; once the connection stands the dialog logs the attempt and closes.
// A failed check or a call that cannot be made leaves the dialog open so that the user can
// correct the field. Cancel ends a call under way at once.
//
// Incoming-call mode ("着信"): shows a caller, read-only, and returns the user's decision, or
// cdTimedOut when nobody decides in time.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <string>

#include "platform/Durations.h"
#include "protocol/ConnectionCore.h"
#include "protocol/ConversationUi.h"
#include "settings/Settings.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace vox {

// An incoming call ignores Return and Space for this long after it appeared: a user typing a
// chat line must not accept an unknown caller with the key that ends the line.
inline constexpr std::uint32_t kAcceptKeyGuardMs = 1000;
// The incoming call's time left is shown anew at this pace.
inline constexpr int kTimeLeftTickMs = 1000;

class TConnectForm : public QDialog {
    Q_OBJECT

  public:
    static inline const QString kConnectMode = QStringLiteral("接続");
    static inline const QString kIncomingMode = QStringLiteral("着信");
    static inline const QString kCallingText = QStringLiteral("接続中…");
    // The incoming-call dialog's caption.
    static inline const QString kIncomingTitle = QStringLiteral("接続要求を受け付けました。");

    // Connect mode. The history comes from iniFileName; the call uses live's MyName and
    // ConversationPort as they are when OK is pressed. Show it with exec(); its result is
    // cdAccepted (1) once a call stands, cdRefused (2) when cancelled. It is not deleted
    // on closing: put it on the stack or delete it after exec().
    TConnectForm(QWidget* owner, TConnectionCore& core, const TSettings& live,
                 std::string iniFileName);
    // Ends a call still under way.
    ~TConnectForm() override;
    TConnectForm(const TConnectForm&) = delete;
    TConnectForm& operator=(const TConnectForm&) = delete;

    // Connect mode in one go: create, show modally, release. Returns the dialog's result.
    static int Connect(QWidget* owner, TConnectionCore& core, const TSettings& live,
                       const std::string& iniFileName);

    // Incoming-call mode: shows the caller modally and returns cdAccepted, cdRefused (also for
    // Escape and the window's close button) or cdTimedOut after timeoutMs. Texts of call are
    // CP932. The dialog is released before this returns.
    // Return and Space do nothing for the first keyGuardMs. The widget that had the focus
    // before (a chat line being typed) gets it back afterwards, with its cursor and selection.
    static int AskIncomingCall(QWidget* owner, const TIncomingCall& call,
                               std::uint32_t timeoutMs = kCallDecisionLimitMs,
                               std::uint32_t keyGuardMs = kAcceptKeyGuardMs);
    // The caption of the time left: "残り m:ss".
    static QString TimeLeftText(qint64 leftMs);

    const QString& DialogMode() const { return FDialogMode; }
    // Whether a call placed by OK is still under way.
    bool Calling() const { return FCall != 0; }

  public slots:
    // Cancel, Escape and the window's close button: cdRefused (2), in both modes; a call under
    // way ends.
    void reject() override;

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    TConnectForm(QWidget* owner, const TIncomingCall& call, std::uint32_t timeoutMs,
                 std::uint32_t keyGuardMs);
    void FillHistory();
    void ForgetChosenPartner();
    void ShowTimeLeft();
    void CreateControls();
    void SetCaptions();
    void PartnerComboBoxChange(const QString& text);
    void OKBitBtnClick();
    void ConnectOK();
    // The call placed by ConnectOK() stands or failed (UI thread).
    void CallEnded(const TCallOutcome& outcome);
    void SetCalling(TCallId call);
    void TimeOutTimerTimer();
    void Refuse(const QString& message);

    // The controls; each carries its field name as objectName.
    QLabel* Label2 = nullptr;
    QComboBox* PartnerComboBox = nullptr;
    QLabel* AddressLabel = nullptr;
    QLineEdit* AddressEdit = nullptr;
    QLabel* HostNameLabel = nullptr;
    QLineEdit* HostNameEdit = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* PassEdit = nullptr;
    QLabel* CommentLabel = nullptr;
    QLineEdit* CommentEdit = nullptr;
    QPushButton* OKBitBtn = nullptr;
    QPushButton* CancelBitBtn = nullptr;
    QLabel* StatusLabel = nullptr;
    QPushButton* ForgetBtn = nullptr;  // connect mode: forgets the named partner
    QTimer* TimeOutTimer = nullptr;
    QTimer* TimeLeftTimer = nullptr;

    QString FDialogMode;
    TConnectionCore* FCore = nullptr;  // connect mode only
    const TSettings* FLive = nullptr;  // connect mode only
    std::string FIniFileName;
    bool FTimerStarted = false;
    std::uint32_t FKeyGuardMs = 0;
    QElapsedTimer FShownFor;
    TCallId FCall = 0;     // the call under way, 0: none
    QString FCallTarget;   // its host name or address, as typed
    QString FDialledHost;  // the host and port dialled (the port typed, or the own one)
    int FDialledPort = 0;
};

}  // namespace vox
