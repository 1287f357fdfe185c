// The settings dialog: the two ports, the own name and the pass-phrase protection of incoming
// calls, plus this computer's name and address to tell a partner, on its first page; further
// pages (TSettingPage) in tabs beside it. Not modal; it closes as soon as another window
// becomes active and is deleted when it closes.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "settings/Settings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace vox {

class TConnectionCore;
class TSettingPage;

// This computer's name and IPv4 address as a partner would use them.
struct TLocalHostIdentity {
    std::string HostName;  // empty when the system gives no name
    std::string Address;   // dotted; empty when no IPv4 address is known
};

// The official name of this computer's host name and an address for it. The name's look-up
// often gives only a loopback address (127.0.1.1 from /etc/hosts), which is no use to a
// partner: the first address of the look-up that is not loopback is taken, else the first
// non-loopback IPv4 address of an interface that is up, else the look-up's first address.
// When the look-up fails the host name is the system's own name as it stands.
TLocalHostIdentity LookUpLocalHost();

class TSettingForm : public QDialog {
    Q_OBJECT

  public:
    // live: the main window's settings, changed on OK; iniFileName: the settings file.
    TSettingForm(QWidget* owner, TConnectionCore& core, TSettings& live, std::string iniFileName);

    // Adds a page as a tab after the others; the dialog owns it. The tabs show once there is
    // more than the basic page.
    void AddPage(TSettingPage* page);

  signals:
    // OK applied the values to the live settings (the own name may have changed).
    void Applied();

  protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // The controls; each carries its field name as objectName.
    QLabel* Label1;
    QComboBox* ComboBox1;  // conversation port
    QLabel* Label3;
    QComboBox* ComboBox2;  // transfer port
    QCheckBox* PassCheckBox;
    QLineEdit* PassPhraseEdit;
    QLabel* Label2;
    QLineEdit* MyNameEdit;
    QLabel* HostNameLabel;
    QLineEdit* HostNameEdit;
    QLabel* AddressLabel;
    QLineEdit* AddressEdit;
    QPushButton* OKBtn;
    QPushButton* CloseBtn;
    QTabWidget* Pages;
    std::vector<TSettingPage*> FPages;

    // The live settings into the controls, once: a message box that takes and gives back
    // the focus must not undo what the user typed.
    void LoadLiveValues();
    void ShowLocalHost();
    // Whether the basic page's controls differ from the live settings.
    bool BasicChanged() const;
    // The basic page's checks in their order; refuses and returns false on the first that fails.
    bool CheckBasic(TSettingsDialogValues& values);
    void OKBtnClick();
    // Beeps and shows a user error; the dialog stays open meanwhile.
    void Refuse(const QString& message);
    void ShowError(const QString& message);
    void TakeFocusBack();

    TConnectionCore& FCore;
    TSettings& FLive;
    const std::string FIniFileName;
    bool FWasActive = false;
    // A message box of this dialog is up: losing the focus to it does not close the dialog.
    int FMessageDepth = 0;
};

}  // namespace vox
