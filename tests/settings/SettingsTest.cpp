#include "settings/Settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/MyIniFile.h"
#include "support/ScratchDir.h"
#include "wire/PassPhrase.h"

namespace vox {
namespace {

using test::ReadFileBytes;
using test::TScratchDir;
using test::WriteFileBytes;

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (const char c : bytes) {
        text += kDigits[static_cast<unsigned char>(c) >> 4];
        text += kDigits[static_cast<unsigned char>(c) & 0x0F];
    }
    return text;
}

class SettingsTest : public ::testing::Test {
  protected:
    std::string Path() const { return FDir.File("Voxilen.Ini"); }
    void Put(const std::string& bytes) const { WriteFileBytes(Path(), bytes); }
    std::string Bytes() const { return ReadFileBytes(Path()); }

    TScratchDir FDir;
};

TEST(SettingsPathTest, ReplacesTheExtensionOfTheLastComponent) {
    EXPECT_EQ(SettingsPathFor("/opt/vox/Voxilen.exe"), "/opt/vox/Voxilen.Ini");
    EXPECT_EQ(SettingsPathFor("/opt/vox/Voxilen"), "/opt/vox/Voxilen.Ini");
    EXPECT_EQ(SettingsPathFor("/opt/vox.d/Voxilen"), "/opt/vox.d/Voxilen.Ini");
    EXPECT_EQ(SettingsPathFor("/opt/vox.d/Voxilen.bin"), "/opt/vox.d/Voxilen.Ini");
    EXPECT_EQ(SettingsPathFor("/opt/a.b.c"), "/opt/a.b.Ini");
    EXPECT_EQ(SettingsPathFor("/home/u/.voxilen"), "/home/u/.voxilen.Ini");
    EXPECT_EQ(SettingsPathFor("Voxilen"), "Voxilen.Ini");
}

TEST(SettingsPathTest, ExecutablePathIsThisTest) {
    const std::string path = ExecutablePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path[0], '/');
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "test_settings");
    EXPECT_EQ(SettingsPathFor(path), path + ".Ini");
}

TEST_F(SettingsTest, DefaultsWithoutAFile) {
    const TSettings s = LoadSettings(Path());
    EXPECT_EQ(s.ConversationPort, 9911);
    EXPECT_EQ(s.TransferPort, 9912);
    EXPECT_EQ(s.MyName, "");
    EXPECT_FALSE(s.UsePassPhrase);
    EXPECT_EQ(s.PassPhrase, "");
    EXPECT_FALSE(s.ServerListen);
}

TEST_F(SettingsTest, BrokenFileGivesDefaults) {
    static const char kBroken[] =
        "\xFF\xFE[Global\0]\nConversationPort\n=9000\n[Personal\nMyName=x\nUsePassPhrase";
    Put(std::string(kBroken, sizeof kBroken - 1));
    const TSettings s = LoadSettings(Path());
    EXPECT_EQ(s.ConversationPort, 9911);
    EXPECT_EQ(s.TransferPort, 9912);
    EXPECT_EQ(s.MyName, "");
    EXPECT_FALSE(s.UsePassPhrase);
}

TEST_F(SettingsTest, PortsInHexOrNotNumbers) {
    Put("[Global]\r\nConversationPort=0x26B7\r\nTransferPort=abc\r\nServerListen=yes\r\n");
    TSettings s = LoadSettings(Path());
    EXPECT_EQ(s.ConversationPort, 9911);
    EXPECT_EQ(s.TransferPort, 9912);
    EXPECT_FALSE(s.ServerListen);
    Put("[Global]\r\nConversationPort=abc\r\nTransferPort=0x1f\r\nServerListen=-1\r\n");
    s = LoadSettings(Path());
    EXPECT_EQ(s.ConversationPort, 9911);
    EXPECT_EQ(s.TransferPort, 31);
    EXPECT_TRUE(s.ServerListen);
}

