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

TEST_F(AboutBoxTest, ShowsNameVersionNoticeAndComment) {
    QPointer<TAboutBox> box = new TAboutBox(nullptr);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("バージョン情報"));
    EXPECT_EQ(Label(box, "ProductName"), QStringLiteral("プロダクト名"));
    EXPECT_EQ(Label(box, "Version"), QStringLiteral("バージョン番号"));
    EXPECT_EQ(Label(box, "Copyright"), QStringLiteral("著作権表記"));
    EXPECT_EQ(Label(box, "Comments"), QStringLiteral("コメント"));

    EXPECT_EQ(Label(box, "lblProductName"), QStringLiteral("ぼくしれん"));
    EXPECT_EQ(Label(box, "lblFileVersion"), QStringLiteral("Version " VOX_VERSION));
    EXPECT_EQ(Label(box, "lblComments"), QStringLiteral("TCP/IP でお話をするソフトです。"));
    EXPECT_FALSE(Label(box, "lblLegalCopyRight").isEmpty());
    EXPECT_EQ(Label(box, "lblLegalCopyRight").toStdString(), VersionValue("LegalCopyright"));
    // The value labels are named for a screen reader by their captions.
    EXPECT_EQ(box->findChild<QLabel*>("lblFileVersion")->accessibleName(),
              QStringLiteral("バージョン番号"));

    auto* icon = box->findChild<QLabel*>("ProgramIcon");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->size(), QSize(65, 57));
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
