#include "platform/IniFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/ScratchDir.h"

namespace vox {
namespace {

using test::ReadFileBytes;
using test::TScratchDir;
using test::WriteFileBytes;

class IniFileTest : public ::testing::Test {
  protected:
    std::string Path() const { return FDir.File("Voxilen.Ini"); }
    void Put(const std::string& bytes) const { WriteFileBytes(Path(), bytes); }
    std::string Bytes() const { return ReadFileBytes(Path()); }

    TScratchDir FDir;
};

TEST_F(IniFileTest, MissingFileReadsAsEmpty) {
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("Global", "MyName", "dflt"), "dflt");
    EXPECT_EQ(ini.ReadInteger("Global", "ConversationPort", 9911), 9911);
    EXPECT_FALSE(ini.ReadBool("Global", "ServerListen", false));
    EXPECT_TRUE(ini.ReadBool("Global", "ServerListen", true));
    EXPECT_EQ(ini.ReadHexBytes("Personal", "PassPhrase"), "");
    EXPECT_TRUE(ini.ReadSection("Global").empty());
    EXPECT_FALSE(ini.ValueExists("Global", "MyName"));
    EXPECT_FALSE(ini.SectionExists("Global"));
    ini.DeleteKey("Global", "MyName");  // nothing to delete: no file appears
    EXPECT_FALSE(std::filesystem::exists(Path()));
}

TEST_F(IniFileTest, NamesMatchWithoutRegardToCaseAndBlanksAreTrimmed) {
    Put("[gLoBaL]\r\n  conversationport =  1234  \r\nName=\t a b \t\r\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("Global", "ConversationPort", 0), 1234);
    EXPECT_EQ(ini.ReadString("GLOBAL", "NAME", ""), "a b");
    EXPECT_TRUE(ini.ValueExists("global", "CONVERSATIONPORT"));
    EXPECT_TRUE(ini.SectionExists("GLOBAL"));
    ini.WriteString("GLOBAL", "NAME", "c");
    EXPECT_EQ(Bytes(), "[gLoBaL]\r\n  conversationport =  1234  \r\nName=c\r\n");
}

TEST_F(IniFileTest, SecondBytesOfDoubleByteNamesAreNotCaseFolded) {
    // 0x82 0x60 is "Ａ" and 0x82 0x80 is "ａ"; 0x83 0x41 is "ア" and 0x83 0x61 is "Ｃ".
    Put("[\x83\x41]\r\nk=1\r\n[\x83\x61]\r\nk=2\r\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("\x83\x41", "k", ""), "1");
    EXPECT_EQ(ini.ReadString("\x83\x61", "K", ""), "2");
    EXPECT_FALSE(ini.SectionExists("\x83\x41\x41"));
    // A section name whose second byte is ']' is not cut there.
    ini.WriteString("\x81\x5D", "k", "3");
    EXPECT_EQ(ini.ReadString("\x81\x5D", "k", ""), "3");
    EXPECT_EQ(ini.ReadString("\x83\x41", "k", ""), "1");
}

TEST_F(IniFileTest, LongValuesAreCutTo2047Bytes) {
    TIniFile ini(Path());
    ini.WriteString("S", "Long", std::string(5000, 'x'));
    EXPECT_EQ(ini.ReadString("S", "Long", ""), std::string(2047, 'x'));
    // Never half a double-byte character.
    ini.WriteString("S", "Kana", "x" + std::string(3000, '\x82'));  // 0x82 0x82 is one character
    const std::string cut = ini.ReadString("S", "Kana", "");
    EXPECT_EQ(cut.size(), 2047u);
    ini.WriteString("S", "Pairs", std::string(4000, '\x82'));
    EXPECT_EQ(ini.ReadString("S", "Pairs", "").size(), 2046u);
    ini.WriteString("S", "Exact", std::string(2047, 'y'));
    EXPECT_EQ(ini.ReadString("S", "Exact", ""), std::string(2047, 'y'));
}

TEST_F(IniFileTest, IntegersReadHexDecimalOrTheDefault) {
    Put("[S]\r\nhex=0x26B7\r\nHEX=0X1f\r\nabc=abc\r\nmixed=12abc\r\nspaced=  42 \r\n"
        "inner=4 2\r\nneg=-17\r\nplus=+5\r\nbig=99999999999\r\nbighex=0x80000000\r\n"
        "bare0x=0x\r\nzero=0\r\nempty=\r\nmax=2147483647\r\nmin=-2147483648\r\n");
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("S", "hex", 1), 9911);  // "hex" and "HEX": the first one wins
    EXPECT_EQ(ini.ReadInteger("S", "abc", 9911), 9911);
    EXPECT_EQ(ini.ReadInteger("S", "mixed", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "spaced", 7), 42);
    EXPECT_EQ(ini.ReadInteger("S", "inner", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "neg", 7), -17);
    EXPECT_EQ(ini.ReadInteger("S", "plus", 7), 5);
    EXPECT_EQ(ini.ReadInteger("S", "big", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "bighex", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "bare0x", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "zero", 7), 0);
    EXPECT_EQ(ini.ReadInteger("S", "empty", 7), 7);
    EXPECT_EQ(ini.ReadInteger("S", "max", 7), 2147483647);
    EXPECT_EQ(ini.ReadInteger("S", "min", 7), -2147483647 - 1);
    EXPECT_EQ(ParseIniInteger("0X1f"), 31);
    EXPECT_EQ(ParseIniInteger("+-1"), std::nullopt);
    EXPECT_EQ(ParseIniInteger("0x-1"), std::nullopt);
    EXPECT_EQ(ParseIniInteger("007"), 7);

    ini.WriteInteger("S", "written", -250);
    EXPECT_EQ(ini.ReadString("S", "written", ""), "-250");
}

TEST_F(IniFileTest, BooleansAreIntegers) {
    Put("[S]\r\ntwo=2\r\nzero=0\r\nword=yes\r\nneg=-1\r\n");
    TIniFile ini(Path());
    EXPECT_TRUE(ini.ReadBool("S", "two", false));
    EXPECT_FALSE(ini.ReadBool("S", "zero", true));
    EXPECT_FALSE(ini.ReadBool("S", "word", false));
    EXPECT_TRUE(ini.ReadBool("S", "word", true));
    EXPECT_TRUE(ini.ReadBool("S", "neg", false));
    ini.WriteBool("S", "on", true);
    ini.WriteBool("S", "off", false);
    EXPECT_EQ(ini.ReadString("S", "on", ""), "1");
    EXPECT_EQ(ini.ReadString("S", "off", ""), "0");
}

TEST_F(IniFileTest, HexBytesRoundTripAndBadTextsGiveNoBytes) {
    TIniFile ini(Path());
    const std::string bytes("\x00\x7F\xFF\xAB\x01", 5);
    ini.WriteHexBytes("S", "Bytes", bytes);
    EXPECT_EQ(ini.ReadString("S", "Bytes", ""), "007FFFAB01");
    EXPECT_EQ(ini.ReadHexBytes("S", "Bytes"), bytes);

    ini.WriteHexBytes("S", "None", "");
    EXPECT_TRUE(ini.ValueExists("S", "None"));
    EXPECT_EQ(ini.ReadString("S", "None", "missing"), "");
    EXPECT_EQ(ini.ReadHexBytes("S", "None"), "");

    ini.WriteString("S", "Lower", "abcd");
    EXPECT_EQ(ini.ReadHexBytes("S", "Lower"), "\xAB\xCD");
    ini.WriteString("S", "Odd", "ABC");
    EXPECT_EQ(ini.ReadHexBytes("S", "Odd"), "");
    ini.WriteString("S", "NotHex", "A1G2");
    EXPECT_EQ(ini.ReadHexBytes("S", "NotHex"), "");
    ini.WriteString("S", "Separated", "A1 B2");
    EXPECT_EQ(ini.ReadHexBytes("S", "Separated"), "");
}

TEST_F(IniFileTest, WritingKeepsEveryOtherLineAndUsesCrLf) {
    Put("; settings\n[Unknown]\nfoo = bar\n\n[Global]\nConversationPort=1\n; about b\nb=2\n"
        "\n[Personal]\nMyName=x");
    TIniFile ini(Path());
    ini.WriteInteger("Global", "ConversationPort", 9911);
    ini.WriteString("Global", "TransferPort", "9912");
    ini.WriteString("New", "Key", "v");
    ini.WriteString("Unknown", "foo", "baz");
    EXPECT_EQ(Bytes(),
              "; settings\r\n[Unknown]\r\nfoo=baz\r\n\r\n[Global]\r\nConversationPort=9911\r\n"
              "; about b\r\nb=2\r\nTransferPort=9912\r\n\r\n[Personal]\r\nMyName=x\r\n"
              "[New]\r\nKey=v\r\n");
}

TEST_F(IniFileTest, KeyIntoAnEmptySectionGoesRightAfterItsHeader) {
    Put("[A]\r\n[B]\r\nx=1\r\n");
    TIniFile ini(Path());
    ini.WriteString("a", "k", "v");
    EXPECT_EQ(Bytes(), "[A]\r\nk=v\r\n[B]\r\nx=1\r\n");
}

TEST_F(IniFileTest, DeleteKeyRemovesEveryLineOfTheKey) {
    Put("[P]\r\nPassPhrase=01\r\nName=n\r\n[Q]\r\nPassPhrase=02\r\n[p]\r\npassphrase=03\r\n");
    TIniFile ini(Path());
    ini.DeleteKey("P", "PASSPHRASE");
    EXPECT_FALSE(ini.ValueExists("P", "PassPhrase"));
    EXPECT_EQ(Bytes(), "[P]\r\nName=n\r\n[Q]\r\nPassPhrase=02\r\n[p]\r\n");
    const std::vector<std::string> keys = ini.ReadSection("p");
    EXPECT_EQ(keys, std::vector<std::string>{"Name"});
}

TEST_F(IniFileTest, BrokenLinesAreSkippedNotFatal) {
    std::string bytes =
        "junk before sections\r\n"
        "early=1\r\n"
        "[Global]\r\n"
        "no equals sign\r\n"
        "=empty key\r\n"
        "   \r\n"
        "ConversationPort=9999\r\n";
    bytes += "Nul=a" + std::string(1, '\0') + "b\r\n";
    bytes += "Long=" + std::string(100000, 'z') + "\n";
    bytes += "[Unclosed\r\nLeaked=1\r\n";
    bytes += "[Personal]\nMyName=me";  // no final newline
    Put(bytes);
    TIniFile ini(Path());
    EXPECT_EQ(ini.ReadInteger("Global", "ConversationPort", 0), 9999);
    EXPECT_FALSE(ini.ValueExists("Global", "Nul"));
    EXPECT_FALSE(ini.ValueExists("Global", "Leaked"));
    EXPECT_FALSE(ini.SectionExists("Unclosed"));
    EXPECT_EQ(ini.ReadString("Global", "Long", "").size(), 2047u);
    EXPECT_EQ(ini.ReadString("Personal", "MyName", ""), "me");
    EXPECT_EQ(ini.ReadSection("Global"), (std::vector<std::string>{"ConversationPort", "Long"}));

    ini.WriteString("Personal", "UsePassPhrase", "1");
    std::string expected = bytes;
    // Only the line endings change, and the new key is added.
    std::string normalised;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == '\n' && (i == 0 || expected[i - 1] != '\r')) {
            normalised += '\r';
        }
        normalised += expected[i];
    }
    EXPECT_EQ(Bytes(), normalised + "\r\nUsePassPhrase=1\r\n");
}

