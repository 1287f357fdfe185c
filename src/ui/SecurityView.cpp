#include "ui/SecurityView.h"

#include <QApplication>
#include <QFontMetrics>
#include <QListWidgetItem>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

#include "net/Tls.h"
#include "platform/Cp932.h"

namespace vox::ui {

namespace {

// Room between the name and the mark, half of it after the mark.
constexpr int kMarkPadding = 6;

// The state as a narrow member list shows it: without the brackets, and shorter where it can
// be.
QString ShortStateText(const QString& state) {
    return state == QStringLiteral("暗号化・確認済み") ? QStringLiteral("暗号化✓") : state;
}

QColor StateColour(const QString& state) {
    if (state == QStringLiteral("暗号化・確認済み")) {
        return {0, 128, 0};
    }
    if (state == QStringLiteral("暗号化")) {
        return {0, 64, 192};
    }
    return {192, 0, 0};
}

QString FromCp932(const std::string& bytes) {
    return QString::fromStdString(Cp932ToUtf8(bytes));
}

QString Grouped(const std::string& fingerprint) {
    return QString::fromStdString(GroupedFingerprint(fingerprint));
}

}  // namespace

QString SecurityStateText(const TMemberSecurity& security) {
    return security.Verified    ? QStringLiteral("暗号化・確認済み")
           : security.Encrypted ? QStringLiteral("暗号化")
                                : QStringLiteral("暗号化なし");
}

void ShowMemberSecurity(QListWidgetItem& item, const TMemberSecurity& security) {
    const QString state = SecurityStateText(security);
    item.setData(kMemberStateRole, state);
    QString details = state;
    if (security.Encrypted) {
        details += QStringLiteral("\n確認コード：%1（相手の画面と同じか、口頭で確かめてください）")
                       .arg(QString::fromStdString(security.CheckString));
        details += QStringLiteral("\n相手の鍵：%1").arg(Grouped(security.PartnerFingerprint));
    } else {
        details +=
            QStringLiteral("\n相手は暗号化に対応していません。会話は盗聴されるおそれがあります。");
    }
    item.setToolTip(details);
    item.setData(Qt::AccessibleDescriptionRole, details);
}

void TMemberStateDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    const QString state = index.data(kMemberStateRole).toString();
    if (state.isEmpty()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QFont markFont = option.font;
    markFont.setPixelSize(
        std::max(10, option.font.pixelSize() > 0 ? option.font.pixelSize() - 3 : 11));
    // The mark keeps its place at the right; the name has what is left and is cut short
    // with "…" instead of running under the mark. A list too narrow for the longest mark
    // beside a few letters of a name shows the short marks in every row, and only a row too
    // narrow even for those cuts the mark short too.
    const QFontMetrics markMetrics(markFont);
    const int width = option.rect.width();
    const bool roomy =
        markMetrics.horizontalAdvance(QStringLiteral("［暗号化・確認済み］")) + kMarkPadding <=
        width - option.fontMetrics.horizontalAdvance(QStringLiteral("あいう…"));
    const QString mark = roomy ? QStringLiteral("［%1］").arg(state) : ShortStateText(state);
    const int markRoom =
        std::max(0, std::min(markMetrics.horizontalAdvance(mark) + kMarkPadding,
                             width - option.fontMetrics.horizontalAdvance(QStringLiteral("あ…"))));

    QStyleOptionViewItem row(option);
    initStyleOption(&row, index);
    const QWidget* widget = row.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    // The selection and hover colours span the whole row, the name only its part.
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &row, painter, widget);
    row.rect.setRight(row.rect.right() - markRoom);
    style->drawControl(QStyle::CE_ItemViewItem, &row, painter, widget);

    painter->save();
    painter->setFont(markFont);
    painter->setPen((option.state & QStyle::State_Selected) != 0
                        ? option.palette.highlightedText().color()
                        : StateColour(state));
    const QRect markRect(option.rect.right() - markRoom + 1, option.rect.top(), markRoom,
                         option.rect.height());
    painter->drawText(markRect.adjusted(0, 0, -kMarkPadding / 2, 0),
                      Qt::AlignRight | Qt::AlignVCenter,
                      markMetrics.elidedText(mark, Qt::ElideRight, markRoom - kMarkPadding / 2));
    painter->restore();
}

QSize TMemberStateDelegate::sizeHint(const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    // A long name never makes the rows wider than the list (which would push the marks out of
    // sight): the name gives way instead.
    QSize hint = QStyledItemDelegate::sizeHint(option, index);
    hint.setWidth(
        std::min(hint.width(), option.fontMetrics.horizontalAdvance(QStringLiteral("あ…"))));
    return hint;
}

QString SecurityWarningText(const TSecurityWarning& warning) {
    const QString who =
        QStringLiteral("%1（%2）").arg(FromCp932(warning.PartnerName), FromCp932(warning.Address));
    switch (warning.Problem) {
        case TSecurityProblem::KeyChanged:
            return QStringLiteral(
                       "%1 の鍵が、以前に接続したときの鍵と異なります。接続を拒否しました。\n\n"
                       "別人がなりすましているおそれがあります。相手が鍵を作り直した"
                       "（設定ファイルを消した、別のパソコンに移った）ことを本人に確かめられた"
                       "場合に限り、新しい鍵を受け入れてください。\n\n"
                       "以前の鍵：%2\n新しい鍵：%3")
                .arg(who, Grouped(warning.PinnedFingerprint), Grouped(warning.NewFingerprint));
        case TSecurityProblem::PlainFromPinned:
            return QStringLiteral(
                       "%1 は以前暗号化して接続した相手ですが、今回は暗号化なしで応答しました。"
                       "接続を拒否しました。\n\n途中の経路で暗号化が妨害されているおそれがあります"
                       "。")
                .arg(who);
        case TSecurityProblem::Unencrypted:
            break;
    }
    return QStringLiteral(
               "%1 は暗号化に対応していないため、接続を拒否しました"
               "（設定で暗号化なしの相手を拒否しています）。")
        .arg(who);
}

void ShowSecurityWarning(QWidget* owner, const TSecurityWarning& warning,
                         const std::function<void()>& acceptNewKey) {
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("暗号化の警告"),
                                SecurityWarningText(warning), QMessageBox::NoButton, owner);
    box->setObjectName(QStringLiteral("SecurityWarning"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* accept = nullptr;
    if (warning.Problem == TSecurityProblem::KeyChanged && acceptNewKey) {
        accept = box->addButton(QStringLiteral("新しい鍵を受け入れる"), QMessageBox::AcceptRole);
        accept->setObjectName(QStringLiteral("AcceptNewKey"));
    }
    QPushButton* close = box->addButton(QStringLiteral("閉じる"), QMessageBox::RejectRole);
    box->setDefaultButton(close);
    QObject::connect(box, &QMessageBox::buttonClicked, box, [box, accept, acceptNewKey](auto* b) {
        if (accept != nullptr && b == accept) {
            acceptNewKey();
        }
        box->close();
    });
    box->show();
}

}  // namespace vox::ui
