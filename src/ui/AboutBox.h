// The version dialog: the program's name, version, legal notice and comment. Not modal; it
// closes as soon as another window becomes active and is deleted when it closes.
#pragma once

#include <QDialog>
#include <string>
#include <string_view>

class QFrame;
class QLabel;
class QPushButton;

namespace vox {

// The program's version values, compiled in. Keys match without regard to case
// ("LegalCopyRight" finds "LegalCopyright"); an unknown key gives an empty text. UTF-8.
std::string VersionValue(std::string_view key);

class TAboutBox : public QDialog {
    Q_OBJECT

  public:
    explicit TAboutBox(QWidget* owner);

  protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void FormCreate();

    // The controls; each carries its field name as objectName.
    QFrame* Panel1 = nullptr;
    QLabel* ProgramIcon = nullptr;
    QLabel* ProductName = nullptr;
    QLabel* lblProductName = nullptr;
    QLabel* Version = nullptr;
    QLabel* lblFileVersion = nullptr;
    QLabel* Copyright = nullptr;
    QLabel* lblLegalCopyRight = nullptr;
    QLabel* Comments = nullptr;
    QLabel* lblComments = nullptr;
    QPushButton* OKButton = nullptr;

    bool FWasActive = false;
    bool FCentred = false;
};

}  // namespace vox
