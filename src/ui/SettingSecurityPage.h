// The settings dialog's page on encryption: the own key's fingerprint, for partners to compare,
// and whether partners without encryption are refused.
#pragma once

#include <string>

#include "ui/SettingPage.h"

class QCheckBox;
class QLineEdit;

namespace vox {

class TSettingSecurityPage : public TSettingPage {
  public:
    // fingerprint: the own key's (empty when the program runs without keys).
    TSettingSecurityPage(const TSettings& live, const std::string& fingerprint,
                         QWidget* parent = nullptr);

    QString Title() const override;
    bool Changed(const TSettings& live) const override;
    void Apply(TSettings& live, const std::string& iniFileName) override;

  private:
    QLineEdit* FingerprintEdit;
    QCheckBox* RefuseCheckBox;
};

}  // namespace vox
