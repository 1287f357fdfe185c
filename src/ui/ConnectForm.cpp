#include "ui/ConnectForm.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "net/Address.h"
#include "platform/Cp932.h"
#include "protocol/ConnectionCore.h"
#include "ui/DialogMessages.h"

namespace vox {

namespace {

QString Utf8(const std::string& cp932) {
    return QString::fromStdString(Cp932ToUtf8(cp932));
}

std::string Cp932(const QString& text) {
    return Utf8ToCp932(text.toStdString());
}

constexpr Qt::WindowFlags kDialogFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

}  // namespace

TConnectForm::TConnectForm(QWidget* owner, TConnectionCore& core, const TSettings& live,
                           std::string iniFileName)
    : QDialog(owner, kDialogFlags),
      FDialogMode(kConnectMode),
      FCore(&core),
      FLive(&live),
      FIniFileName(std::move(iniFileName)) {
    CreateControls();
    SetCaptions();
    // Set up once: a dialog that stays open after a message keeps what the user typed.
    CommentEdit->clear();
    PartnerComboBox->clear();
    try {
        for (const std::string& name : ReadPartnerNames(FIniFileName)) {
            PartnerComboBox->addItem(Utf8(name));
        }
    } catch (const std::exception&) {
        // An unreadable settings file reads as empty: no history to offer.
    }
    PartnerComboBox->setCurrentIndex(-1);
    PartnerComboBox->setEditText(QString());
    AddressEdit->clear();
    HostNameEdit->clear();
    // Typing and choosing from the list both change the edit text.
    connect(PartnerComboBox, &QComboBox::editTextChanged, this,
            &TConnectForm::PartnerComboBoxChange);
}

TConnectForm::TConnectForm(QWidget* owner, const TIncomingCall& call, std::uint32_t timeoutMs)
    : QDialog(owner, kDialogFlags), FDialogMode(kIncomingMode) {
    CreateControls();
    SetCaptions();
    AddressEdit->setText(Utf8(call.Address));
    HostNameEdit->setText(Utf8(call.HostName));
    PartnerComboBox->clear();
    PartnerComboBox->setEditText(Utf8(call.PartnerName));
    CommentEdit->setText(Utf8(call.Comment));
    // The caller's details are shown, not edited: the name as well, so that nothing here
    // reads the history and overwrites the caller's address with a remembered one.
    PartnerComboBox->lineEdit()->setReadOnly(true);
    AddressEdit->setReadOnly(true);
    HostNameEdit->setReadOnly(true);
    PassEdit->setReadOnly(true);
    CommentEdit->setReadOnly(true);
    TimeOutTimer->setInterval(static_cast<int>(std::min<std::uint32_t>(timeoutMs, INT32_MAX)));
}

TConnectForm::~TConnectForm() {
    if (FCall != 0) {
        FCore->CancelCall(FCall);
    }
}

int TConnectForm::Connect(QWidget* owner, TConnectionCore& core, const TSettings& live,
                          const std::string& iniFileName) {
    TConnectForm form(owner, core, live, iniFileName);
    return form.exec();
}

int TConnectForm::AskIncomingCall(QWidget* owner, const TIncomingCall& call,
                                  std::uint32_t timeoutMs) {
    // On the heap and watched: closing the owner while the call is asked deletes the dialog.
    QPointer<TConnectForm> form = new TConnectForm(owner, call, timeoutMs);
    const int result = form->exec();
    if (form.isNull()) {
        return cdRefused;
    }
    delete form.data();
    return result == cdAccepted || result == cdRefused ? result : cdTimedOut;
}

void TConnectForm::CreateControls() {
    setObjectName(QStringLiteral("ConnectForm"));

    auto makeLabel = [this](const char* name, const QString& text) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        return label;
    };
    auto makeEdit = [this](const char* name, QLabel* label) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        label->setBuddy(edit);
        return edit;
    };

    Label2 = makeLabel("Label2", QStringLiteral("相手の名前："));
    PartnerComboBox = new QComboBox(this);
    PartnerComboBox->setObjectName(QStringLiteral("PartnerComboBox"));
    PartnerComboBox->setEditable(true);
    PartnerComboBox->setInsertPolicy(QComboBox::NoInsert);
    Label2->setBuddy(PartnerComboBox);
    AddressLabel = makeLabel("AddressLabel", QString());
    AddressEdit = makeEdit("AddressEdit", AddressLabel);
    HostNameLabel = makeLabel("HostNameLabel", QString());
    HostNameEdit = makeEdit("HostNameEdit", HostNameLabel);
    Label1 = makeLabel("Label1", QStringLiteral("パスフレーズ（接続にパスが必要なときのみ）："));
    PassEdit = makeEdit("PassEdit", Label1);
    ui::MakePassPhraseField(PassEdit);
    PassEdit->setToolTip(QStringLiteral("空白が含まれていても大丈夫"));
    PassEdit->setAccessibleDescription(PassEdit->toolTip());
    CommentLabel = makeLabel("CommentLabel", QStringLiteral("コメント："));
    CommentEdit = makeEdit("CommentEdit", CommentLabel);

    OKBitBtn = new QPushButton(this);
    OKBitBtn->setObjectName(QStringLiteral("OKBitBtn"));
    OKBitBtn->setDefault(true);
    CancelBitBtn = new QPushButton(this);
    CancelBitBtn->setObjectName(QStringLiteral("CancelBitBtn"));
    CancelBitBtn->setAutoDefault(false);
    StatusLabel = makeLabel("StatusLabel", QString());

    TimeOutTimer = new QTimer(this);
    TimeOutTimer->setObjectName(QStringLiteral("TimeOutTimer"));
    TimeOutTimer->setSingleShot(true);
    TimeOutTimer->setInterval(static_cast<int>(kCallDecisionLimitMs));

    auto* fields = new QVBoxLayout;
    fields->setSpacing(2);
    const auto addPair = [fields](QLabel* label, QWidget* field) {
        fields->addWidget(label);
        fields->addWidget(field);
        fields->addSpacing(6);
    };
    addPair(Label2, PartnerComboBox);
    addPair(AddressLabel, AddressEdit);
    addPair(HostNameLabel, HostNameEdit);
    addPair(Label1, PassEdit);
    addPair(CommentLabel, CommentEdit);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(StatusLabel);
    buttons->addStretch();
    buttons->addWidget(OKBitBtn);
    buttons->addWidget(CancelBitBtn);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    setMinimumWidth(360);

    connect(OKBitBtn, &QPushButton::clicked, this, &TConnectForm::OKBitBtnClick);
    connect(CancelBitBtn, &QPushButton::clicked, this, &TConnectForm::reject);
    connect(TimeOutTimer, &QTimer::timeout, this, &TConnectForm::TimeOutTimerTimer);
}

