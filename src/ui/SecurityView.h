// How the windows show encryption: each partner's state in the member list with its details,
// the warning when a call was refused for its keys, and the own key's fingerprint.
#pragma once

#include <QString>
#include <QStyledItemDelegate>
#include <functional>

#include "protocol/Conversation.h"
#include "protocol/ConversationUi.h"

class QListWidgetItem;
class QWidget;

namespace vox::ui {

// The item data role that holds a member's state text.
inline constexpr int kMemberStateRole = Qt::UserRole + 1;

QString SecurityStateText(const TMemberSecurity& security);
// Puts the partner's state on its member-list item: drawn beside the name, and with the check
// string and the partner's fingerprint in its tooltip (the member's details).
void ShowMemberSecurity(QListWidgetItem& item, const TMemberSecurity& security);

// Draws a member's state right-aligned in its row and the name in the room left of it.
class TMemberStateDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The warning's text for the user.
QString SecurityWarningText(const TSecurityWarning& warning);
// Shows the warning without waiting for it; for a changed key the user may accept the new
// one, which runs acceptNewKey.
void ShowSecurityWarning(QWidget* owner, const TSecurityWarning& warning,
                         const std::function<void()>& acceptNewKey);

}  // namespace vox::ui
