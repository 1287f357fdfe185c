#include "ui/SettingReachPage.h"

#include <QCheckBox>
#include <QVBoxLayout>

#include "settings/MyIniFile.h"

namespace vox {

TSettingReachPage::TSettingReachPage(const TSettings& live, std::function<TReachFacts()> facts) {
    setObjectName(QStringLiteral("SettingReachPage"));
    FMapping = new QCheckBox(
        QStringLiteral("待ち受け中はルーターのポートを自動で開く（UPnP・NAT-PMP）"), this);
    FMapping->setObjectName(QStringLiteral("PortMappingCheckBox"));
    FMapping->setChecked(live.PortMapping);
    FView = new TReachView(this, std::move(facts));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FMapping);
    layout->addWidget(FView, 1);
}

bool TSettingReachPage::Changed(const TSettings& live) const {
    return FMapping->isChecked() != live.PortMapping;
}

void TSettingReachPage::Apply(TSettings& live, const std::string& iniFileName) {
    TMyIniFile(iniFileName).WriteBool(kSectionGlobal, kKeyPortMapping, FMapping->isChecked());
    live.PortMapping = FMapping->isChecked();
}

}  // namespace vox
