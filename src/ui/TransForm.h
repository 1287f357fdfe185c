// The file-transfer window: one window for each end of a transfer of one file between this
// program and one conversation partner.
//
// Sending end ("SEND"): the user picks a file; OK sends the offer over the conversation
// connection with the partner. When the partner accepts, ConnectToReceiver() opens the data
// connection and the file goes.
// Receiving end ("RECV"): opened on a partner's offer; the user chooses where to save; OK opens
// the data listener and then tells the partner it is accepted, Cancel refuses.
//
// The window is not modal and releases itself when it closes. Whatever closes it (Cancel, the
// close box, the closing timer after the transfer, the partner's refusal) stops a transfer that
// still runs; the log says it was interrupted. It never writes to a conversation connection
// after ForgetPartner().
//
// Everything here runs on the user-interface thread (the synchronizer's main thread). The
// transfer threads report through ITransferView on that thread.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/Durations.h"
#include "protocol/ConversationUi.h"
#include "settings/UserPlaces.h"
#include "transfer/TransferView.h"
#include "wire/Packet.h"

class QFileDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

namespace vox {

class TConversation;
class TSynchronizer;
class TTransferDataClient;
class TTransferDataServer;

// Texts of the transfer window (UTF-8 here, CP932 on the wire).
namespace transform_texts {
inline constexpr const char* kModeSend = "SEND";
inline constexpr const char* kModeRecv = "RECV";
inline constexpr const char* kFileNameLabel = "ファイル名：";
inline constexpr const char* kBrowse = "参照";
inline constexpr const char* kOk = "OK";
inline constexpr const char* kCancel = "キャンセル";
inline constexpr const char* kChooseFile = "送信ファイルを選択してください。";
inline constexpr const char* kOfferReceived = "ファイル受信依頼を受信しました。";
inline constexpr const char* kToPartner = "さん へ";              // after the partner's name
inline constexpr const char* kFromPartner = "さん から";          // after the partner's name
inline constexpr const char* kNotFound = " が見つかりません。";   // <path>
inline constexpr const char* kPreparing = " を送信準備中です。";  // <name>
inline constexpr const char* kNoSaveName = "保存ファイル名がありません。";
inline constexpr const char* kOverwrite = " は既に存在します。上書きしますか？";  // <path>
inline constexpr const char* kWaiting = " を受信待機中です。";                    // <name>
inline constexpr const char* kRefusal = "ファイルの受信を拒否します。";
// After a completed transfer: the file, and the folder it is in.
inline constexpr const char* kOpen = "開く";
inline constexpr const char* kOpenFolder = "フォルダを開く";
// The offer: "<partner>さんから <name>（<size>）".
inline constexpr const char* kOfferFrom = "さんから ";
// While the file travels: "<done> / <total>　<rate>/s　残り <time>".
inline constexpr const char* kTimeLeft = "残り ";
// At the end: "<total>　完了".
inline constexpr const char* kDone = "完了";
// The open dialog's filter: every file (the name needs no extension).
inline constexpr const char* kOpenFilter = "すべてのファイル ( * )";
// The folder for received files (the name is the program's own).
inline constexpr const char* kRecvFolderName = vox::kRecvFolderName;
}  // namespace transform_texts

// What a transfer window takes from the program.
struct TTransFormEnv {
    // The transfer threads report through it; it must be the one the UI thread runs.
    TSynchronizer* Sync = nullptr;
    // The settings file (position keys).
    std::string IniFileName;
    // The folder for received files; empty: "Recieved" beside the settings file (beside the
    // executable when there is no settings file either).
    std::string RecvFolder;
    // A line for the main window's log, which puts the date and time in front.
    std::function<void(const QString&)> AddLog;
    // A failure that escaped a handler; empty: the application's error box.
    std::function<void(const QString&)> ErrorBox;
    // A user error (beep and message); empty: a message box.
    std::function<void(const QString&)> MessageBox;
    // The closing timer's interval after the transfer thread has ended.
    std::uint32_t CloseDelayMs = kTransferCloseMs;
    // Durations and limits of the data connection.
    TTransferOptions Options;
    // Opens a file or folder with the desktop's own program; empty: QDesktopServices.
    std::function<bool(const QUrl&)> OpenUrl;
};

// How the transfer window writes sizes, rates and durations: decimal units ("12.3 MB"),
// "m:ss" or "h:mm:ss".
QString ByteSizeText(std::int64_t bytes);
QString DurationText(std::int64_t seconds);

class TTransForm : public QDialog, public ITransferView {
    Q_OBJECT

  public:
    // Client area of the window.
    static constexpr int kClientWidth = 345;
    static constexpr int kClientHeight = 168;

    // The sending end for a member of the member list: partner is that member's connection,
    // dataPort the own TransferPort setting. partnerName is shown as the list shows it.
    static TTransForm* CreateSending(QWidget* owner, const TTransFormEnv& env,
                                     const QString& partnerName, TConversation* partner,
                                     int dataPort);
    // The receiving end for a partner's offer.
    static TTransForm* CreateReceiving(QWidget* owner, const TTransFormEnv& env,
                                       const TTransferOffer& offer);

    // Stops a transfer that still runs, without reporting (the window is going).
    ~TTransForm() override;

    TTransForm(const TTransForm&) = delete;
    TTransForm& operator=(const TTransForm&) = delete;

