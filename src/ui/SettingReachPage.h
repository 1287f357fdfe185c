// The settings dialog's "接続先" page: whether the program opens its ports on the home router,
// and the addresses partners elsewhere should dial (the router's external address with the
// port it forwards, this machine's global IPv6 addresses), each with a copy button.
#pragma once

#include <functional>

#include "ui/ReachForm.h"
#include "ui/SettingPage.h"

class QCheckBox;

namespace vox {

class TSettingReachPage : public TSettingPage {
    Q_OBJECT

  public:
    static inline const QString kTitle = QStringLiteral("接続先");

    // facts: as for TReachForm, called now and on 更新 on the window thread.
    TSettingReachPage(const TSettings& live, std::function<TReachFacts()> facts);

    QString Title() const override { return kTitle; }
    bool Changed(const TSettings& live) const override;
    void Apply(TSettings& live, const std::string& iniFileName) override;

    TReachView& View() { return *FView; }

  private:
    QCheckBox* FMapping = nullptr;
    TReachView* FView = nullptr;
};

}  // namespace vox