void TConnectForm::SetCaptions() {
    const bool incoming = FDialogMode == kIncomingMode;
    setWindowTitle(incoming ? QStringLiteral("接続要求を受け付けました。")
                            : QStringLiteral("接続先を記入してください。"));
    OKBitBtn->setText(QStringLiteral("接続"));
    CancelBitBtn->setText(incoming ? QStringLiteral("拒否") : QStringLiteral("キャンセル"));
    AddressLabel->setText(incoming ? QStringLiteral("接続要求者のアドレス：")
                                   : QStringLiteral("接続先のアドレス："));
    HostNameLabel->setText(incoming ? QStringLiteral("接続要求者のＰＣの名前")
                                    : QStringLiteral("接続先のＰＣの名前"));

    OKBitBtn->setAccessibleName(OKBitBtn->text());
    CancelBitBtn->setAccessibleName(CancelBitBtn->text());
    PartnerComboBox->setAccessibleName(ui::FieldNameOf(Label2->text()));
    AddressEdit->setAccessibleName(ui::FieldNameOf(AddressLabel->text()));
    HostNameEdit->setAccessibleName(ui::FieldNameOf(HostNameLabel->text()));
    PassEdit->setAccessibleName(ui::FieldNameOf(Label1->text()));
    CommentEdit->setAccessibleName(ui::FieldNameOf(CommentLabel->text()));
}

void TConnectForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The time limit runs from the first showing until the dialog closes.
    if (FDialogMode == kIncomingMode && !FTimerStarted) {
        FTimerStarted = true;
        TimeOutTimer->start();
    }
}

void TConnectForm::PartnerComboBoxChange(const QString& text) {
    std::string hostName;
    std::string address;
    int port = 0;
    try {
        if (!LookUpPartner(FIniFileName, Cp932(text), hostName, address, &port)) {
            return;
        }
    } catch (const std::exception&) {
        return;  // an unreadable file remembers nobody
    }
    // A partner on a port of its own shows as "host:port", as it was typed.
    auto withPort = [port](const std::string& host) {
        return port == 0 || host.empty() ? host : JoinHostPort(host, port);
    };
    HostNameEdit->setText(Utf8(withPort(hostName)));
    AddressEdit->setText(Utf8(withPort(address)));
}

