// The version dialog: its texts and how it goes away.
#include "ui/AboutBox.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>

#include "DialogTestSupport.h"

namespace vox::testing {
namespace {

class AboutBoxTest : public DialogTest {};

QString Label(QWidget* box, const char* name) {
    auto* label = box->findChild<QLabel*>(QString::fromLatin1(name));
    EXPECT_NE(label, nullptr) << name;
    return label != nullptr ? label->text() : QString();
}

// Each value is filled from the version values and is named for a screen reader by the
// caption beside it; the program's picture is shown.
TEST_F(AboutBoxTest, ShowsEachValueNamedByItsCaption) {
    QPointer<TAboutBox> box = new TAboutBox(nullptr);
    const struct {
        const char* Caption;
        const char* Value;
        const char* Key;
    } rows[] = {{"ProductName", "lblProductName", "ProductName"},
                {"Version", "lblFileVersion", "FileVersion"},
                {"Copyright", "lblLegalCopyRight", "LegalCopyright"},
                {"Comments", "lblComments", "Comments"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Value);
        const std::string value = VersionValue(row.Key);
        EXPECT_FALSE(value.empty());
        EXPECT_TRUE(Label(box, row.Value).toStdString().ends_with(value));
        EXPECT_FALSE(Label(box, row.Caption).isEmpty());
        auto* label = box->findChild<QLabel*>(QString::fromLatin1(row.Value));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->accessibleName(), Label(box, row.Caption));
    }
    EXPECT_EQ(Label(box, "lblFileVersion"), QStringLiteral(VOX_VERSION));
    EXPECT_EQ(Label(box, "Version"), QStringLiteral("バージョン"));

    auto* icon = box->findChild<QLabel*>("ProgramIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
    delete box.data();
}

TEST_F(AboutBoxTest, VersionValuesMatchKeysWithoutRegardToCase) {
    EXPECT_EQ(VersionValue("FileVersion"), VOX_VERSION);
    EXPECT_EQ(VersionValue("fileversion"), VOX_VERSION);
    EXPECT_EQ(VersionValue("LegalCopyRight"), VersionValue("LEGALCOPYRIGHT"));
    EXPECT_EQ(VersionValue("NoSuchKey"), "");
    EXPECT_EQ(VersionValue(""), "");
    EXPECT_EQ(VersionValue("FileVersio"), "");
    // The version is the project's four-part number.
    const std::string version = VOX_VERSION;
    EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 3) << version;
}

TEST_F(AboutBoxTest, OKAndLosingTheFocusCloseIt) {
    QPointer<TAboutBox> box = new TAboutBox(nullptr);
    box->show();
    box->findChild<QPushButton*>("OKButton")->click();
    EXPECT_TRUE(ProcessUntil([&] { return box.isNull(); }));

    QWidget mainWindow;
    mainWindow.show();
    box = new TAboutBox(&mainWindow);
    box->show();
    ASSERT_TRUE(ProcessUntil([&] { return box->isActiveWindow(); }));
    mainWindow.activateWindow();
    EXPECT_TRUE(ProcessUntil([&] { return box.isNull(); }));
}

}  // namespace
}  // namespace vox::testing