TEST_F(SettingsTest, PassPhraseIsReadOnlyWhenSwitchedOn) {
    const std::string stored = Hex(EncodePassPhrase(kPersonalPassPhraseKey, "secret"));
    Put("[Personal]\r\nMyName=me\r\nUsePassPhrase=2\r\nPassPhrase=" + stored + "\r\n");
    TSettings s = LoadSettings(Path());
    EXPECT_EQ(s.MyName, "me");
    EXPECT_TRUE(s.UsePassPhrase);
    EXPECT_EQ(s.PassPhrase, "secret");

    Put("[Personal]\r\nUsePassPhrase=0\r\nPassPhrase=" + stored + "\r\n");
    s = LoadSettings(Path());
    EXPECT_FALSE(s.UsePassPhrase);
    EXPECT_EQ(s.PassPhrase, "");

    Put("[Personal]\r\nUsePassPhrase=1\r\n");
    s = LoadSettings(Path());
    EXPECT_TRUE(s.UsePassPhrase);
    EXPECT_EQ(s.PassPhrase, "");

    Put("[Personal]\r\nUsePassPhrase=1\r\nPassPhrase=ABC\r\n");  // odd digits: no bytes
    EXPECT_EQ(LoadSettings(Path()).PassPhrase, "");
}

TEST_F(SettingsTest, TheOwnPassPhraseKeyStaysFixed) {
    // Files already written depend on the key: "secret" is stored as these bytes.
    Put("[Personal]\r\nUsePassPhrase=1\r\nPassPhrase=05E44E8F1305\r\n");
    EXPECT_EQ(LoadSettings(Path()).PassPhrase, "secret");
}

TEST_F(SettingsTest, SettingsDialogWritesInItsOrder) {
    Put("; mine\r\n");
    TSettings live;
    live.PassPhrase = "old";
    TSettingsDialogValues values;
    values.ConversationPort = 10000;
    values.TransferPort = 10001;
    values.MyName = "\x82\xBD\x82\xEB\x82\xA4";  // たろう
    values.UsePassPhrase = true;
    values.PassPhrase = "pass word";
    ApplySettingsDialog(Path(), live, values);

    EXPECT_EQ(live.ConversationPort, 10000);
    EXPECT_EQ(live.TransferPort, 10001);
    EXPECT_EQ(live.MyName, values.MyName);
    EXPECT_TRUE(live.UsePassPhrase);
    EXPECT_EQ(live.PassPhrase, "pass word");
    EXPECT_EQ(Bytes(),
              "; mine\r\n[Global]\r\nConversationPort=10000\r\nTransferPort=10001\r\n"
              "[Personal]\r\nMyName=\x82\xBD\x82\xEB\x82\xA4\r\nUsePassPhrase=1\r\n"
              "PassPhrase=" +
                  Hex(EncodePassPhrase("V", "pass word")) + "\r\n");

    const TSettings reloaded = LoadSettings(Path());
    EXPECT_EQ(reloaded.ConversationPort, 10000);
    EXPECT_EQ(reloaded.TransferPort, 10001);
    EXPECT_EQ(reloaded.MyName, values.MyName);
    EXPECT_TRUE(reloaded.UsePassPhrase);
    EXPECT_EQ(reloaded.PassPhrase, "pass word");
}

TEST_F(SettingsTest, EmptyPassPhraseIsStoredEmptyAndSwitchingOffDeletesIt) {
    TSettings live;
    TSettingsDialogValues values;
    values.UsePassPhrase = true;
    ApplySettingsDialog(Path(), live, values);
    TMyIniFile ini(Path());
    EXPECT_TRUE(ini.ValueExists("Personal", "PassPhrase"));
    EXPECT_EQ(ini.ReadString("Personal", "PassPhrase", "missing"), "");
    EXPECT_TRUE(LoadSettings(Path()).UsePassPhrase);

    values.UsePassPhrase = false;
    values.PassPhrase = "ignored";
    live.PassPhrase = "was set";
    ApplySettingsDialog(Path(), live, values);
    EXPECT_FALSE(ini.ValueExists("Personal", "PassPhrase"));
    EXPECT_EQ(ini.ReadString("Personal", "UsePassPhrase", ""), "0");
    EXPECT_FALSE(live.UsePassPhrase);
    EXPECT_EQ(live.PassPhrase, "");
}

TEST_F(SettingsTest, FailedWriteStopsTheDialogButKeepsWhatWasApplied) {
    WriteFileBytes(FDir.File("plain"), "x");
    const std::string path = FDir.File("plain/Voxilen.Ini");
    TSettings live;
    TSettingsDialogValues values;
    values.ConversationPort = 1;
    values.TransferPort = 2;
    values.MyName = "new";
    try {
        ApplySettingsDialog(path, live, values);
        FAIL() << "no error";
    } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), path + " に書き込めません");
    }
    EXPECT_EQ(live.ConversationPort, 1);
    EXPECT_EQ(live.TransferPort, 2);
    EXPECT_EQ(live.MyName, "");  // the name comes after the ports were written

    EXPECT_THROW(SaveServerListen(path, true), EIniFileError);
}