void TConnectForm::reject() {
    if (FCall != 0) {
        FCore->CancelCall(FCall);
        SetCalling(0);
    }
    done(cdRefused);
}

void TConnectForm::TimeOutTimerTimer() {
    done(cdTimedOut);
}

void TConnectForm::OKBitBtnClick() {
    if (FDialogMode != kConnectMode) {
        done(cdAccepted);
        return;
    }
    ConnectOK();
}

void TConnectForm::Refuse(const QString& message) {
    ui::ShowUserMessage(this, message);
}

void TConnectForm::ConnectOK() {
    const QString partnerName = PartnerComboBox->currentText();
    if (partnerName.isEmpty()) {
        Refuse(QStringLiteral("接続相手の名前が記入されていません。"));
        return;
    }
    if (FLive->MyName.empty()) {
        Refuse(QStringLiteral("あなたの名前が記入されていません。"));
        return;
    }
    // Blanks around a host name or address would only make the look-up fail.
    const QString hostName = HostNameEdit->text().trimmed();
    const QString address = AddressEdit->text().trimmed();
    // Either field takes "host", "host:port", "[IPv6]:port" or a bare IPv6 address; a text
    // that is none of these is refused before anything is remembered or dialled.
    TDialTarget hostTarget;
    TDialTarget addressTarget;
    for (const auto& [text, target] :
         {std::pair{hostName, &hostTarget}, std::pair{address, &addressTarget}}) {
        if (text.isEmpty()) {
            continue;
        }
        const std::string error = ParseDialTarget(Cp932(text), FLive->ConversationPort, *target);
        if (!error.empty()) {
            Refuse(QString::fromUtf8(error));
            return;
        }
    }
    const TDialTarget& dialled = hostName.isEmpty() ? addressTarget : hostTarget;
    try {
        RememberPartner(FIniFileName, Cp932(partnerName), hostTarget.Host, addressTarget.Host,
                        Cp932(PassEdit->text()), dialled.PortGiven ? dialled.Port : 0);
    } catch (const std::exception& e) {
        ui::ShowErrorBox(this, QString::fromUtf8(e.what()));
        return;
    }
    if (hostName.isEmpty() && address.isEmpty()) {
        Refuse(QStringLiteral("接続先のホスト名が入力されていません。"));
        return;
    }

    TCallRequest request;
    request.HostName = hostTarget.Host;  // used in preference to the address
    request.Address = addressTarget.Host;
    request.Port = dialled.Port;
    request.MyName = FLive->MyName;
    request.Comment = Cp932(CommentEdit->text());
    request.PartnerName = Cp932(partnerName);
    request.PassPhrase = Cp932(PassEdit->text());
    FCallTarget = hostName.isEmpty() ? address : hostName;
    FDialledText = Utf8(JoinHostPort(dialled.Host, dialled.Port));
    try {
        SetCalling(
            FCore->Call(request, [this](const TCallOutcome& outcome) { CallEnded(outcome); }));
    } catch (const std::exception& e) {
        ui::ShowErrorBox(this, QString::fromUtf8(e.what()));
    }
}

QString TConnectForm::CallFailureText(const QString& dialled, const TCallOutcome& outcome) {
    return dialled + QStringLiteral(" に接続できませんでした。\n") +
           QString::fromStdString(PlainConnectError(outcome.ErrorCode, outcome.ErrorApi)) +
           QStringLiteral("\n（") + QString::fromUtf8(outcome.Error) + QStringLiteral("）");
}

void TConnectForm::SetCalling(TCallId call) {
    FCall = call;
    OKBitBtn->setEnabled(call == 0);
    StatusLabel->setText(call != 0 ? kCallingText : QString());
}

void TConnectForm::CallEnded(const TCallOutcome& outcome) {
    SetCalling(0);
    if (!outcome.Connected) {
        // Nobody answered or the name is unknown; the dialog stays for another try.
        ui::ShowErrorBox(this, CallFailureText(FDialledText, outcome));
        return;
    }
    FCore->Ui().AddLog(Cp932(FCallTarget + QStringLiteral(" に接続を試みています。")));
    done(cdAccepted);
}

}  // namespace vox
