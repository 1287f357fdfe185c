#include "ui/SecurityView.h"

#include <gtest/gtest.h>

#include <QCheckBox>
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

TEST(SecurityView, MembersShowTheirStateAndTheCheckStringInTheirDetails) {
    TestApp();
    QListWidget list;
    list.setItemDelegate(new ui::TMemberStateDelegate(&list));
    QFont font = list.font();
    font.setPixelSize(15);
    list.setFont(font);
    list.resize(260, 120);
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
