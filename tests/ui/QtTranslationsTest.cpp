// Qt's own buttons and dialogs in Japanese once the system's translations are installed.
#include "ui/QtTranslations.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTranslator>

#include "DialogTestSupport.h"

namespace vox::testing {
namespace {

class QtTranslationsTest : public DialogTest {
  protected:
    // Other tests of this program expect Qt's own English texts.
    void TearDown() override {
        for (QTranslator* t : QCoreApplication::instance()->findChildren<QTranslator*>()) {
            QCoreApplication::removeTranslator(t);
            delete t;
        }
    }
};

TEST_F(QtTranslationsTest, YesNoAndTheFileDialogSpeakJapanese) {
    ASSERT_TRUE(ui::InstallQtTranslations()) << "qt6-translations-l10n (scripts/install-deps.sh)";
    QDialogButtonBox buttons(QDialogButtonBox::Yes | QDialogButtonBox::No |
                             QDialogButtonBox::Cancel);
    EXPECT_TRUE(buttons.button(QDialogButtonBox::Yes)->text().startsWith(QStringLiteral("はい")))
        << buttons.button(QDialogButtonBox::Yes)->text().toStdString();
    EXPECT_TRUE(buttons.button(QDialogButtonBox::No)->text().startsWith(QStringLiteral("いいえ")));
    EXPECT_TRUE(
        buttons.button(QDialogButtonBox::Cancel)->text().startsWith(QStringLiteral("キャンセル")));

    // Qt's own file dialog: its captions are translated (a few labels are enough to tell).
    QFileDialog dialog(nullptr, QString(), QDir::tempPath());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    QStringList captions;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        captions << label->text();
    }
    EXPECT_TRUE(captions.join(u'|').contains(QStringLiteral("ファイル")))
        << captions.join(u'|').toStdString();
}

TEST_F(QtTranslationsTest, AMissingFolderLeavesQtsTextsAlone) {
    EXPECT_FALSE(ui::InstallQtTranslations(QStringLiteral("/nonexistent")));
    QDialogButtonBox buttons(QDialogButtonBox::Yes);
    EXPECT_TRUE(buttons.button(QDialogButtonBox::Yes)->text().contains(u'Y'));
}

}  // namespace
}  // namespace vox::testing
