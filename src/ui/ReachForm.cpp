#include "ui/ReachForm.h"

#include <QClipboard>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayoutItem>
#include <QPushButton>
#include <QVBoxLayout>

#include "net/Address.h"
#include "session/Reach.h"

namespace vox {

TReachView::TReachView(QWidget* parent, std::function<TReachFacts()> facts)
    : QWidget(parent), FFacts(std::move(facts)) {
    auto* intro = new QLabel(
        QStringLiteral("離れた場所の相手には、次のどれかを接続ダイアログの「接続先のアドレス」に"
                       "入力してもらってください。"),
        this);
    intro->setWordWrap(true);
    FRowsHost = new QWidget(this);
    FRows = new QGridLayout(FRowsHost);
    FRows->setContentsMargins(0, 0, 0, 0);
    FFooter = new QLabel(this);
    FFooter->setObjectName(QStringLiteral("ReachFooter"));
    FFooter->setWordWrap(true);
    auto* refresh = new QPushButton(QStringLiteral("更新"), this);
    refresh->setObjectName(QStringLiteral("RefreshBtn"));
    refresh->setAccessibleName(refresh->text());
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(refresh);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(intro);
    layout->addWidget(FRowsHost);
    layout->addWidget(FFooter);
    layout->addStretch();
    layout->addLayout(buttons);
    connect(refresh, &QPushButton::clicked, this, &TReachView::Refresh);
    Refresh();
}

TReachForm::TReachForm(QWidget* owner, std::function<TReachFacts()> facts)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("ReachForm"));
    setWindowTitle(kTitle);
    FView = new TReachView(this, std::move(facts));
    auto* close = new QPushButton(QStringLiteral("閉じる"), this);
    close->setObjectName(QStringLiteral("CloseBtn"));
    close->setAccessibleName(close->text());
    close->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FView);
    layout->addLayout(buttons);
    setMinimumWidth(460);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
}

void TReachView::AddRow(const QString& kind, const QString& dial) {
    auto* label = new QLabel(kind, FRowsHost);
    auto* value = new QLabel(dial, FRowsHost);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setObjectName(QStringLiteral("ReachAddress%1").arg(FOffered.size()));
    auto* copy = new QPushButton(kCopyText, FRowsHost);
    copy->setObjectName(QStringLiteral("CopyBtn%1").arg(FOffered.size()));
    copy->setAccessibleName(kCopyText + QStringLiteral(" ") + dial);
    connect(copy, &QPushButton::clicked, this,
            [dial] { QGuiApplication::clipboard()->setText(dial); });
    FRows->addWidget(label, FRowCount, 0);
    FRows->addWidget(value, FRowCount, 1);
    FRows->addWidget(copy, FRowCount, 2);
    ++FRowCount;
    FOffered.push_back(dial);
}

void TReachView::AddNote(const QString& text) {
    auto* note = new QLabel(text, FRowsHost);
    note->setWordWrap(true);
    FRows->addWidget(note, FRowCount, 0, 1, 3);
    ++FRowCount;
}

void TReachView::Refresh() {
    while (QLayoutItem* item = FRows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    FRowCount = 0;
    FOffered.clear();
    const TReachFacts facts = FFacts();
    const auto addresses = ReachAddresses(facts.Mapping, facts.GlobalIpv6, facts.ConversationPort);
    for (const TReachAddress& address : addresses) {
        AddRow(address.Kind == "IPv4" ? QStringLiteral("ルーター経由（IPv4）：")
                                      : QStringLiteral("IPv6："),
               QString::fromStdString(address.Dial));
    }
    if (addresses.empty() || addresses.front().Kind != "IPv4") {
        AddNote(!facts.Listening ? QStringLiteral("ルーター経由：待ち受けしていません。")
                : !facts.MappingOn ? QStringLiteral("ルーター経由：ポートを自動で開く設定が"
                                                    "オフです。")
                                   : QStringLiteral("ルーター経由：ルーターのポートは開いて"
                                                    "いません（ログを見てください）。"));
    }
    if (!facts.LanAddress.empty()) {
        AddRow(QStringLiteral("同じネットワーク内："),
               QString::fromStdString(JoinHostPort(facts.LanAddress, facts.ConversationPort)));
    }
    FFooter->setText(
        QStringLiteral("ルーターが自動でポートを開けないときは、ルーターの設定で TCP の %1 番"
                       "（会話）と %2 番（ファイル転送）をこのＰＣへ転送してください。")
            .arg(facts.ConversationPort)
            .arg(facts.TransferPort));
}

}  // namespace vox
