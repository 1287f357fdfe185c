#include "ui/AboutBox.h"

#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

// The build gives the project's version number (CMake's PROJECT_VERSION); a box showing a
// made-up number would be worse than no build.
#ifndef VOX_VERSION
#error "VOX_VERSION is not defined: the build must define it as the project's version"
#endif

namespace vox {

namespace {

constexpr std::string_view kLegalNotice = "Copyright (C) the Voxilen developers";

// The version values the box shows, as a version resource would hold them.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kVersionValues = {{
    {"ProductName", "ぼくしれん"},
    {"FileVersion", VOX_VERSION},
    {"LegalCopyright", kLegalNotice},
    {"Comments", "TCP/IP でお話をするソフトです。"},
}};

bool SameKey(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The size the program's picture is stretched to.
constexpr QSize kIconSize(65, 57);

}  // namespace

std::string VersionValue(std::string_view key) {
    for (const auto& [name, value] : kVersionValues) {
        if (SameKey(name, key)) {
            return std::string(value);
        }
    }
    return {};
}

TAboutBox::TAboutBox(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowCloseButtonHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("バージョン情報"));

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    ProgramIcon = new QLabel(Panel1);
    ProgramIcon->setObjectName(QStringLiteral("ProgramIcon"));
    ProgramIcon->setFixedSize(kIconSize);
    ProgramIcon->setScaledContents(true);
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) {
        icon = style()->standardIcon(QStyle::SP_MediaVolume);
    }
    ProgramIcon->setPixmap(icon.pixmap(kIconSize));
    ProgramIcon->setAccessibleName(QStringLiteral("プログラムのアイコン"));

    // A caption and the value it names; the value is read as "caption: value".
    auto makePair = [this](const char* captionName, const QString& caption, const char* valueName,
                           QLabel*& captionLabel, QLabel*& valueLabel) {
        captionLabel = new QLabel(caption, Panel1);
        captionLabel->setObjectName(QString::fromLatin1(captionName));
        valueLabel = new QLabel(Panel1);
        valueLabel->setObjectName(QString::fromLatin1(valueName));
        valueLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
        valueLabel->setAccessibleName(caption);
    };
    makePair("ProductName", QStringLiteral("プロダクト名"), "lblProductName", ProductName,
             lblProductName);
    makePair("Version", QStringLiteral("バージョン"), "lblFileVersion", Version, lblFileVersion);
    makePair("Copyright", QStringLiteral("著作権表記"), "lblLegalCopyRight", Copyright,
             lblLegalCopyRight);
    makePair("Comments", QStringLiteral("コメント"), "lblComments", Comments, lblComments);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setAccessibleName(OKButton->text());
    OKButton->setDefault(true);

    auto* values = new QGridLayout;
    values->setHorizontalSpacing(12);
    values->setVerticalSpacing(8);
    const std::array<std::pair<QLabel*, QLabel*>, 4> rows = {{{ProductName, lblProductName},
                                                              {Version, lblFileVersion},
                                                              {Copyright, lblLegalCopyRight},
                                                              {Comments, lblComments}}};
    for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
        values->addWidget(rows[row].first, row, 0, Qt::AlignLeft | Qt::AlignTop);
        values->addWidget(rows[row].second, row, 1, Qt::AlignLeft | Qt::AlignTop);
    }
    values->setColumnStretch(1, 1);

    auto* panelLayout = new QHBoxLayout(Panel1);
    panelLayout->setContentsMargins(12, 12, 12, 12);
    panelLayout->setSpacing(16);
    panelLayout->addWidget(ProgramIcon, 0, Qt::AlignTop);
    panelLayout->addLayout(values, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKButton);
    buttons->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Panel1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(OKButton, &QPushButton::clicked, this, &QDialog::close);

    FormCreate();
}

void TAboutBox::FormCreate() {
    lblProductName->setText(QString::fromStdString(VersionValue("ProductName")));
    lblFileVersion->setText(QString::fromStdString(VersionValue("FileVersion")));
    lblLegalCopyRight->setText(QString::fromStdString(VersionValue("LegalCopyRight")));
    lblComments->setText(QString::fromStdString(VersionValue("Comments")));
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!FCentred) {
        FCentred = true;
        if (const QScreen* where = screen()) {
            move(where->availableGeometry().center() - frameGeometry().center() + pos());
        }
    }
    activateWindow();
}

void TAboutBox::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() != QEvent::ActivationChange) {
        return;
    }
    if (isActiveWindow()) {
        FWasActive = true;
    } else if (FWasActive && isVisible()) {
        close();  // another window became active
    }
}

}  // namespace vox
