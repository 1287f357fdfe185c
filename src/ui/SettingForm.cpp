#include "ui/SettingForm.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>
#include <exception>
#include <optional>
#include <vector>

#include "platform/Cp932.h"
#include "platform/IniFile.h"
#include "protocol/ConnectionCore.h"
#include "ui/DialogMessages.h"
#include "ui/SettingPage.h"

namespace vox {

namespace {

// The ports the lists suggest; any other whole number may be typed.
constexpr int kFirstSuggestedPort = 9911;
constexpr int kLastSuggestedPort = 9920;

QString Utf8(const std::string& cp932) {
    return QString::fromStdString(Cp932ToUtf8(cp932));
}

std::string Cp932(const QString& text) {
    return Utf8ToCp932(text.toStdString());
}

bool IsLoopback(const in_addr& addr) {
    return (ntohl(addr.s_addr) >> 24) == 127;
}

std::string Dotted(const in_addr& addr) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

// The first IPv4 address of an interface that is up and not loopback.
std::optional<in_addr> FirstInterfaceAddress() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::optional<in_addr> found;
    for (const ifaddrs* it = list; it != nullptr && !found; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET ||
            (it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        const in_addr addr = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr;
        if (!IsLoopback(addr)) {
            found = addr;
        }
    }
    freeifaddrs(list);
    return found;
}

// The ports a TCP listener can open.
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

// The number a port field spells, blanks around it allowed; decimal, or hexadecimal after
// "0x".
std::optional<int> PortOf(const QString& text) {
    return ParseIniInteger(text.trimmed().toStdString());
}

bool IsPort(const std::optional<int>& port) {
    return port && *port >= kLowestPort && *port <= kHighestPort;
}

void FillPortList(QComboBox* box) {
    for (int port = kFirstSuggestedPort; port <= kLastSuggestedPort; ++port) {
        box->addItem(QString::number(port));
    }
}

}  // namespace

TLocalHostIdentity LookUpLocalHost() {
    TLocalHostIdentity identity;
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        name[0] = '\0';
    }
    identity.HostName = name;

    std::vector<in_addr> looked;
    if (name[0] != '\0') {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) == 0 && found != nullptr) {
            if (found->ai_canonname != nullptr && found->ai_canonname[0] != '\0') {
                identity.HostName = found->ai_canonname;
            }
            for (const addrinfo* it = found; it != nullptr; it = it->ai_next) {
                looked.push_back(reinterpret_cast<const sockaddr_in*>(it->ai_addr)->sin_addr);
            }
        }
        if (found != nullptr) {
            freeaddrinfo(found);
        }
    }
    for (const in_addr& addr : looked) {
        if (!IsLoopback(addr)) {
            identity.Address = Dotted(addr);
            return identity;
        }
    }
    if (const auto addr = FirstInterfaceAddress()) {
        identity.Address = Dotted(*addr);
    } else if (!looked.empty()) {
        identity.Address = Dotted(looked.front());
    }
    return identity;
}

