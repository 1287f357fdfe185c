// A page of the settings dialog beside the basic one (ports, name, pass phrase). Each page
// loads its controls from the live settings when it is made and keeps them until OK.
#pragma once

#include <QString>
#include <QWidget>
#include <string>

#include "settings/Settings.h"

namespace vox {

class TSettingPage : public QWidget {
  public:
    explicit TSettingPage(QWidget* parent = nullptr) : QWidget(parent) {}

    // The tab's caption.
    virtual QString Title() const = 0;
    // Whether the controls hold something that differs from the live settings.
    virtual bool Changed(const TSettings& live) const = 0;
    // A message that refuses OK while the dialog stays open, or empty when the controls are
    // fine. Asked only of a changed page.
    virtual QString Check() const { return {}; }
    // The controls into the live settings and the settings file; throws the file's error.
    // Called only for a changed page, after every check passed.
    virtual void Apply(TSettings& live, const std::string& iniFileName) = 0;
};

}  // namespace vox