TEST_F(SettingsTest, ServerListenAndTransferPortFix) {
    SaveServerListen(Path(), true);
    EXPECT_TRUE(LoadSettings(Path()).ServerListen);
    SaveServerListen(Path(), false);
    EXPECT_FALSE(LoadSettings(Path()).ServerListen);

    Put("[Global]\r\nConversationPort=5000\r\nTransferPort=5000\r\n");
    TSettings s = LoadSettings(Path());
    EXPECT_TRUE(FixTransferPort(Path(), s));
    EXPECT_EQ(s.TransferPort, 5001);
    EXPECT_EQ(LoadSettings(Path()).TransferPort, 5001);
    EXPECT_FALSE(FixTransferPort(Path(), s));
}

TEST_F(SettingsTest, TransferWindowPosition) {
    EXPECT_EQ(ReadTransFormPosition(Path(), 700, 500).Left, 700);
    EXPECT_EQ(ReadTransFormPosition(Path(), 700, 500).Top, 500);
    WriteTransFormPosition(Path(), {-20, 35});
    const TWindowPosition p = ReadTransFormPosition(Path(), 700, 500);
    EXPECT_EQ(p.Left, -20);
    EXPECT_EQ(p.Top, 35);
}

TEST_F(SettingsTest, NewPartnerIsRememberedWithoutPassPhrase) {
    RememberPartner(Path(), "taro", "pc1", "10.0.0.5", "typed but not kept");
    EXPECT_EQ(Bytes(), "[Partner0]\r\nPartnerName=taro\r\nHostName=pc1\r\nAddress=10.0.0.5\r\n");
    EXPECT_EQ(ReadPartnerNames(Path()), std::vector<std::string>{"taro"});
    std::string host;
    std::string address;
    EXPECT_TRUE(LookUpPartner(Path(), "taro", host, address));
    EXPECT_EQ(host, "pc1");
    EXPECT_EQ(address, "10.0.0.5");
}

TEST_F(SettingsTest, KnownPartnerGetsItsPassPhraseWrittenThenDeleted) {
    RememberPartner(Path(), "taro", "", "", "");
    RememberPartner(Path(), "taro", "pc2", "10.0.0.6", "secret");
    EXPECT_EQ(Bytes(),
              "[Partner0]\r\nPartnerName=taro\r\nHostName=pc2\r\nAddress=10.0.0.6\r\n"
              "PassPhrase=" +
                  Hex(EncodePassPhrase("taro", "secret")) + "\r\n");
    RememberPartner(Path(), "taro", "pc2", "", "");
    EXPECT_EQ(Bytes(), "[Partner0]\r\nPartnerName=taro\r\nHostName=pc2\r\nAddress=\r\n");
}

TEST_F(SettingsTest, PartnerPortIsKeptUnderItsOwnKeyAndOlderFilesReadWithout) {
    // A file written before the port was kept: no port, the rest as before.
    Put("[Partner0]\r\nPartnerName=old\r\nHostName=pc0\r\nAddress=10.0.0.1\r\n");
    std::string host;
    std::string address;
    int port = -1;
    ASSERT_TRUE(LookUpPartner(Path(), "old", host, address, &port));
    EXPECT_EQ(port, 0);
    EXPECT_EQ(host, "pc0");

    // Host and address stay without the port, as an older copy reads them.
    RememberPartner(Path(), "new", "pc1", "", "", 9921);
    EXPECT_EQ(TMyIniFile(Path()).ReadString("Partner1", "HostName", ""), "pc1");
    EXPECT_EQ(TMyIniFile(Path()).ReadString("Partner1", "Port", ""), "9921");
    ASSERT_TRUE(LookUpPartner(Path(), "new", host, address, &port));
    EXPECT_EQ(port, 9921);

    // Called again without a port: the key goes.
    RememberPartner(Path(), "new", "pc1", "", "");
    EXPECT_FALSE(TMyIniFile(Path()).ValueExists("Partner1", "Port"));
    ASSERT_TRUE(LookUpPartner(Path(), "new", host, address, &port));
    EXPECT_EQ(port, 0);

    // A port no partner could listen on reads as none.
    Put("[Partner0]\r\nPartnerName=odd\r\nHostName=pc\r\nPort=70000\r\n");
    ASSERT_TRUE(LookUpPartner(Path(), "odd", host, address, &port));
    EXPECT_EQ(port, 0);
}