TEST_F(IniFileTest, ValuesStayOnOneLine) {
    TIniFile ini(Path());
    ini.WriteString("Personal", "MyName", "eve\r\n[Personal]\r\nUsePassPhrase=0");
    EXPECT_EQ(ini.ReadString("Personal", "MyName", ""), "eve");
    EXPECT_FALSE(ini.ValueExists("Personal", "UsePassPhrase"));
    EXPECT_THROW(ini.WriteString("S", "a=b", "v"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("S]", "k", "v"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("", "k", "v"), std::invalid_argument);
    EXPECT_THROW(ini.WriteString("S", " ", "v"), std::invalid_argument);
}

TEST_F(IniFileTest, WrittenFileIsCp932AndReadable) {
    TIniFile ini(Path());
    const std::string name = "\x82\xBD\x82\xEB\x82\xA4\x95\x5C";  // たろう表
    ini.WriteString("Personal", "MyName", name);
    EXPECT_EQ(Bytes(), "[Personal]\r\nMyName=" + name + "\r\n");
    EXPECT_EQ(TIniFile(Path()).ReadString("personal", "myname", ""), name);
}

TEST_F(IniFileTest, WriteReplacesTheFileAndLeavesNoTemporaryFiles) {
    TIniFile ini(Path());
    ini.WriteString("S", "a", "1");
    chmod(Path().c_str(), 0640);
    ini.WriteString("S", "b", "2");
    struct stat info {};
    ASSERT_EQ(stat(Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(FDir.Path())) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(IniFileTest, WritingThroughASymbolicLinkKeepsTheLink) {
    const std::string real = FDir.File("real.ini");
    WriteFileBytes(real, "[S]\r\na=1\r\n");
    std::filesystem::create_symlink(real, Path());
    TIniFile(Path()).WriteString("S", "b", "2");
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(ReadFileBytes(real), "[S]\r\na=1\r\nb=2\r\n");
}

TEST_F(IniFileTest, FailedWriteNamesTheFullPath) {
    // Tests run as root, so a read-only folder would not stop them: put the file under a
    // regular file instead.
    WriteFileBytes(FDir.File("plain"), "x");
    const std::string underFile = FDir.File("plain/Voxilen.Ini");
    try {
        TIniFile(underFile).WriteString("Global", "ServerListen", "1");
        FAIL() << "no error";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), underFile + " に書き込めません");
    }

    // A folder in place of the file.
    std::filesystem::create_directory(Path());
    TIniFile dir(Path());
    EXPECT_EQ(dir.ReadString("Global", "MyName", "d"), "d");
    EXPECT_THROW(dir.WriteInteger("Global", "ConversationPort", 1), EIniFileError);
    EXPECT_TRUE(std::filesystem::is_directory(Path()));
}

TEST(IniFileRelativePathTest, ErrorMessageGivesTheFullPathOfARelativeName) {
    TScratchDir dir;
    WriteFileBytes(dir.File("plain"), "x");
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    std::string message;
    try {
        TIniFile("plain/x.Ini").WriteString("S", "k", "v");
    } catch (const EIniFileError& e) {
        message = e.what();
    }
    std::filesystem::current_path(old);
    EXPECT_EQ(message, std::filesystem::canonical(dir.Path()).string() + "/plain/x.Ini" +
                           " に書き込めません");
}

}  // namespace
}  // namespace vox
