#include "ui/TransForm.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <exception>
#include <filesystem>
#include <system_error>

#include "net/SocketError.h"
#include "platform/Cp932.h"
#include "protocol/Conversation.h"
#include "settings/Settings.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"
#include "transfer/FileName.h"
#include "ui/DialogMessages.h"

namespace vox {

namespace fs = std::filesystem;
namespace tt = transform_texts;

namespace {

constexpr Qt::WindowFlags kDialogFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// A local path as the file system takes it, and back.
std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString NamePart(const QString& path) {
    const qsizetype cut = path.lastIndexOf(u'/');
    return cut < 0 ? path : path.mid(cut + 1);
}

// The rate is taken over the last few seconds of progress.
constexpr std::int64_t kRateSpanMs = 3000;
// Less than this much time measured shows no rate yet.
constexpr std::int64_t kRateMinimumMs = 200;

}  // namespace

QString ByteSizeText(std::int64_t bytes) {
    const double value = static_cast<double>(std::max<std::int64_t>(bytes, 0));
    if (value < 1000) {
        return QStringLiteral("%1 B").arg(std::max<std::int64_t>(bytes, 0));
    }
    if (value < 1e6) {
        return QStringLiteral("%1 KB").arg(value / 1e3, 0, 'f', 1);
    }
    if (value < 1e9) {
        return QStringLiteral("%1 MB").arg(value / 1e6, 0, 'f', 1);
    }
    return QStringLiteral("%1 GB").arg(value / 1e9, 0, 'f', 2);
}

QString DurationText(std::int64_t seconds) {
    seconds = std::max<std::int64_t>(seconds, 0);
    const auto two = [](std::int64_t n) { return QStringLiteral("%1").arg(n, 2, 10, QChar(u'0')); };
    if (seconds < 3600) {
        return QStringLiteral("%1:%2").arg(seconds / 60).arg(two(seconds % 60));
    }
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600)
        .arg(two(seconds / 60 % 60))
        .arg(two(seconds % 60));
}

// A handler or a report in progress: the window is released only once none runs.
class TTransForm::THandlerScope {
  public:
    THandlerScope(TTransForm& form, int TTransForm::*depth) : FForm(form), FDepth(depth) {
        ++(FForm.*FDepth);
    }
    ~THandlerScope() {
        --(FForm.*FDepth);
        if (FForm.FReleasePending && FForm.FHandlerDepth == 0 && FForm.FReportDepth == 0) {
            FForm.FReleasePending = false;
            FForm.deleteLater();
        }
    }
    THandlerScope(const THandlerScope&) = delete;
    THandlerScope& operator=(const THandlerScope&) = delete;

  private:
    TTransForm& FForm;
    int TTransForm::*FDepth;
};

namespace {

TDataSecurity DataSecurityOf(const TConversation* partner) {
    TDataSecurity security;
    if (partner != nullptr) {
        security.Identity = partner->EncryptionIdentity();
        security.PartnerFingerprint = partner->PartnerFingerprint();
    }
    return security;
}

}  // namespace

// --- Creation --------------------------------------------------------------------------------

TTransForm::TTransForm(QWidget* owner, const TTransFormEnv& env)
    : QDialog(owner, kDialogFlags), FEnv(env) {
    CreateControls();
    FormCreate();
}

TTransForm* TTransForm::CreateSending(QWidget* owner, const TTransFormEnv& env,
                                      const QString& partnerName, TConversation* partner,
                                      int dataPort) {
    auto* form = new TTransForm(owner, env);
    form->FPartnerName = partnerName;
    form->FPartnerThread = partner;
    form->FPartnerAddress = partner != nullptr ? partner->PartnerAddress() : std::string();
    form->FDataSecurity = DataSecurityOf(partner);
    form->FTransferMode = U(tt::kModeSend);
    form->FDataPort = dataPort;
    return form;
}