TEST_F(SettingsTest, PartnerHistoryWithAGapAndCaseDifferences) {
    Put("[Partner0]\r\nPartnerName=Bob\r\nHostName=h0\r\n"
        "[Partner2]\r\nPartnerName=Carol\r\nHostName=h2\r\n");
    EXPECT_EQ(ReadPartnerNames(Path()), std::vector<std::string>{"Bob"});
    std::string host = "kept";
    std::string address = "kept";
    EXPECT_FALSE(LookUpPartner(Path(), "Carol", host, address));
    EXPECT_FALSE(LookUpPartner(Path(), "bob", host, address));
    EXPECT_EQ(host, "kept");
    EXPECT_EQ(address, "kept");

    RememberPartner(Path(), "bob", "h1", "", "");
    TMyIniFile ini(Path());
    EXPECT_EQ(ini.ReadString("Partner1", "PartnerName", ""), "bob");
    EXPECT_EQ(ini.ReadString("Partner1", "HostName", ""), "h1");
    EXPECT_EQ(ReadPartnerNames(Path()), (std::vector<std::string>{"Bob", "bob", "Carol"}));
    EXPECT_TRUE(LookUpPartner(Path(), "Bob", host, address));
    EXPECT_EQ(host, "h0");
    EXPECT_EQ(address, "");
}

TEST_F(SettingsTest, PartnerNameWithBlanksIsFoundAgain) {
    RememberPartner(Path(), " hanako ", "pc", "", "");
    RememberPartner(Path(), "hanako ", "pc", "", "p");
    EXPECT_EQ(ReadPartnerNames(Path()), std::vector<std::string>{"hanako"});
    EXPECT_TRUE(TMyIniFile(Path()).ValueExists("Partner0", "PassPhrase"));
    RememberPartner(Path(), "   ", "pc", "", "");
    EXPECT_EQ(ReadPartnerNames(Path()), std::vector<std::string>{"hanako"});
    EXPECT_FALSE(TMyIniFile(Path()).SectionExists("Partner1"));
}

TEST_F(SettingsTest, MainWindowGeometryRoundTripsAndNoSizeIsNone) {
    EXPECT_FALSE(ReadMainFormGeometry(Path()).has_value());
    WriteMainFormGeometry(Path(), TWindowGeometry{-20, 30, 600, 420});
    const auto read = ReadMainFormGeometry(Path());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->Left, -20);
    EXPECT_EQ(read->Top, 30);
    EXPECT_EQ(read->Width, 600);
    EXPECT_EQ(read->Height, 420);
    Put("[Global]\r\nMainFormWidth=0\r\nMainFormHeight=400\r\n");
    EXPECT_FALSE(ReadMainFormGeometry(Path()).has_value());
}

TEST_F(SettingsTest, ForgettingAPartnerMovesTheLaterOnesUpWithTheirPassPhrases) {
    RememberPartner(Path(), "a", "a-pc", "192.0.2.1", "");
    RememberPartner(Path(), "b", "b-pc", "192.0.2.2", "");
    RememberPartner(Path(), "c", "c-pc", "192.0.2.3", "");
    RememberPartner(Path(), "c", "c-pc", "192.0.2.3", "pass-c");  // known now: pass phrase kept
    EXPECT_FALSE(ForgetPartner(Path(), "nobody"));
    EXPECT_FALSE(ForgetPartner(Path(), "   "));
    ASSERT_TRUE(ForgetPartner(Path(), " b "));
    EXPECT_EQ(ReadPartnerNames(Path()), (std::vector<std::string>{"a", "c"}));
    std::string host;
    std::string address;
    ASSERT_TRUE(LookUpPartner(Path(), "c", host, address));
    EXPECT_EQ(host, "c-pc");
    EXPECT_EQ(address, "192.0.2.3");
    const TMyIniFile ini(Path());
    EXPECT_EQ(ini.ReadHexBytes("Partner1", "PassPhrase"), EncodePassPhrase("c", "pass-c"));
    EXPECT_FALSE(ini.ValueExists("Partner2", "PartnerName"));
    // A new partner takes the freed place at the end.
    RememberPartner(Path(), "d", "", "192.0.2.4", "");
    EXPECT_EQ(ReadPartnerNames(Path()), (std::vector<std::string>{"a", "c", "d"}));
    ASSERT_TRUE(ForgetPartner(Path(), "a"));
    ASSERT_TRUE(ForgetPartner(Path(), "d"));
    ASSERT_TRUE(ForgetPartner(Path(), "c"));
    EXPECT_TRUE(ReadPartnerNames(Path()).empty());
}

}  // namespace
}  // namespace vox

