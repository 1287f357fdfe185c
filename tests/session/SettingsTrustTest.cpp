#include "session/SettingsTrust.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "net/Tls.h"
#include "settings/Settings.h"
#include "support/ScratchDir.h"

namespace vox {
namespace {

TEST(SettingsTrustStore, KeysAndPlainPartnersLiveInTheSettingsFileBesideTheOldSections) {
    test::TScratchDir dir;
    const std::string ini = dir.File("Voxilen.Ini");
    // A file of an older copy: a remembered partner, nothing about keys.
    test::WriteFileBytes(ini, "[Partner0]\r\nPartnerName=bob\r\nAddress=10.0.0.2\r\n");
    std::int64_t now = 1'000'000'000;
    TSettingsTrustStore store(ini, [&] { return now; });
    EXPECT_EQ(store.PinnedKey("call bob 9911"), "");
    EXPECT_FALSE(store.KnownPlain("call bob 9911"));
    EXPECT_FALSE(store.RefuseUnencrypted());

    store.PinKey("call bob 9911", "AA11");
    store.PinKey("caller ボブ", "BB22");
    store.PinKey("call bob 9911", "CC33");  // accepted a new key
    EXPECT_EQ(store.PinnedKey("call bob 9911"), "CC33");
    EXPECT_EQ(TSettingsTrustStore(ini).PinnedKey("caller ボブ"), "BB22");
    EXPECT_EQ(ReadPartnerNames(ini), std::vector<std::string>{"bob"});

    // Known to answer in the clear for a week, then probed again; a clock set back probes too.
    store.MarkPlain("call old 9911", true);
    EXPECT_TRUE(store.KnownPlain("call old 9911"));
    now += kPlainPartnerRecheckSeconds - 1;
    EXPECT_TRUE(store.KnownPlain("call old 9911"));
    now += 1;
    EXPECT_FALSE(store.KnownPlain("call old 9911"));
    store.MarkPlain("call old 9911", true);
    now -= 3600;
    EXPECT_FALSE(store.KnownPlain("call old 9911"));
    now += 3600;
    store.MarkPlain("call old 9911", false);
    EXPECT_FALSE(store.KnownPlain("call old 9911"));
    EXPECT_EQ(ReadPeerPlainSince(ini, "call old 9911"), 0);

    WriteRefuseUnencrypted(ini, true);
    EXPECT_TRUE(store.RefuseUnencrypted());
    EXPECT_TRUE(LoadSettings(ini).RefuseUnencrypted);
}

TEST(SettingsTrustStore, TheOwnKeyLivesBesideTheSettingsFileForTheOwnerOnly) {
    EXPECT_EQ(IdentityFilesFor("/a/b/Voxilen.Ini").Key, "/a/b/Voxilen.key");
    EXPECT_EQ(IdentityFilesFor("/a/b/Voxilen.Ini").Certificate, "/a/b/Voxilen.crt");
    EXPECT_EQ(IdentityFilesFor("/a.b/vox").Key, "/a.b/vox.key");
    test::TScratchDir dir;
    const TIdentityFiles files = IdentityFilesFor(dir.File("Voxilen.Ini"));
    const auto first = TTlsIdentity::LoadOrCreate(files.Key, files.Certificate);
    struct stat info {};
    ASSERT_EQ(::stat(files.Key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(TTlsIdentity::LoadOrCreate(files.Key, files.Certificate)->Fingerprint(),
              first->Fingerprint());
}

}  // namespace
}  // namespace vox