TTransForm* TTransForm::CreateReceiving(QWidget* owner, const TTransFormEnv& env,
                                        const TTransferOffer& offer) {
    auto* form = new TTransForm(owner, env);
    form->FTransferMode = U(tt::kModeRecv);
    form->FPartnerName = QString::fromStdString(Cp932ToUtf8(offer.PartnerName));
    form->FPartnerAddress = offer.PartnerAddress;
    form->FPartnerThread = offer.Connection;
    form->FDataSecurity = DataSecurityOf(offer.Connection);
    // Only a plain name from the partner's text is proposed: never a folder of its choosing.
    // A name longer than the file system holds is shortened now, keeping its extension, so
    // that the file can take it once it has arrived.
    const QString name =
        QString::fromStdString(ReceivedFileNameFromCp932(offer.FileName).value_or(std::string()));
    form->FileNameEdit->setText(
        QFile::decodeName(QByteArray::fromStdString(ShortenFileName(LocalPath(name)))));
    form->FFileSize = offer.FileSize;
    form->FDataPort = offer.Port;
    return form;
}

TTransForm::~TTransForm() {
    // Closing has stopped the transfer already; this covers a window freed without closing.
    FDataClient.reset();
    FDataServer.reset();
}

void TTransForm::CreateControls() {
    setObjectName(QStringLiteral("TransForm"));

    Label1 = new QLabel(U(tt::kFileNameLabel), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    PartnerLabel = new QLabel(this);
    PartnerLabel->setObjectName(QStringLiteral("PartnerLabel"));
    PartnerLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    FileNameEdit = new QLineEdit(this);
    FileNameEdit->setObjectName(QStringLiteral("FileNameEdit"));
    FileNameEdit->setAccessibleName(ui::FieldNameOf(Label1->text()));
    Label1->setBuddy(FileNameEdit);

    BrowseButton = new QPushButton(U(tt::kBrowse), this);
    BrowseButton->setObjectName(QStringLiteral("BrowseButton"));
    BrowseButton->setAccessibleName(BrowseButton->text());
    BrowseButton->setAutoDefault(false);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setAccessibleName(QStringLiteral("進行状況"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);

    StatusLabel = new QLabel(this);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
    StatusLabel->setTextFormat(Qt::PlainText);

    OpenButton = new QPushButton(U(tt::kOpen), this);
    OpenButton->setObjectName(QStringLiteral("OpenButton"));
    OpenButton->setAccessibleName(OpenButton->text());
    OpenButton->setAutoDefault(false);
    OpenButton->hide();
    OpenFolderButton = new QPushButton(U(tt::kOpenFolder), this);
    OpenFolderButton->setObjectName(QStringLiteral("OpenFolderButton"));
    OpenFolderButton->setAccessibleName(OpenFolderButton->text());
    OpenFolderButton->setAutoDefault(false);
    OpenFolderButton->hide();

    OkBitBtn = new QPushButton(U(tt::kOk), this);
    OkBitBtn->setObjectName(QStringLiteral("OkBitBtn"));
    OkBitBtn->setAccessibleName(OkBitBtn->text());
    OkBitBtn->setDefault(true);
    CancelBitBtn = new QPushButton(U(tt::kCancel), this);
    CancelBitBtn->setObjectName(QStringLiteral("CancelBitBtn"));
    CancelBitBtn->setAccessibleName(CancelBitBtn->text());
    CancelBitBtn->setAutoDefault(false);

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setNameFilter(U(tt::kOpenFilter));
    SaveDialog1 = new QFileDialog(this);
    SaveDialog1->setObjectName(QStringLiteral("SaveDialog1"));
    SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog1->setFileMode(QFileDialog::AnyFile);
    // The window asks about overwriting itself, once the name is final.
    SaveDialog1->setOption(QFileDialog::DontConfirmOverwrite, true);

    FinalizeTimer = new QTimer(this);
    FinalizeTimer->setObjectName(QStringLiteral("FinalizeTimer"));
    FinalizeTimer->setSingleShot(true);
    FinalizeTimer->setInterval(
        static_cast<int>(std::min<std::uint32_t>(FEnv.CloseDelayMs, INT_MAX)));

    auto* top = new QHBoxLayout;
    top->addWidget(Label1);
    top->addStretch();
    top->addWidget(PartnerLabel, 1);
    auto* file = new QHBoxLayout;
    file->addWidget(FileNameEdit, 1);
    file->addWidget(BrowseButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(OpenButton);
    buttons->addWidget(OpenFolderButton);
    buttons->addStretch();
    buttons->addWidget(OkBitBtn);
    buttons->addWidget(CancelBitBtn);
    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 6, 8, 8);
    all->setSpacing(5);
    all->addLayout(top);
    all->addLayout(file);
    all->addWidget(ProgressBar1);
    all->addWidget(StatusLabel);
    all->addStretch();
    all->addLayout(buttons);
    setFixedSize(kClientWidth, kClientHeight);

    connect(BrowseButton, &QPushButton::clicked, this,
            [this] { Guard([this] { BrowseButtonClick(); }); });
    connect(OkBitBtn, &QPushButton::clicked, this, [this] { Guard([this] { OkBitBtnClick(); }); });
    connect(CancelBitBtn, &QPushButton::clicked, this,
            [this] { Guard([this] { CancelBitBtnClick(); }); });
    connect(OpenButton, &QPushButton::clicked, this,
            [this] { Guard([this] { OpenPath(Receiving() ? FRecvPath : FSendPath); }); });
    connect(OpenFolderButton, &QPushButton::clicked, this, [this] {
        Guard([this] {
            OpenPath(fs::path(Receiving() ? FRecvPath : FSendPath).parent_path().string());
        });
    });
    connect(FinalizeTimer, &QTimer::timeout, this,
            [this] { Guard([this] { FinalizeTimerTimer(); }); });
}

void TTransForm::FormCreate() {
    FActivateCount = 0;
    FileNameEdit->clear();
    if (!FEnv.RecvFolder.empty()) {
        FRecvFolder = QFile::decodeName(FEnv.RecvFolder.c_str()) + u'/';
    } else {
        const QString folder =
            FEnv.IniFileName.empty()
                ? QCoreApplication::applicationDirPath()
                : QFileInfo(QFile::decodeName(FEnv.IniFileName.c_str())).absolutePath();
        FRecvFolder = folder + u'/' + U(tt::kRecvFolderName) + u'/';
    }
    // A folder that cannot be made shows up as a file that cannot be saved.
    QDir().mkpath(FRecvFolder);
    SaveDialog1->setDirectory(FRecvFolder);

    const QPoint fallback = DefaultPosition();
    TWindowPosition position{fallback.x(), fallback.y()};
    try {
        position = ReadTransFormPosition(FEnv.IniFileName, fallback.x(), fallback.y());
    } catch (const std::exception&) {
        // An unreadable settings file gives the defaults.
    }
    // The default is placed again once the frame is known.
    FDefaultPosition = position.Left == fallback.x() && position.Top == fallback.y();
    move(position.Left, position.Top);
}

QPoint TTransForm::DefaultPosition() const {
    // The lower right corner of the screen.
    QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : nullptr;
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return {0, 0};
    }
    const QRect area = screen->availableGeometry();
    const QSize outer = frameGeometry().size();
    return {area.x() + area.width() - outer.width(), area.y() + area.height() - outer.height()};
}

bool TTransForm::Receiving() const {
    return FTransferMode.toUpper() == U(tt::kModeRecv);
}

// --- Activation --------------------------------------------------------------------------------

void TTransForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (FDefaultPosition) {
        FDefaultPosition = false;
        move(DefaultPosition());
    }
    // Showing the window activates it; the platform may say so later, or not at all.
    if (FActivateCount == 0) {
        FormActivate();
    }
}

