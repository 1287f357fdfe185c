#include "ui/SettingSecurityPage.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "net/Tls.h"

namespace vox {

TSettingSecurityPage::TSettingSecurityPage(const TSettings& live, const std::string& fingerprint,
                                           QWidget* parent)
    : TSettingPage(parent) {
    setObjectName(QStringLiteral("SecurityPage"));
    auto* layout = new QVBoxLayout(this);
    auto* caption =
        new QLabel(QStringLiteral("自分の鍵の指紋（相手と照らし合わせるときに使います）："), this);
    FingerprintEdit = new QLineEdit(this);
    FingerprintEdit->setObjectName(QStringLiteral("OwnFingerprint"));
    FingerprintEdit->setAccessibleName(QStringLiteral("自分の鍵の指紋"));
    FingerprintEdit->setReadOnly(true);
    FingerprintEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    FingerprintEdit->setText(fingerprint.empty()
                                 ? QStringLiteral("（鍵がないため暗号化していません）")
                                 : QString::fromStdString(GroupedFingerprint(fingerprint)));
    FingerprintEdit->setCursorPosition(0);
    caption->setBuddy(FingerprintEdit);
    RefuseCheckBox =
        new QCheckBox(QStringLiteral("暗号化に対応していない相手との接続を拒否する(&R)"), this);
    RefuseCheckBox->setObjectName(QStringLiteral("RefuseUnencrypted"));
    RefuseCheckBox->setChecked(live.RefuseUnencrypted);
    auto* note =
        new QLabel(QStringLiteral("古い版のぼくしれんとは暗号化なしで接続します。チェックすると、"
                                  "そうした相手とは接続できなくなります。"),
                   this);
    note->setWordWrap(true);
    layout->addWidget(caption);
    layout->addWidget(FingerprintEdit);
    layout->addSpacing(8);
    layout->addWidget(RefuseCheckBox);
    layout->addWidget(note);
    layout->addStretch(1);
}

QString TSettingSecurityPage::Title() const {
    return QStringLiteral("暗号化");
}

bool TSettingSecurityPage::Changed(const TSettings& live) const {
    return RefuseCheckBox->isChecked() != live.RefuseUnencrypted;
}

void TSettingSecurityPage::Apply(TSettings& live, const std::string& iniFileName) {
    WriteRefuseUnencrypted(iniFileName, RefuseCheckBox->isChecked());
    live.RefuseUnencrypted = RefuseCheckBox->isChecked();
}

}  // namespace vox
