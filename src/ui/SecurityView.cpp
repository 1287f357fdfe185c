#include "ui/SecurityView.h"

#include <QListWidgetItem>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>

#include "net/Tls.h"
#include "platform/Cp932.h"

namespace vox::ui {

namespace {

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
    QStyledItemDelegate::paint(painter, option, index);
    const QString state = index.data(kMemberStateRole).toString();
    if (state.isEmpty()) {
        return;
    }
    painter->save();
    QFont font = option.font;
    font.setPixelSize(std::max(10, font.pixelSize() > 0 ? font.pixelSize() - 3 : 11));
    painter->setFont(font);
    painter->setPen((option.state & QStyle::State_Selected) != 0
                        ? option.palette.highlightedText().color()
                        : StateColour(state));
    painter->drawText(option.rect.adjusted(0, 0, -4, 0), Qt::AlignRight | Qt::AlignVCenter,
                      QStringLiteral("［%1］").arg(state));
    painter->restore();
}

QSize TMemberStateDelegate::sizeHint(const QStyleOptionViewItem& option,
                                     const QModelIndex& index) const {
    return QStyledItemDelegate::sizeHint(option, index);
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