void TTransForm::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        FormActivate();
    }
}

void TTransForm::FormActivate() {
    if (++FActivateCount != 1) {
        return;
    }
    if (Receiving()) {
        setWindowTitle(U(tt::kOfferReceived));
        PartnerLabel->setText(FPartnerName + U(tt::kFromPartner));
        SetRange(FFileSize);
        StatusLabel->setText(FPartnerName + U(tt::kOfferFrom) + NamePart(FileNameEdit->text()) +
                             u'（' + ByteSizeText(FFileSize) + u'）');
        StatusLabel->setAccessibleName(StatusLabel->text());
    } else {
        setWindowTitle(U(tt::kChooseFile));
        PartnerLabel->setText(FPartnerName + U(tt::kToPartner));
    }
    PartnerLabel->setAccessibleName(PartnerLabel->text());
}

// --- Handlers ----------------------------------------------------------------------------------

void TTransForm::Guard(const std::function<void()>& handler) {
    THandlerScope scope(*this, &TTransForm::FHandlerDepth);
    try {
        handler();
    } catch (const std::exception& e) {
        ShowError(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowError(QStringLiteral("予期しないエラーが発生しました。"));
    }
}

void TTransForm::BrowseButtonClick() {
    if (FClosed) {
        return;
    }
    QFileDialog* dialog = Receiving() ? SaveDialog1 : OpenDialog1;
    if (Receiving()) {
        dialog->selectFile(FileNameEdit->text());
    }
    if (dialog->exec() != QDialog::Accepted || FClosed) {
        return;
    }
    const QStringList files = dialog->selectedFiles();
    if (!files.isEmpty()) {
        FileNameEdit->setText(files.first());
    }
}

void TTransForm::OkBitBtnClick() {
    // Without the partner's connection there is nobody to tell.
    if (FClosed || FPartnerThread == nullptr) {
        return;
    }
    if (Receiving()) {
        AcceptOffer();
    } else {
        SendRequest();
    }
}

void TTransForm::SendRequest() {
    const QString path = FileNameEdit->text();
    const std::string local = LocalPath(path);
    std::error_code error;
    const bool found = !path.isEmpty() && fs::is_regular_file(local, error);
    const std::uintmax_t size = found ? fs::file_size(local, error) : 0;
    if (!found || error) {
        ShowUserMessage(path + U(tt::kNotFound));
        return;
    }
    // The offer announces the size in 32 bits, read by the partner as a signed count.
    if (size > static_cast<std::uintmax_t>(kMaxAnnouncedFileSize) ||
        !CanAnnounceFileSize(static_cast<std::int64_t>(size))) {
        ShowUserMessage(QString::fromStdString(FileTooLargeMessage(path.toStdString())));
        return;
    }
    const QString name = NamePart(path);
    setWindowTitle(name + U(tt::kPreparing));
    SetRange(static_cast<std::int64_t>(size));
    const Packet request =
        BuildTransferRequest(Utf8ToCp932(name.toStdString()), static_cast<std::uint32_t>(size),
                             static_cast<std::uint16_t>(FDataPort));
    SendToPartner(request);
    FSendPath = fs::absolute(local, error).string();
    if (error) {
        FSendPath = local;
    }
    FSendSize = static_cast<std::int64_t>(size);
    FRequested = true;
    // One offer per window, also after a busy answer.
    OkBitBtn->setEnabled(false);
    BrowseButton->setEnabled(false);
    FileNameEdit->setReadOnly(true);
}

void TTransForm::AcceptOffer() {
    QString path = FileNameEdit->text();
    if (NamePart(path).isEmpty()) {
        ShowUserMessage(U(tt::kNoSaveName));
        return;
    }
    // A bare name is saved in the folder for received files; a path is the user's own choice.
    if (!path.contains(u'/')) {
        path = FRecvFolder + path;
        FileNameEdit->setText(path);
    }
    const std::string local = LocalPath(path);
    std::error_code error;
    if (fs::exists(fs::symlink_status(local, error))) {
        if (!AskOverwrite(path)) {
            return;
        }
        // The partner may have gone, or the window closed, while the question was up.
        if (FClosed || FPartnerThread == nullptr) {
            return;
        }
    }
    setWindowTitle(NamePart(path) + U(tt::kWaiting));
    SetRange(FFileSize);
    FRecvPath = local;
    // Listening before the partner hears of the acceptance, so that its connection finds us.
    TTransferJob job{FPartnerAddress, FDataPort, local, FFileSize, FEnv.Options, FDataSecurity};
    auto server = std::make_unique<TTransferDataServer>(*this, FEnv.Sync, std::move(job));
    server->Open();
    FDataServer = std::move(server);
    OkBitBtn->setEnabled(false);
    BrowseButton->setEnabled(false);
    // The file is saved where the edit says now.
    FileNameEdit->setReadOnly(true);
    SendToPartner(BuildTransferReply(rcAccepted, {}));
}

void TTransForm::CancelBitBtnClick() {
    if (FClosed) {
        return;
    }
    // Whatever the state, the partner hears that the file is not wanted.
    if (Receiving() && FPartnerThread != nullptr) {
        try {
            SendToPartner(BuildTransferReply(rcRefused, Utf8ToCp932(tt::kRefusal)));
        } catch (const std::exception& e) {
            ShowError(QString::fromUtf8(e.what()));
        }
    }
    close();
}

void TTransForm::reject() {
    Guard([this] { CancelBitBtnClick(); });
}

void TTransForm::FinalizeTimerTimer() {
    close();
}

// --- Closing -----------------------------------------------------------------------------------

void TTransForm::closeEvent(QCloseEvent* event) {
    // Not from inside a report: the transfer thread waits for it to return, and stopping the
    // transfer waits for the thread. The close is tried again once the report is done.
    if (FReportDepth > 0) {
        event->ignore();
        QMetaObject::invokeMethod(
            this, [this] { close(); }, Qt::QueuedConnection);
        return;
    }
    event->accept();
    FormClose();
}

void TTransForm::FormClose() {
    if (FClosed) {
        return;
    }
    FClosed = true;
    THandlerScope scope(*this, &TTransForm::FHandlerDepth);
    FinalizeTimer->stop();
    // A file dialog still open has nothing left to choose for.
    OpenDialog1->reject();
    SaveDialog1->reject();
    // Stops a running transfer: its thread ends, and the log says it was interrupted.
    try {
        if (FDataClient) {
            FDataClient->Stop();
        }
        if (FDataServer) {
            FDataServer->Close();
        }
    } catch (const std::exception& e) {
        Log(QString::fromUtf8(e.what()));
    }
    FPartnerThread = nullptr;
    const QPoint where = pos();
    try {
        WriteTransFormPosition(FEnv.IniFileName, TWindowPosition{where.x(), where.y()});
    } catch (const std::exception& e) {
        ShowError(QString::fromUtf8(e.what()));
    }
    emit Closed();
    ReleaseWhenIdle();
}

void TTransForm::ReleaseWhenIdle() {
    if (FHandlerDepth == 0 && FReportDepth == 0) {
        deleteLater();
    } else {
        FReleasePending = true;
    }
}

// --- Operations for the program ------------------------------------------------------------------

void TTransForm::SendToPartner(const Packet& packet) {
    if (FPartnerThread != nullptr) {
        FPartnerThread->SendBuffer(packet);
    }
}

void TTransForm::ConnectToReceiver() {
    if (FClosed || Receiving() || !FRequested || FDataClient) {
        return;
    }
    THandlerScope scope(*this, &TTransForm::FHandlerDepth);
    TTransferJob job{FPartnerAddress, FDataPort, FSendPath, FSendSize, FEnv.Options, FDataSecurity};
    FDataClient = std::make_unique<TTransferDataClient>(*this, FEnv.Sync, std::move(job));
    try {
        FDataClient->Open();
    } catch (const ESocketError&) {
        // The data connection failed, not the conversation: the window says so and stays
        // open until it is cancelled or closed; the partner may still cancel its end.
        FDataClient.reset();
        const QString line = QString::fromStdString(FileNamePart(FSendPath) +
                                                    std::string(transfer_texts::kSendFailed));
        setWindowTitle(line);
        Log(line);
    }
}

void TTransForm::ForgetPartner() {
    FPartnerThread = nullptr;
    // An offer not yet made or accepted can no longer be.
    if (!FDataServer && !FRequested) {
        OkBitBtn->setEnabled(false);
        BrowseButton->setEnabled(false);
    }
}

// --- Reports of the transfer threads
// ---------------------------------------------------------------

void TTransForm::SetCaption(const std::string& text) {
    THandlerScope scope(*this, &TTransForm::FReportDepth);
    setWindowTitle(QString::fromStdString(text));
}

void TTransForm::SetProgressRange(std::int64_t maximum) {
    THandlerScope scope(*this, &TTransForm::FReportDepth);
    SetRange(maximum);
    // The transfer thread starts: the rate is counted from here.
    FClock.start();
    FStartMs = 0;
    FRateSamples.clear();
    FRateSamples.emplace_back(0, 0);
}

void TTransForm::SetProgress(std::int64_t position) {
    THandlerScope scope(*this, &TTransForm::FReportDepth);
    SetPosition(position);
    ShowTravel();
}

void TTransForm::AddLog(const std::string& text) {
    THandlerScope scope(*this, &TTransForm::FReportDepth);
    Log(QString::fromStdString(text));
}

void TTransForm::TransferThreadEnded() {
    THandlerScope scope(*this, &TTransForm::FReportDepth);
    if (!FClosed) {
        ShowCompleted();
        FinalizeTimer->start();
    }
}

QString TTransForm::StatusText() const {
    return StatusLabel->text();
}

bool TTransForm::OffersToOpen() const {
    return !OpenButton->isHidden();
}

void TTransForm::ShowCompleted() {
    // The threads show the whole size only once the file is saved (receiving) or its whole
    // count acknowledged (sending).
    const std::string& path = Receiving() ? FRecvPath : FSendPath;
    std::error_code error;
    if (path.empty() || FProgressPos < FProgressMax || !fs::is_regular_file(path, error)) {
        return;
    }
    QString text = ByteSizeText(FProgressMax) + u'\u3000' + U(tt::kDone);
    if (FStartMs >= 0 && FClock.isValid()) {
        const std::int64_t ms = FClock.elapsed() - FStartMs;
        if (ms >= kRateMinimumMs) {
            text += u'\u3000' + ByteSizeText(FProgressMax * 1000 / ms) + QStringLiteral("/s");
        }
    }
    StatusLabel->setText(text);
    StatusLabel->setAccessibleName(text);
    OkBitBtn->hide();
    OpenButton->show();
    OpenFolderButton->show();
}

void TTransForm::OpenPath(const std::string& path) {
    if (path.empty()) {
        return;
    }
    const QUrl url = QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path)));
    if (FEnv.OpenUrl) {
        FEnv.OpenUrl(url);
    } else {
        QDesktopServices::openUrl(url);
    }
}

