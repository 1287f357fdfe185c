// "自分の接続先": the rows shown, copying, and a picture of it.
#include "ui/ReachForm.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QPushButton>

#include <QCheckBox>

#include "DialogTestSupport.h"
#include "settings/MyIniFile.h"
#include "support/ScratchDir.h"
#include "ui/SettingReachPage.h"

namespace vox::testing {
namespace {

TReachFacts SampleFacts() {
    TReachFacts facts;
    facts.Listening = true;
    facts.ConversationPort = 9911;
    facts.TransferPort = 9912;
    facts.Mapping.Mapped = true;
    facts.Mapping.Method = "UPnP";
    facts.Mapping.ExternalAddress = "11.22.33.1";
    facts.Mapping.Ports = {{9911, 9911}, {9912, 9912}};
    facts.GlobalIpv6 = {"2001:db8:1::5", "2001:db8:2::7"};
    facts.LanAddress = "192.168.77.2";
    return facts;
}

class ReachFormTest : public DialogTest {};

TEST_F(ReachFormTest, ShowsEveryAddressWithACopyButton) {
    int asked = 0;
    TReachFacts facts = SampleFacts();
    auto* form = new TReachForm(nullptr, [&] {
        ++asked;
        return facts;
    });
    EXPECT_EQ(form->Offered(), (std::vector<QString>{"11.22.33.1:9911", "[2001:db8:1::5]:9911",
                                                     "[2001:db8:2::7]:9911", "192.168.77.2:9911"}));
    auto* copy = form->findChild<QPushButton*>(QStringLiteral("CopyBtn1"));
    ASSERT_NE(copy, nullptr);
    copy->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("[2001:db8:1::5]:9911"));

    // 更新 reads the facts again: listening switched off meanwhile.
    facts = TReachFacts{};
    facts.ConversationPort = 9911;
    form->findChild<QPushButton*>(QStringLiteral("RefreshBtn"))->click();
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(form->Offered().empty());
    bool noted = false;
    for (const QLabel* label : form->findChildren<QLabel*>()) {
        noted = noted || label->text().contains(QStringLiteral("待ち受けしていません"));
    }
    EXPECT_TRUE(noted);
    delete form;
}

TEST_F(ReachFormTest, TheSettingsPageShowsTheSameRowsAndSwitchesMappingOff) {
    TSettings live;
    ASSERT_TRUE(live.PortMapping);
    auto* page = new TSettingReachPage(live, [] { return SampleFacts(); });
    EXPECT_EQ(page->Title(), QStringLiteral("接続先"));
    EXPECT_EQ(page->View().Offered(),
              (std::vector<QString>{"11.22.33.1:9911", "[2001:db8:1::5]:9911",
                                    "[2001:db8:2::7]:9911", "192.168.77.2:9911"}));
    EXPECT_FALSE(page->Changed(live));

    auto* box = page->findChild<QCheckBox*>(QStringLiteral("PortMappingCheckBox"));
    ASSERT_NE(box, nullptr);
    box->setChecked(false);
    EXPECT_TRUE(page->Changed(live));
    test::TScratchDir dir;
    const std::string ini = dir.Path() + "/Voxilen.Ini";
    page->Apply(live, ini);
    EXPECT_FALSE(live.PortMapping);
    EXPECT_FALSE(page->Changed(live));
    EXPECT_FALSE(LoadSettings(ini).PortMapping);
    delete page;
}

}  // namespace
}  // namespace vox::testing
