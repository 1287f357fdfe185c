#include "ui/ConnectForm.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStyledItemDelegate>
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
#include "ui/ErrorAdvice.h"

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

// A remembered partner's address, kept beside its name in the history list.
constexpr int kAddressRole = Qt::UserRole + 1;

// The history list shows each partner's name with its address; choosing one puts the name
// alone in the field.
class THistoryDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

  protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const QString address = index.data(kAddressRole).toString();
        if (!address.isEmpty()) {
            option->text += QStringLiteral("　（") + address + QStringLiteral("）");
        }
    }
};

// The key of an incoming call's buttons.
bool IsAcceptKey(const QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease &&
        event->type() != QEvent::ShortcutOverride) {
        return false;
    }
    const int key = static_cast<const QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
}

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
    // Set up once: a dialog that stays open after a message, or that the user leaves for
    // another window and comes back to, keeps what the user typed.
    CommentEdit->clear();
    FillHistory();
    PartnerComboBox->setCurrentIndex(-1);
    PartnerComboBox->setEditText(QString());
    AddressEdit->clear();
    HostNameEdit->clear();
    // Typing and choosing from the list both change the edit text.
    connect(PartnerComboBox, &QComboBox::editTextChanged, this,
            &TConnectForm::PartnerComboBoxChange);
    PartnerComboBox->setItemDelegate(new THistoryDelegate(PartnerComboBox));
    // The Delete key in the open list forgets the partner under the cursor.
    PartnerComboBox->view()->installEventFilter(this);
    ForgetBtn = new QPushButton(QStringLiteral("履歴から削除"), this);
    ForgetBtn->setObjectName(QStringLiteral("ForgetBtn"));
    ForgetBtn->setAccessibleName(ForgetBtn->text());
    ForgetBtn->setAccessibleDescription(
        QStringLiteral("相手の名前に書かれた相手を、接続した相手の履歴から消します"));
    ForgetBtn->setAutoDefault(false);
    if (auto* row = qobject_cast<QHBoxLayout*>(layout()->itemAt(1)->layout())) {
        row->insertWidget(0, ForgetBtn);
    }
    connect(ForgetBtn, &QPushButton::clicked, this, &TConnectForm::ForgetChosenPartner);
    setTabOrder(CommentEdit, OKBitBtn);
    setTabOrder(OKBitBtn, CancelBitBtn);
    setTabOrder(CancelBitBtn, ForgetBtn);
}

void TConnectForm::FillHistory() {
    PartnerComboBox->clear();
    try {
        for (const std::string& name : ReadPartnerNames(FIniFileName)) {
            std::string hostName;
            std::string address;
            LookUpPartner(FIniFileName, name, hostName, address);
            PartnerComboBox->addItem(Utf8(name));
            const QString where = Utf8(address.empty() ? hostName : address);
            const int row = PartnerComboBox->count() - 1;
            PartnerComboBox->setItemData(row, where, kAddressRole);
            PartnerComboBox->setItemData(row,
                                         where.isEmpty() ? Utf8(name) : Utf8(name) + u' ' + where,
                                         Qt::AccessibleTextRole);
        }
    } catch (const std::exception&) {
        // An unreadable settings file reads as empty: no history to offer.
    }
}

void TConnectForm::ForgetChosenPartner() {
    const QString name =
        PartnerComboBox->view()->isVisible() && PartnerComboBox->view()->currentIndex().isValid()
            ? PartnerComboBox->view()->currentIndex().data().toString()
            : PartnerComboBox->currentText();
    try {
        if (!ForgetPartner(FIniFileName, Cp932(name))) {
            Refuse(QStringLiteral("「%1」は履歴にありません。").arg(name));
            return;
        }
    } catch (const std::exception& e) {
        ui::ShowErrorBox(this, QString::fromUtf8(e.what()));
        return;
    }
    const int row = PartnerComboBox->findText(name, Qt::MatchExactly);
    if (row >= 0) {
        // What the user typed stays in the field.
        const QString typed = PartnerComboBox->currentText();
        PartnerComboBox->blockSignals(true);
        PartnerComboBox->removeItem(row);
        PartnerComboBox->setCurrentIndex(-1);
        PartnerComboBox->setEditText(typed);
        PartnerComboBox->blockSignals(false);
    }
}