namespace vox {
namespace {

class SoundSettingsTest : public ::testing::Test {
  protected:
    std::string Path() const { return FDir.File("Voxilen.Ini"); }
    test::TScratchDir FDir;
};

TEST_F(SoundSettingsTest, AFileWithoutTheKeysReadsAsTheDefaultAndAChoiceSurvivesARestart) {
    test::WriteFileBytes(Path(), "[Global]\r\nConversationPort=9000\r\n");
    EXPECT_EQ(LoadSettings(Path()).Sound, TSoundSettings{});
    TSoundSettings sound;
    sound.MicrophoneId = "alsa_input.usb-Head_1";
    sound.Microphone = "\x83\x7D\x83\x43\x83\x4E USB";  // マイク USB in CP932
    sound.SpeakerId = "spkB";
    sound.Speaker = "Speaker B";
    sound.OutputVolume = 150;
    SaveSoundSettings(Path(), sound);
    const TSettings read = LoadSettings(Path());
    EXPECT_EQ(read.Sound, sound);
    EXPECT_EQ(read.ConversationPort, 9000);
    // Back to the default: the keys go.
    SaveSoundSettings(Path(), TSoundSettings{});
    EXPECT_EQ(LoadSettings(Path()).Sound, TSoundSettings{});
    EXPECT_EQ(test::ReadFileBytes(Path()).find("Speaker="), std::string::npos);
}

TEST_F(SoundSettingsTest, JunkAndVolumesOutOfRangeReadAsNothingHarmful) {
    std::string junk;
    for (int i = 0; i < 5000; ++i) {
        const auto c = static_cast<char>((i * 37 + 11) % 256);
        junk += c == '\r' || c == '\n' || c == '\0' ? 'x' : c;
    }
    test::WriteFileBytes(
        Path(), "[Global]\r\nMicrophoneId=" + junk + "\r\nSpeakerId=\r\n" + "OutputVolume=900\r\n");
    const TSettings read = LoadSettings(Path());
    EXPECT_FALSE(read.Sound.MicrophoneId.empty());  // kept as it is: it matches no device
    EXPECT_TRUE(read.Sound.SpeakerId.empty());
    EXPECT_EQ(read.Sound.OutputVolume, kDefaultVolume);
    test::WriteFileBytes(Path(), "[Global]\r\nOutputVolume=-1\r\n");
    EXPECT_EQ(LoadSettings(Path()).Sound.OutputVolume, kDefaultVolume);
}

TEST_F(SoundSettingsTest, APartnersVolumeIsRememberedWithThePartnerOnly) {
    RememberPartner(Path(), "taro", "taro.example", "192.0.2.1", "");
    RememberPartner(Path(), "hanako", "hanako.example", "192.0.2.2", "");
    EXPECT_EQ(ReadPartnerVolume(Path(), "taro"), TPartnerVolume{});
    EXPECT_TRUE(WritePartnerVolume(Path(), "taro", {50, false}));
    EXPECT_TRUE(WritePartnerVolume(Path(), "hanako", {120, true}));
    EXPECT_EQ(ReadPartnerVolume(Path(), "taro"), (TPartnerVolume{50, false}));
    EXPECT_EQ(ReadPartnerVolume(Path(), "hanako"), (TPartnerVolume{120, true}));
    // Someone not remembered: nothing written, the default read.
    EXPECT_FALSE(WritePartnerVolume(Path(), "jiro", {10, true}));
    EXPECT_EQ(ReadPartnerVolume(Path(), "jiro"), TPartnerVolume{});
    EXPECT_EQ(ReadPartnerNames(Path()), (std::vector<std::string>{"taro", "hanako"}));
    // Remembering the partner again (the connect dialog) keeps its volume; forgetting the one
    // before it moves it along.
    RememberPartner(Path(), "hanako", "hanako.example", "192.0.2.3", "");
    ASSERT_TRUE(ForgetPartner(Path(), "taro"));
    EXPECT_EQ(ReadPartnerVolume(Path(), "hanako"), (TPartnerVolume{120, true}));
    test::WriteFileBytes(Path(), "[Partner0]\r\nPartnerName=x\r\nVolume=201\r\nMute=1\r\n");
    EXPECT_EQ(ReadPartnerVolume(Path(), "x"), (TPartnerVolume{kDefaultVolume, true}));
}

}  // namespace
}  // namespace vox
