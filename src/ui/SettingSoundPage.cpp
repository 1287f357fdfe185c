#include "ui/SettingSoundPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <vector>

#include "platform/Cp932.h"
#include "voice/Sound.h"

namespace vox {

namespace {
// How often the microphone test's level is shown anew.
constexpr int kLevelViewMs = 100;
}  // namespace

TSettingSoundPage::TSettingSoundPage(const TSettings& live, TSession& session)
    : FSession(session), FLoaded(live.Sound) {
    setObjectName(QStringLiteral("SettingSoundPage"));
    FMicrophone = new QComboBox(this);
    FMicrophone->setObjectName(QStringLiteral("Microphone"));
    FMicrophone->setAccessibleName(QStringLiteral("マイク"));
    FSpeaker = new QComboBox(this);
    FSpeaker->setObjectName(QStringLiteral("Speaker"));
    FSpeaker->setAccessibleName(QStringLiteral("スピーカー"));
    TAudioBackend* audio = FSession.Audio();
    FillDevices(
        FMicrophone,
        audio != nullptr ? audio->Devices(TAudioDirection::Input) : std::vector<TAudioDeviceInfo>{},
        QString::fromStdString(Cp932ToUtf8(live.Sound.MicrophoneId)),
        QString::fromStdString(Cp932ToUtf8(live.Sound.Microphone)));
    FillDevices(FSpeaker,
                audio != nullptr ? audio->Devices(TAudioDirection::Output)
                                 : std::vector<TAudioDeviceInfo>{},
                QString::fromStdString(Cp932ToUtf8(live.Sound.SpeakerId)),
                QString::fromStdString(Cp932ToUtf8(live.Sound.Speaker)));
    FDeviceTimer = new QTimer(this);
    FDeviceTimer->setInterval(kDeviceListPollMs);
    connect(FDeviceTimer, &QTimer::timeout, this, [this] { RefreshDevices(); });

    FVolume = new QSlider(Qt::Horizontal, this);
    FVolume->setObjectName(QStringLiteral("OutputVolume"));
    FVolume->setAccessibleName(QStringLiteral("再生の音量"));
    FVolume->setRange(0, kMaxVolume);
    FVolume->setPageStep(25);
    FVolume->setValue(live.Sound.OutputVolume);
    auto* volumeValue = new QLabel(this);
    volumeValue->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("200 %")) + 4);
    const auto showVolume = [this, volumeValue] {
        volumeValue->setText(QStringLiteral("%1 %").arg(FVolume->value()));
    };
    connect(FVolume, &QSlider::valueChanged, this, showVolume);
    showVolume();
    auto* volumeRow = new QHBoxLayout;
    volumeRow->addWidget(FVolume, 1);
    volumeRow->addWidget(volumeValue);

    FMicTest = new QPushButton(QStringLiteral("マイクのテスト"), this);
    FMicTest->setObjectName(QStringLiteral("MicTest"));
    FMicTest->setCheckable(true);
    FMicTest->setAutoDefault(false);
    FMicTest->setToolTip(QStringLiteral("マイクの音量を表示します（相手には何も送りません）"));
    FLevel = new QProgressBar(this);
    FLevel->setObjectName(QStringLiteral("MicTestLevel"));
    FLevel->setAccessibleName(QStringLiteral("マイクの音量"));
    FLevel->setRange(0, 100);
    FLevel->setValue(0);
    FLevel->setTextVisible(false);
    auto* testRow = new QHBoxLayout;
    testRow->addWidget(FMicTest);
    testRow->addWidget(FLevel, 1);
    FLevelTimer = new QTimer(this);
    FLevelTimer->setInterval(kLevelViewMs);
    connect(FLevelTimer, &QTimer::timeout, this,
            [this] { FLevel->setValue(FSession.InputLevel()); });
    connect(FMicTest, &QPushButton::clicked, this, [this] { ToggleMicTest(); });
    const bool sound = FSession.Audio() != nullptr;
    FMicTest->setEnabled(sound);

    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("マイク："), FMicrophone);
    form->addRow(QStringLiteral("スピーカー："), FSpeaker);
    form->addRow(QStringLiteral("再生の音量："), volumeRow);
    form->addRow(QString(), testRow);
    if (!sound) {
        form->addRow(new QLabel(QStringLiteral("音声の入出力装置が見つかりません。"), this));
    }
}

TSettingSoundPage::~TSettingSoundPage() {
    FSession.StopMicTest();
}

namespace {
// The description of a listed device, without the missing mark.
constexpr int kDescriptionRole = Qt::UserRole + 1;
}  // namespace