TSettingForm::TSettingForm(QWidget* owner, TConnectionCore& core, TSettings& live,
                           std::string iniFileName)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint),
      FCore(core),
      FLive(live),
      FIniFileName(std::move(iniFileName)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("SettingForm"));
    setWindowTitle(QStringLiteral("設定"));

    auto makeLabel = [this](const char* name, const QString& text) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromLatin1(name));
        return label;
    };
    auto makePortBox = [this](const char* name, QLabel* label) {
        auto* box = new QComboBox(this);
        box->setObjectName(QString::fromLatin1(name));
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        FillPortList(box);
        box->setAccessibleName(ui::FieldNameOf(label->text()));
        label->setBuddy(box);
        return box;
    };
    auto makeEdit = [this](const char* name, QLabel* label) {
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        if (label != nullptr) {
            edit->setAccessibleName(ui::FieldNameOf(label->text()));
            label->setBuddy(edit);
        }
        return edit;
    };

    Label1 = makeLabel("Label1", QStringLiteral("会話で使うポート："));
    ComboBox1 = makePortBox("ComboBox1", Label1);
    Label3 = makeLabel("Label3", QStringLiteral("ファイル転送ポート："));
    ComboBox2 = makePortBox("ComboBox2", Label3);

    PassCheckBox =
        new QCheckBox(QStringLiteral("このＰＣに接続するときにパスフレーズでチェックする"), this);
    PassCheckBox->setObjectName(QStringLiteral("PassCheckBox"));
    PassCheckBox->setAccessibleName(PassCheckBox->text());
    PassPhraseEdit = makeEdit("PassPhraseEdit", nullptr);
    ui::MakePassPhraseField(PassPhraseEdit);
    PassPhraseEdit->setAccessibleName(QStringLiteral("パスフレーズ"));

    Label2 = makeLabel("Label2", QStringLiteral("相手に通知する自分の名前："));
    MyNameEdit = makeEdit("MyNameEdit", Label2);
    HostNameLabel = makeLabel("HostNameLabel", QStringLiteral("このＰＣの名前："));
    HostNameEdit = makeEdit("HostNameEdit", HostNameLabel);
    HostNameEdit->setReadOnly(true);
    AddressLabel = makeLabel("AddressLabel", QStringLiteral("このＰＣのアドレス："));
    AddressEdit = makeEdit("AddressEdit", AddressLabel);
    AddressEdit->setReadOnly(true);

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setAccessibleName(OKBtn->text());
    OKBtn->setDefault(true);
    CloseBtn = new QPushButton(QStringLiteral("閉じる"), this);
    CloseBtn->setObjectName(QStringLiteral("CloseBtn"));
    CloseBtn->setAccessibleName(CloseBtn->text());
    CloseBtn->setAutoDefault(false);

    auto* fields = new QGridLayout;
    fields->addWidget(Label1, 0, 0);
    fields->addWidget(ComboBox1, 0, 1);
    fields->addWidget(Label3, 1, 0);
    fields->addWidget(ComboBox2, 1, 1);
    fields->addWidget(PassCheckBox, 2, 0, 1, 2);
    fields->addWidget(PassPhraseEdit, 3, 1);
    fields->addWidget(Label2, 4, 0);
    fields->addWidget(MyNameEdit, 4, 1);
    fields->addWidget(HostNameLabel, 5, 0);
    fields->addWidget(HostNameEdit, 5, 1);
    fields->addWidget(AddressLabel, 6, 0);
    fields->addWidget(AddressEdit, 6, 1);
    fields->setColumnMinimumWidth(1, 200);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKBtn);
    buttons->addWidget(CloseBtn);

    auto* basic = new QWidget;
    basic->setObjectName(QStringLiteral("BasicPage"));
    basic->setLayout(fields);
    Pages = new QTabWidget(this);
    Pages->setObjectName(QStringLiteral("Pages"));
    Pages->setTabBarAutoHide(true);
    Pages->setDocumentMode(true);
    Pages->setFocusPolicy(Qt::NoFocus);  // its tab bar takes the focus when it shows
    Pages->addTab(basic, QStringLiteral("基本"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Pages);
    layout->addSpacing(6);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(OKBtn, &QPushButton::clicked, this, &TSettingForm::OKBtnClick);
    connect(CloseBtn, &QPushButton::clicked, this, &QDialog::close);

    LoadLiveValues();
    ShowLocalHost();
}

void TSettingForm::LoadLiveValues() {
    ComboBox1->setEditText(QString::number(FLive.ConversationPort));
    ComboBox2->setEditText(QString::number(FLive.TransferPort));
    MyNameEdit->setText(Utf8(FLive.MyName));
    PassCheckBox->setChecked(FLive.UsePassPhrase);
    PassPhraseEdit->setText(Utf8(FLive.PassPhrase));
}

void TSettingForm::ShowLocalHost() {
    const TLocalHostIdentity identity = LookUpLocalHost();
    HostNameEdit->setText(QString::fromLocal8Bit(identity.HostName));
    AddressEdit->setText(QString::fromLatin1(identity.Address));
}

void TSettingForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    activateWindow();
}

void TSettingForm::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::ActivationChange) {
        return;
    }
    if (isActiveWindow()) {
        FWasActive = true;
    } else if (FWasActive && FMessageDepth == 0 && isVisible()) {
        // Another window became active: the dialog goes without applying anything.
        close();
    }
}