// Bytes done of total, the rate over the last few seconds and the time left. The threads
// report progress at most every kTransferProgressIntervalMs (about 20 times a second), so
// this runs no more often.
void TTransForm::ShowTravel() {
    if (!FClock.isValid()) {
        FClock.start();
    }
    const std::int64_t now = FClock.elapsed();
    if (FStartMs < 0) {
        FStartMs = now;
    }
    if (!FRateSamples.empty() && FRateSamples.back().first == now) {
        FRateSamples.pop_back();
    }
    FRateSamples.emplace_back(now, FProgressPos);
    while (FRateSamples.size() > 2 && now - FRateSamples.front().first > kRateSpanMs) {
        FRateSamples.pop_front();
    }
    QString text = ByteSizeText(FProgressPos) + QStringLiteral(" / ") + ByteSizeText(FProgressMax);
    const auto& [firstMs, firstPos] = FRateSamples.front();
    const std::int64_t spanMs = now - firstMs;
    if (spanMs >= kRateMinimumMs && FProgressPos > firstPos) {
        const std::int64_t rate = (FProgressPos - firstPos) * 1000 / spanMs;
        text += u'\u3000' + ByteSizeText(rate) + QStringLiteral("/s");
        if (rate > 0) {
            const std::int64_t left = (FProgressMax - FProgressPos + rate - 1) / rate;
            text += u'\u3000' + U(tt::kTimeLeft) + DurationText(left);
        }
    }
    StatusLabel->setText(text);
    StatusLabel->setAccessibleName(text);
}

