#include "ui/MemberVolume.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

namespace vox {

TMemberVolume::TMemberVolume(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("MemberVolume"));
    auto* caption = new QLabel(QStringLiteral("音量："), this);
    FSlider = new QSlider(Qt::Horizontal, this);
    FSlider->setObjectName(QStringLiteral("MemberVolumeSlider"));
    FSlider->setAccessibleName(QStringLiteral("相手の音量"));
    FSlider->setRange(0, kMaxVolume);
    FSlider->setSingleStep(5);
    FSlider->setPageStep(25);
    FSlider->setTickInterval(50);
    FSlider->setTickPosition(QSlider::TicksBelow);
    FSlider->setMinimumWidth(160);
    caption->setBuddy(FSlider);
    FValue = new QLabel(this);
    FValue->setObjectName(QStringLiteral("MemberVolumeValue"));
    FValue->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("200 %")) + 4);
    FMute = new QCheckBox(QStringLiteral("ミュート"), this);
    FMute->setObjectName(QStringLiteral("MemberMute"));
    FMute->setAccessibleName(FMute->text());

    auto* row = new QHBoxLayout;
    row->addWidget(caption);
    row->addWidget(FSlider, 1);
    row->addWidget(FValue);
    auto* all = new QVBoxLayout(this);
    all->setContentsMargins(8, 4, 8, 4);
    all->addLayout(row);
    all->addWidget(FMute);

    connect(FSlider, &QSlider::valueChanged, this, [this] {
        ShowValue();
        if (!FLoading) {
            emit Changed();
        }
    });
    connect(FMute, &QCheckBox::toggled, this, [this] {
        ShowValue();
        if (!FLoading) {
            emit Changed();
        }
    });
    ShowValue();
}

void TMemberVolume::SetVolume(const TPartnerVolume& Volume) {
    FLoading = true;
    FSlider->setValue(Volume.Volume);
    FMute->setChecked(Volume.Mute);
    FLoading = false;
    ShowValue();
}

TPartnerVolume TMemberVolume::Volume() const {
    return {FSlider->value(), FMute->isChecked()};
}

void TMemberVolume::ShowValue() {
    FValue->setText(QStringLiteral("%1 %").arg(FSlider->value()));
    FSlider->setEnabled(!FMute->isChecked());
}

}  // namespace vox