    // --- Operations for the program ----------------------------------------------------------
    // Writes one whole packet to the partner's conversation connection. Does nothing once the
    // partner has been forgotten. A write that fails raises ESocketError.
    void SendToPartner(const Packet& packet);
    // The partner accepted the offer: connect to its data port and send the file. Acts only
    // on a sending window whose offer has gone out and that has not connected yet. A data
    // connection that cannot be made is shown in the window and the log; it does not touch
    // the conversation connection.
    void ConnectToReceiver();
    // The partner's conversation connection has ended: nothing is written to it any more.
    // A window that has not started its part yet can only be cancelled or closed.
    void ForgetPartner();

    bool Sending() const { return !Receiving(); }
    bool Receiving() const;
    // Whether close() has run (the window is then only waiting to be released).
    bool IsClosed() const { return FClosed; }
    // Closed and in no handler or report: it may be deleted at once.
    bool Releasable() const { return FClosed && FHandlerDepth == 0 && FReportDepth == 0; }

    // Fields.
    const QString& TransferMode() const { return FTransferMode; }
    TConversation* PartnerThread() const { return FPartnerThread; }
    const std::string& PartnerAddress() const { return FPartnerAddress; }
    const QString& PartnerName() const { return FPartnerName; }
    std::int64_t FileSize() const { return FFileSize; }
    int DataPort() const { return FDataPort; }
    // Whether the data connection will run TLS (the conversation with the partner does).
    bool DataEncrypted() const { return FDataSecurity.Encrypted(); }
    int ActivateCount() const { return FActivateCount; }
    // With its trailing separator.
    const QString& RecvFolder() const { return FRecvFolder; }
    // The progress bar's range and position in bytes, as the window last set them.
    std::int64_t ProgressMaximum() const { return FProgressMax; }
    std::int64_t ProgressPosition() const { return FProgressPos; }
    // The line under the bar: the offer with its size, then bytes done of total, the rate and
    // the time left, then the end.
    QString StatusText() const;
    // Whether the transfer completed and the window offers to open the file and its folder.
    bool OffersToOpen() const;

    // --- ITransferView (reports of the transfer threads) -------------------------------------
    void SetCaption(const std::string& text) override;
    void SetProgressRange(std::int64_t maximum) override;
    void SetProgress(std::int64_t position) override;
    void AddLog(const std::string& text) override;
    void TransferThreadEnded() override;

  signals:
    // The window has closed (FormClose has run): it no longer counts as the open window.
    void Closed();

  public slots:
    // Esc presses CancelBitBtn.
    void reject() override;

  protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    TTransForm(QWidget* owner, const TTransFormEnv& env);

    // A handler in progress: the window is released only once none runs (a message box or a
    // file dialog runs the event loop, in which the window may be closed).
    class THandlerScope;
    friend class THandlerScope;

    void CreateControls();
    void FormCreate();
    void FormActivate();
    void BrowseButtonClick();
    void OkBitBtnClick();
    void SendRequest();
    void AcceptOffer();
    void CancelBitBtnClick();
    void FinalizeTimerTimer();
    void FormClose();
    void ReleaseWhenIdle();

    // Runs a handler; a failure that escapes it goes to the error box.
    void Guard(const std::function<void()>& handler);
    void ShowUserMessage(const QString& text);
    void ShowError(const QString& text);
    bool AskOverwrite(const QString& path);
    void Log(const QString& text);
    void SetRange(std::int64_t maximum);
    void SetPosition(std::int64_t position);
    void ShowTravel();
    void ShowCompleted();
    void OpenPath(const std::string& path);
    QPoint DefaultPosition() const;

    // Controls, each with its name as objectName.
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* CancelBitBtn = nullptr;
    QLineEdit* FileNameEdit = nullptr;
    QPushButton* BrowseButton = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* OkBitBtn = nullptr;
    QLabel* PartnerLabel = nullptr;
    QLabel* StatusLabel = nullptr;
    QPushButton* OpenButton = nullptr;
    QPushButton* OpenFolderButton = nullptr;
    QFileDialog* OpenDialog1 = nullptr;
    QFileDialog* SaveDialog1 = nullptr;
    QTimer* FinalizeTimer = nullptr;

    // Fields.
    std::string FPartnerAddress;
    // Taken from the conversation when the window opens: the data connection is encrypted
    // exactly when the conversation is.
    TDataSecurity FDataSecurity;
    QString FPartnerName;
    std::int64_t FFileSize = 0;
    int FDataPort = 0;
    QString FTransferMode;
    int FActivateCount = 0;
    std::unique_ptr<TTransferDataServer> FDataServer;
    std::unique_ptr<TTransferDataClient> FDataClient;
    TConversation* FPartnerThread = nullptr;
    QString FRecvFolder;

    const TTransFormEnv FEnv;
    // The sending end's offer: the file as it was offered.
    bool FRequested = false;
    std::string FSendPath;
    std::int64_t FSendSize = 0;
    // The bar shows bytes shifted right by this much, so that any range fits its int.
    int FProgressShift = 0;
    std::int64_t FProgressMax = 100;
    std::int64_t FProgressPos = 0;
    // The local path of the file this window saves (receiving) once the offer is accepted.
    std::string FRecvPath;
    // Recent progress (milliseconds on FClock, bytes) for the rate: the last few seconds.
    QElapsedTimer FClock;
    std::deque<std::pair<std::int64_t, std::int64_t>> FRateSamples;
    std::int64_t FStartMs = -1;
    // Nesting of handlers and of reports being shown; the window is not released (nor a
    // transfer stopped) inside one.
    int FHandlerDepth = 0;
    int FReportDepth = 0;
    bool FClosed = false;
    // The window sits in the default place (no position remembered).
    bool FDefaultPosition = false;
    bool FReleasePending = false;
};

}  // namespace vox
