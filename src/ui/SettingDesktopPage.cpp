#include "ui/SettingDesktopPage.h"

#include <QCheckBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/GlobalKey.h"

namespace vox {

namespace {

const QString kNoKey = QStringLiteral("なし（クリックしてキーを押す）");
const QString kPressAKey = QStringLiteral("キーを押してください…（Esc でやめる）");

}  // namespace

TKeyChooser::TKeyChooser(QWidget* parent) : QPushButton(parent) {
    setObjectName(QStringLiteral("KeyChooser"));
    setAccessibleName(QStringLiteral("プッシュトゥトークキー"));
    setAutoDefault(false);
    connect(this, &QPushButton::clicked, this, [this] {
        FRecording = true;
        setText(kPressAKey);
        setAccessibleDescription(kPressAKey);
    });
    ShowKey();
}

void TKeyChooser::SetKey(const QString& key) {
    FKey = key;
    FRecording = false;
    ShowKey();
    emit KeyChanged();
}

void TKeyChooser::ShowKey() {
    setText(FKey.isEmpty() ? kNoKey : FKey);
    setAccessibleDescription(FKey.isEmpty() ? QStringLiteral("なし") : FKey);
}

void TKeyChooser::keyPressEvent(QKeyEvent* event) {
    if (!FRecording) {
        QPushButton::keyPressEvent(event);
        return;
    }
    event->accept();
    if (event->key() == Qt::Key_Escape) {
        FRecording = false;
        ShowKey();
        return;
    }
    const QString name = TGlobalKey::KeyName(*event);
    if (!name.isEmpty()) {
        SetKey(name);
    }
}

void TKeyChooser::focusOutEvent(QFocusEvent* event) {
    if (FRecording) {
        FRecording = false;
        ShowKey();
    }
    QPushButton::focusOutEvent(event);
}

TSettingDesktopPage::TSettingDesktopPage(const TSettings& live, bool trayAvailable) {
    setObjectName(QStringLiteral("SettingDesktopPage"));
    auto* keyLabel = new QLabel(QStringLiteral("プッシュトゥトークキー："), this);
    KeyChooser = new TKeyChooser(this);
    KeyChooser->SetKey(QString::fromStdString(live.PushToTalkKey));
    keyLabel->setBuddy(KeyChooser);
    ClearKeyBtn = new QPushButton(QStringLiteral("クリア"), this);
    ClearKeyBtn->setObjectName(QStringLiteral("ClearKeyBtn"));
    ClearKeyBtn->setAccessibleName(QStringLiteral("キーをクリア"));
    ClearKeyBtn->setAutoDefault(false);
    connect(ClearKeyBtn, &QPushButton::clicked, this, [this] { KeyChooser->SetKey({}); });
    auto* keyHint = new QLabel(
        QStringLiteral("このキーを押している間は、ほかのウィンドウを使っていても声を送ります。\n"
                       "コマンド Voxilen --ptt-press / --ptt-release でも同じことができます。"),
        this);
    keyHint->setWordWrap(true);

    NoticesCheckBox = new QCheckBox(
        QStringLiteral("ウィンドウが見えないとき、接続要求・メッセージ・ファイルを通知する"), this);
    NoticesCheckBox->setObjectName(QStringLiteral("NoticesCheckBox"));
    NoticesCheckBox->setChecked(live.DesktopNotices);
    TrayCheckBox = new QCheckBox(QStringLiteral("閉じるボタンでタスクトレイにしまう"), this);
    TrayCheckBox->setObjectName(QStringLiteral("TrayCheckBox"));
    TrayCheckBox->setChecked(live.CloseToTray);
    if (!trayAvailable) {
        // Without a tray a hidden window could not be got back.
        TrayCheckBox->setEnabled(false);
        TrayCheckBox->setText(TrayCheckBox->text() +
                              QStringLiteral("（このデスクトップにはタスクトレイがありません）"));
    }

    auto* keyRow = new QHBoxLayout;
    keyRow->addWidget(KeyChooser, 1);
    keyRow->addWidget(ClearKeyBtn);
    auto* all = new QVBoxLayout(this);
    all->addWidget(keyLabel);
    all->addLayout(keyRow);
    all->addWidget(keyHint);
    all->addSpacing(12);
    all->addWidget(NoticesCheckBox);
    all->addWidget(TrayCheckBox);
    all->addStretch(1);
}

TSettings TSettingDesktopPage::Values() const {
    TSettings values;
    values.PushToTalkKey = KeyChooser->Key().toStdString();
    values.DesktopNotices = NoticesCheckBox->isChecked();
    values.CloseToTray = TrayCheckBox->isChecked();
    return values;
}

bool TSettingDesktopPage::Changed(const TSettings& live) const {
    const TSettings values = Values();
    return values.PushToTalkKey != live.PushToTalkKey ||
           values.DesktopNotices != live.DesktopNotices || values.CloseToTray != live.CloseToTray;
}

void TSettingDesktopPage::Apply(TSettings& live, const std::string& iniFileName) {
    SaveDesktopSettings(iniFileName, live, Values());
}

}  // namespace vox
