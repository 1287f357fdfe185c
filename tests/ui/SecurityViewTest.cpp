#include "ui/SecurityView.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>

#include "net/Tls.h"
#include "platform/Cp932.h"
#include "support/ScratchDir.h"
#include "ui/DialogTestSupport.h"
#include "ui/SettingSecurityPage.h"

namespace vox::testing {
namespace {

TMemberSecurity Secured(bool verified) {
    TMemberSecurity security;
    security.Encrypted = true;
    security.Verified = verified;
    security.CheckString = "K7QM";
    security.PartnerFingerprint = std::string(64, 'A');
    return security;
}

// A member list as the main window has it, at the given size.
void SetUpMemberList(QListWidget& list, int width, int height) {
    list.setItemDelegate(new ui::TMemberStateDelegate(&list));
    QFont font = list.font();
    font.setPixelSize(15);
    list.setFont(font);
    list.resize(width, height);
}

TEST(SecurityView, MembersShowTheirStateAndTheCheckStringInTheirDetails) {
    TestApp();
    QListWidget list;
    SetUpMemberList(list, 260, 120);
    const std::pair<const char*, TMemberSecurity> members[] = {
        {"はなこ", Secured(true)}, {"たろう", Secured(false)}, {"古い版の人", TMemberSecurity{}}};
    for (const auto& [name, security] : members) {
        auto* item = new QListWidgetItem(QString::fromUtf8(name), &list);
        ui::ShowMemberSecurity(*item, security);
    }
    EXPECT_EQ(list.item(0)->text(), QStringLiteral("はなこ")) << "the name stays the item's text";
    EXPECT_EQ(list.item(0)->data(ui::kMemberStateRole).toString(),
              QStringLiteral("暗号化・確認済み"));
    EXPECT_EQ(list.item(1)->data(ui::kMemberStateRole).toString(), QStringLiteral("暗号化"));
    EXPECT_EQ(list.item(2)->data(ui::kMemberStateRole).toString(), QStringLiteral("暗号化なし"));
    EXPECT_TRUE(list.item(1)->toolTip().contains(QStringLiteral("確認コード：K7QM")));
    EXPECT_TRUE(list.item(1)->toolTip().contains(QStringLiteral("AAAA AAAA")));
    EXPECT_FALSE(list.item(2)->toolTip().contains(QStringLiteral("確認コード")));
    list.show();
}

// As narrow as the main window's member list: a long name is cut short before the mark, and
// none of it is drawn where the mark is.
TEST(SecurityView, ALongNameStopsShortOfTheMarkInANarrowList) {
    TestApp();
    QListWidget list;
    SetUpMemberList(list, 130, 80);
    auto* item = new QListWidgetItem(QStringLiteral("とても長い名前の参加者さん"), &list);
    ui::ShowMemberSecurity(*item, Secured(true));
    list.show();
    QApplication::processEvents();
    const QImage image = list.viewport()->grab().toImage();
    const QRect row = list.visualItemRect(item);
    // The name is drawn in black or grey (all three colours alike); the mark in green.
    auto count = [&](int x0, int x1, auto ink) {
        int found = 0;
        for (int y = row.top(); y <= row.bottom(); ++y) {
            for (int x = std::max(0, x0); x <= std::min(x1, image.width() - 1); ++x) {
                const QColor c = image.pixelColor(x, y);
                found += ink(c.red(), c.green(), c.blue()) ? 1 : 0;
            }
        }
        return found;
    };
    auto nameInk = [&](int x0, int x1) {
        return count(x0, x1, [](int r, int g, int b) {
            return std::max({r, g, b}) < 140 && std::max({r, g, b}) - std::min({r, g, b}) < 24;
        });
    };
    auto markInk = [&](int x) {
        return count(x, x, [](int r, int g, int b) { return g - std::max(r, b) > 40; });
    };
    int markLeft = row.left();
    while (markLeft <= row.right() && markInk(markLeft) == 0) {
        ++markLeft;
    }
    ASSERT_LT(markLeft, row.right()) << "the mark is shown";
    EXPECT_GT(nameInk(row.left(), markLeft - 1), 0) << "the name is shown";
    EXPECT_EQ(nameInk(markLeft, row.right()), 0) << "the name runs under the mark";
}

TEST(SecurityView, AChangedKeyWarnsAndOffersToAcceptTheNewKey) {
    TestApp();
    QWidget owner;
    TSecurityWarning warning;
    warning.Problem = TSecurityProblem::KeyChanged;
    warning.Partner = "call example.net 9911";
    warning.PartnerName = Utf8ToCp932("はなこ");
    warning.Address = "192.0.2.7";
    warning.PinnedFingerprint = std::string(64, 'B');
    warning.NewFingerprint = std::string(64, 'C');
    int accepted = 0;
    ui::ShowSecurityWarning(&owner, warning, [&] { ++accepted; });
    auto* box = owner.findChild<QMessageBox*>(QStringLiteral("SecurityWarning"));
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->text().contains(QStringLiteral("はなこ（192.0.2.7） の鍵が")));
    EXPECT_TRUE(box->text().contains(QStringLiteral("CCCC CCCC")));
    auto* accept = box->findChild<QPushButton*>(QStringLiteral("AcceptNewKey"));
    ASSERT_NE(accept, nullptr);
    accept->click();
    EXPECT_EQ(accepted, 1);

    // A downgrade has nothing to accept.
    warning.Problem = TSecurityProblem::PlainFromPinned;
    QWidget other;
    ui::ShowSecurityWarning(&other, warning, [&] { ++accepted; });
    box = other.findChild<QMessageBox*>(QStringLiteral("SecurityWarning"));
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->text().contains(QStringLiteral("暗号化なしで応答しました")));
    EXPECT_EQ(box->findChild<QPushButton*>(QStringLiteral("AcceptNewKey")), nullptr);
    box->close();
}

TEST(SecurityView, TheSettingsPageShowsTheOwnFingerprintAndAppliesTheRefusal) {
    TestApp();
    test::TScratchDir dir;
    const std::string ini = dir.File("Voxilen.Ini");
    TSettings live;
    const auto identity = TTlsIdentity::Generate();
    TSettingSecurityPage page(live, identity->Fingerprint());
    auto* fingerprint = page.findChild<QLineEdit*>(QStringLiteral("OwnFingerprint"));
    ASSERT_NE(fingerprint, nullptr);
    EXPECT_EQ(fingerprint->text().remove(QLatin1Char(' ')),
              QString::fromStdString(identity->Fingerprint()));
    auto* refuse = page.findChild<QCheckBox*>(QStringLiteral("RefuseUnencrypted"));
    ASSERT_NE(refuse, nullptr);
    EXPECT_FALSE(refuse->isChecked());
    EXPECT_FALSE(page.Changed(live));
    page.resize(620, 200);
    page.show();
    refuse->setChecked(true);
    EXPECT_TRUE(page.Changed(live));
    page.Apply(live, ini);
    EXPECT_TRUE(live.RefuseUnencrypted);
    EXPECT_TRUE(LoadSettings(ini).RefuseUnencrypted);
}

}  // namespace
}  // namespace vox::testing
