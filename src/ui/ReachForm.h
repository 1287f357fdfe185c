// "自分の接続先": what partners elsewhere should dial to reach this program, each with a
// button that copies it. Not modal; deleted when it closes. The same rows (TReachView) make a
// page of the settings dialog.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "portmap/PortMapper.h"

class QGridLayout;
class QLabel;
class QPushButton;

namespace vox {

// What the view shows; read again by 更新.
struct TReachFacts {
    bool Listening = false;
    bool MappingOn = true;
    int ConversationPort = 0;
    int TransferPort = 0;
    TMappingState Mapping;
    std::vector<std::string> GlobalIpv6;
    std::string LanAddress;  // this machine's LAN IPv4 address, for partners nearby
};

// The addresses with their copy buttons, a note when the router gives none, what to forward
// by hand, and 更新.
class TReachView : public QWidget {
    Q_OBJECT

  public:
    static inline const QString kCopyText = QStringLiteral("コピー");

    // facts: called now and on 更新, on this (the window) thread.
    TReachView(QWidget* parent, std::function<TReachFacts()> facts);

    // The texts offered for copying, in the order shown (for tests).
    const std::vector<QString>& Offered() const { return FOffered; }
    // Reads the facts again (更新).
    void Refresh();

  private:
    void AddRow(const QString& kind, const QString& dial);
    void AddNote(const QString& text);

    std::function<TReachFacts()> FFacts;
    QGridLayout* FRows = nullptr;
    QWidget* FRowsHost = nullptr;
    QLabel* FFooter = nullptr;
    std::vector<QString> FOffered;
    int FRowCount = 0;
};

class TReachForm : public QDialog {
    Q_OBJECT

  public:
    static inline const QString kTitle = QStringLiteral("自分の接続先");
    static inline const QString kCopyText = TReachView::kCopyText;

    // facts: called now and on 更新, on this (the window) thread.
    TReachForm(QWidget* owner, std::function<TReachFacts()> facts);

    // The texts offered for copying, in the order shown (for tests).
    const std::vector<QString>& Offered() const { return FView->Offered(); }

  private:
    TReachView* FView = nullptr;
};

}  // namespace vox