void TSettingSoundPage::FillDevices(QComboBox* box, const std::vector<TAudioDeviceInfo>& devices,
                                    const QString& id, const QString& description) {
    struct TEntry {
        QString Text;
        QString Id;
        QString Description;
    };
    std::vector<TEntry> entries{{QStringLiteral("システムの既定"), QString(), QString()}};
    bool listed = id.isEmpty();
    for (const TAudioDeviceInfo& device : devices) {
        const QString text = QString::fromStdString(device.Description);
        const QString deviceId = QString::fromStdString(device.Id);
        entries.push_back({text, deviceId, text});
        listed = listed || deviceId == id;
    }
    if (!listed) {
        // Chosen but gone (unplugged, say): kept, so that nothing is lost unless the user
        // chooses another.
        const QString shown = description.isEmpty() ? id : description;
        entries.push_back({shown + kMissingSuffix, id, description});
    }
    bool same =
        box->count() == static_cast<int>(entries.size()) && box->currentData().toString() == id;
    for (int i = 0; same && i < box->count(); ++i) {
        same = box->itemText(i) == entries[static_cast<std::size_t>(i)].Text &&
               box->itemData(i).toString() == entries[static_cast<std::size_t>(i)].Id;
    }
    if (same) {
        return;  // an open list stays open
    }
    const QSignalBlocker quiet(box);
    box->clear();
    for (const TEntry& entry : entries) {
        box->addItem(entry.Text, entry.Id);
        box->setItemData(box->count() - 1, entry.Description, kDescriptionRole);
    }
    const int at = box->findData(id);
    box->setCurrentIndex(at < 0 ? 0 : at);
}

void TSettingSoundPage::RefreshDevices() {
    TAudioBackend* audio = FSession.Audio();
    for (QComboBox* box : {FMicrophone, FSpeaker}) {
        std::optional<std::vector<TAudioDeviceInfo>> devices =
            audio == nullptr ? std::vector<TAudioDeviceInfo>{}
                             : audio->DevicesWithin(box == FMicrophone ? TAudioDirection::Input
                                                                       : TAudioDirection::Output,
                                                    kDeviceListWaitMs);
        if (devices) {
            FillDevices(box, *devices, box->currentData().toString(),
                        box->currentData(kDescriptionRole).toString());
        }
    }
}

void TSettingSoundPage::SetDevicePollMs(int ms) {
    FDeviceTimer->setInterval(ms);
}

void TSettingSoundPage::showEvent(QShowEvent* event) {
    TSettingPage::showEvent(event);
    RefreshDevices();
    FDeviceTimer->start();
}

void TSettingSoundPage::hideEvent(QHideEvent* event) {
    FDeviceTimer->stop();
    TSettingPage::hideEvent(event);
}

void TSettingSoundPage::ToggleMicTest() {
    if (!FMicTest->isChecked()) {
        FSession.StopMicTest();
        FLevelTimer->stop();
        FLevel->setValue(0);
        return;
    }
    try {
        // The microphone in use now: a new choice takes effect with OK.
        FSession.StartMicTest();
        FLevelTimer->start();
    } catch (const ESoundError& e) {
        FMicTest->setChecked(false);
        FLevel->setValue(0);
        FMicTest->setToolTip(QString::fromUtf8(e.what()));
    }
}

TSoundSettings TSettingSoundPage::Values() const {
    TSoundSettings sound = FLoaded;
    const auto take = [](QComboBox* box, std::string& id, std::string& description) {
        const QString chosen = box->currentData().toString();
        id = Utf8ToCp932(chosen.toStdString());
        description =
            chosen.isEmpty()
                ? std::string()
                : Utf8ToCp932(box->currentData(kDescriptionRole).toString().toStdString());
    };
    take(FMicrophone, sound.MicrophoneId, sound.Microphone);
    take(FSpeaker, sound.SpeakerId, sound.Speaker);
    sound.OutputVolume = FVolume->value();
    return sound;
}

bool TSettingSoundPage::Changed(const TSettings& live) const {
    const TSoundSettings now = Values();
    return now.MicrophoneId != live.Sound.MicrophoneId || now.SpeakerId != live.Sound.SpeakerId ||
           now.OutputVolume != live.Sound.OutputVolume;
}

void TSettingSoundPage::Apply(TSettings& live, const std::string& iniFileName) {
    live.Sound = Values();
    SaveSoundSettings(iniFileName, live.Sound);
    FSession.ChooseDevices(live.Sound);
    FSession.SetOutputVolume(live.Sound.OutputVolume);
}

}  // namespace vox
