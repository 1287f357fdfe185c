#include "settings/MyIniFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ScratchDir.h"

namespace vox {
namespace {

using test::ReadFileBytes;
using test::TScratchDir;
using test::WriteFileBytes;

class MyIniFileTest : public ::testing::Test {
  protected:
    std::string Path() const { return FDir.File("Voxilen.Ini"); }

    TScratchDir FDir;
};

TEST_F(MyIniFileTest, EmptyFileHasAnEmptyList) {
    TMyIniFile ini(Path());
    std::vector<std::string> list{"kept"};
    ini.ReadNumberedValues("Partner", "PartnerName", list);
    EXPECT_EQ(list, std::vector<std::string>{"kept"});
    std::string section = "unchanged";
    EXPECT_FALSE(ini.FindNumberedSection("Partner", "PartnerName", "", section));
    EXPECT_EQ(section, "unchanged");
}

TEST_F(MyIniFileTest, ListEndsAtTheFirstGapAndAddingFillsIt) {
    WriteFileBytes(Path(),
                   "[Partner0]\r\nPartnerName=alice\r\n[Partner2]\r\nPartnerName=carol\r\n");
    TMyIniFile ini(Path());
    std::vector<std::string> list{"first"};
    ini.ReadNumberedValues("Partner", "PartnerName", list);
    EXPECT_EQ(list, (std::vector<std::string>{"first", "alice"}));

    std::string section;
    EXPECT_TRUE(ini.FindNumberedSection("Partner", "PartnerName", "alice", section));
    EXPECT_EQ(section, "Partner0");
    EXPECT_FALSE(ini.FindNumberedSection("Partner", "PartnerName", "carol", section));
    EXPECT_EQ(section, "Partner0");

    ini.AddNumberedSection("Partner", "PartnerName", "dave", section);
    EXPECT_EQ(section, "Partner1");
    EXPECT_EQ(ini.ReadString("Partner1", "PartnerName", ""), "dave");
    // The gap is closed: carol is part of the list again.
    list.clear();
    ini.ReadNumberedValues("Partner", "PartnerName", list);
    EXPECT_EQ(list, (std::vector<std::string>{"alice", "dave", "carol"}));
}

TEST_F(MyIniFileTest, ValuesCompareExactlyButNamesDoNot) {
    // Section and key names are found in any case; the values themselves are compared byte
    // for byte.
    WriteFileBytes(Path(), "[PARTNER0]\r\npartnername=Bob\r\n");
    TMyIniFile ini(Path());
    std::string section;
    EXPECT_TRUE(ini.FindNumberedSection("Partner", "PartnerName", "Bob", section));
    EXPECT_EQ(section, "Partner0");
    EXPECT_FALSE(ini.FindNumberedSection("Partner", "PartnerName", "bob", section));

    ini.AddNumberedSection("Partner", "PartnerName", "bob", section);
    EXPECT_EQ(section, "Partner1");
    std::vector<std::string> list;
    ini.ReadNumberedValues("Partner", "PartnerName", list);
    EXPECT_EQ(list, (std::vector<std::string>{"Bob", "bob"}));
}

TEST_F(MyIniFileTest, AddingAListedValueWritesNothing) {
    const std::string bytes = "[Partner0]\nPartnerName=alice\n[Partner1]\nPartnerName=bob\n";
    WriteFileBytes(Path(), bytes);
    TMyIniFile ini(Path());
    std::string section;
    ini.AddNumberedSection("Partner", "PartnerName", "bob", section);
    EXPECT_EQ(section, "Partner1");
    EXPECT_EQ(ReadFileBytes(Path()), bytes);  // untouched, LF line ends and all
}

TEST_F(MyIniFileTest, AnEmptyValueStillCountsAsAnEntry) {
    WriteFileBytes(Path(), "[Partner0]\r\nPartnerName=\r\n[Partner1]\r\nPartnerName=x\r\n");
    TMyIniFile ini(Path());
    std::vector<std::string> list;
    ini.ReadNumberedValues("Partner", "PartnerName", list);
    EXPECT_EQ(list, (std::vector<std::string>{"", "x"}));
    std::string section;
    EXPECT_TRUE(ini.FindNumberedSection("Partner", "PartnerName", "x", section));
    EXPECT_EQ(section, "Partner1");
}

}  // namespace
}  // namespace vox