// --- Helpers
// -----------------------------------------------------------------------------------------

void TTransForm::SetRange(std::int64_t maximum) {
    FProgressMax = std::max<std::int64_t>(maximum, 0);
    FProgressShift = 0;
    while ((FProgressMax >> FProgressShift) > INT_MAX) {
        ++FProgressShift;
    }
    // An empty range would make the bar show a busy animation: an empty file gets one step,
    // which its completion fills.
    const int top = FProgressMax > 0 ? static_cast<int>(FProgressMax >> FProgressShift) : 1;
    ProgressBar1->setRange(0, top);
    ProgressBar1->setValue(0);
    FProgressPos = 0;
}

void TTransForm::SetPosition(std::int64_t position) {
    FProgressPos = std::clamp<std::int64_t>(position, 0, FProgressMax);
    if (FProgressMax == 0) {
        ProgressBar1->setValue(ProgressBar1->maximum());
        return;
    }
    ProgressBar1->setValue(static_cast<int>(FProgressPos >> FProgressShift));
}

void TTransForm::Log(const QString& text) {
    if (FEnv.AddLog) {
        FEnv.AddLog(text);
    }
}

void TTransForm::ShowUserMessage(const QString& text) {
    if (FEnv.MessageBox) {
        FEnv.MessageBox(text);
    } else {
        ui::ShowUserMessage(this, text);
    }
}

void TTransForm::ShowError(const QString& text) {
    if (FEnv.ErrorBox) {
        FEnv.ErrorBox(text);
    } else {
        ui::ShowErrorBox(this, text);
    }
}

bool TTransForm::AskOverwrite(const QString& path) {
    QMessageBox box(QMessageBox::Warning, QGuiApplication::applicationDisplayName(),
                    path + U(tt::kOverwrite), QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

}  // namespace vox