void TSettingForm::TakeFocusBack() {
    // Where the focus goes when a message box closes is up to the window system (it may go
    // nowhere); the dialog takes it back so that leaving it later still closes it.
    if (isVisible()) {
        activateWindow();
    }
}

void TSettingForm::Refuse(const QString& message) {
    ++FMessageDepth;
    ui::ShowUserMessage(this, message);
    --FMessageDepth;
    TakeFocusBack();
}

void TSettingForm::ShowError(const QString& message) {
    ++FMessageDepth;
    ui::ShowErrorBox(this, message);
    --FMessageDepth;
    TakeFocusBack();
}

void TSettingForm::AddPage(TSettingPage* page) {
    FPages.push_back(page);
    Pages->addTab(page, page->Title());
}

bool TSettingForm::BasicChanged() const {
    const std::optional<int> conversationPort = PortOf(ComboBox1->currentText());
    const std::optional<int> transferPort = PortOf(ComboBox2->currentText());
    return conversationPort != FLive.ConversationPort || transferPort != FLive.TransferPort ||
           Cp932(MyNameEdit->text()) != FLive.MyName ||
           PassCheckBox->isChecked() != FLive.UsePassPhrase ||
           (PassCheckBox->isChecked() && Cp932(PassPhraseEdit->text()) != FLive.PassPhrase);
}

bool TSettingForm::CheckBasic(TSettingsDialogValues& values) {
    if (FCore.IncomingCount() > 0 || FCore.OutgoingCount() > 0) {
        Refuse(QStringLiteral("接続中のホストがあるので、変更できません。"));
        return false;
    }
    if (FCore.Listening()) {
        Refuse(QStringLiteral("待ち受け中は変更できません。"));
        return false;
    }
    const std::optional<int> conversationPort = PortOf(ComboBox1->currentText());
    const std::optional<int> transferPort = PortOf(ComboBox2->currentText());
    if (!conversationPort || !transferPort) {
        Refuse(QStringLiteral("ポートは数字でなければなりません。"));
        return false;
    }
    // A port no listener can open would be taken here and fail only when listening.
    if (!IsPort(conversationPort) || !IsPort(transferPort)) {
        Refuse(QStringLiteral("ポートは %1 から %2 までの数字でなければなりません。")
                   .arg(kLowestPort)
                   .arg(kHighestPort));
        return false;
    }
    if (*conversationPort == *transferPort) {
        Refuse(QStringLiteral("会話用ポートと転送用ポートが同じではいけません。"));
        return false;
    }
    values.ConversationPort = *conversationPort;
    values.TransferPort = *transferPort;
    values.MyName = Cp932(MyNameEdit->text());
    values.UsePassPhrase = PassCheckBox->isChecked();
    values.PassPhrase = Cp932(PassPhraseEdit->text());
    return true;
}

void TSettingForm::OKBtnClick() {
    std::vector<TSettingPage*> changed;
    for (TSettingPage* page : FPages) {
        if (page->Changed(FLive)) {
            changed.push_back(page);
        }
    }
    for (TSettingPage* page : changed) {
        if (const QString message = page->Check(); !message.isEmpty()) {
            Pages->setCurrentWidget(page);
            Refuse(message);
            return;
        }
    }
    // The other pages' settings may change while connected or listening; the basic page's may
    // not. OK with nothing changed anywhere still says so, as it always has.
    const bool basic = BasicChanged() || changed.empty();
    TSettingsDialogValues values;
    if (basic) {
        Pages->setCurrentIndex(0);
    }
    if (basic && !CheckBasic(values)) {
        return;
    }
    try {
        for (TSettingPage* page : changed) {
            page->Apply(FLive, FIniFileName);
        }
        if (basic) {
            ApplySettingsDialog(FIniFileName, FLive, values);
        }
    } catch (const std::exception& e) {
        // What was applied before the failing write stays applied; the dialog stays open.
        ShowError(QString::fromUtf8(e.what()));
        emit Applied();
        return;
    }
    emit Applied();
    close();
}

}  // namespace vox