bool TConnectForm::eventFilter(QObject* watched, QEvent* event) {
    if (FCore != nullptr && watched == PartnerComboBox->view() &&
        event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
        ForgetChosenPartner();
        return true;
    }
    if (FDialogMode == kIncomingMode && IsAcceptKey(event) && FShownFor.isValid() &&
        FShownFor.elapsed() < static_cast<qint64>(FKeyGuardMs)) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && widget->window() == this) {
            return true;  // too soon: meant for the line being typed, not for this call
        }
    }
    return QDialog::eventFilter(watched, event);
}

TConnectForm::TConnectForm(QWidget* owner, const TIncomingCall& call, std::uint32_t timeoutMs,
                           std::uint32_t keyGuardMs)
    : QDialog(owner, kDialogFlags), FDialogMode(kIncomingMode), FKeyGuardMs(keyGuardMs) {
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
    TimeLeftTimer = new QTimer(this);
    TimeLeftTimer->setObjectName(QStringLiteral("TimeLeftTimer"));
    TimeLeftTimer->setInterval(kTimeLeftTickMs);
    connect(TimeLeftTimer, &QTimer::timeout, this, &TConnectForm::ShowTimeLeft);
    StatusLabel->setText(TimeLeftText(TimeOutTimer->interval()));
    StatusLabel->setAccessibleName(QStringLiteral("応答までの残り時間"));
    // Watches every key while the dialog is up: Return and Space are held back at first.
    qApp->installEventFilter(this);
}

QString TConnectForm::TimeLeftText(qint64 leftMs) {
    const qint64 seconds = std::max<qint64>(0, (leftMs + 999) / 1000);
    return QStringLiteral("残り %1:%2")
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void TConnectForm::ShowTimeLeft() {
    StatusLabel->setText(TimeLeftText(TimeOutTimer->remainingTime()));
    StatusLabel->setAccessibleDescription(StatusLabel->text());
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
                                  std::uint32_t timeoutMs, std::uint32_t keyGuardMs) {
    // The line being typed when the call came, with its cursor and selection. Only while the
    // program had the focus: a call answered from a desktop notice leaves the focus where the
    // user works.
    const QPointer<QWidget> focus =
        QApplication::activeWindow() != nullptr ? QApplication::focusWidget() : nullptr;
    const QPointer<QLineEdit> line = qobject_cast<QLineEdit*>(focus.data());
    int cursor = 0;
    int selectionStart = -1;
    int selectionLength = 0;
    if (line != nullptr) {
        cursor = line->cursorPosition();
        selectionStart = line->selectionStart();
        selectionLength = line->selectionLength();
    }
    // On the heap and watched: closing the owner while the call is asked deletes the dialog.
    QPointer<TConnectForm> form = new TConnectForm(owner, call, timeoutMs, keyGuardMs);
    const int result = form->exec();
    const bool gone = form.isNull();
    if (!gone) {
        delete form.data();
    }
    if (focus != nullptr && focus->isVisible()) {
        focus->activateWindow();
        focus->setFocus(Qt::OtherFocusReason);
        if (line != nullptr) {
            if (selectionStart >= 0) {
                line->setSelection(selectionStart, selectionLength);
            } else {
                line->setCursorPosition(cursor);
            }
        }
    }
    if (gone) {
        return cdRefused;
    }
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
    setWindowTitle(incoming ? kIncomingTitle : QStringLiteral("接続先を記入してください。"));
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
        TimeLeftTimer->start();
        FShownFor.start();
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
    FDialledHost = Utf8(dialled.Host);
    FDialledPort = dialled.Port;
    try {
        SetCalling(
            FCore->Call(request, [this](const TCallOutcome& outcome) { CallEnded(outcome); }));
    } catch (const std::exception& e) {
        ui::ShowErrorBox(this, QString::fromUtf8(e.what()));
    }
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
        const QString error = QString::fromUtf8(outcome.Error);
        ui::ShowErrorBox(this,
                         ui::WithAdvice(error, ui::CallAdvice(error, FDialledHost, FDialledPort)));
        return;
    }
    FCore->Ui().AddLog(Cp932(FCallTarget + QStringLiteral(" に接続を試みています。")));
    done(cdAccepted);
}

}  // namespace vox
