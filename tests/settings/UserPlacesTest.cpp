#include "settings/UserPlaces.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "settings/Settings.h"
#include "support/ScratchDir.h"

namespace vox {
namespace {

namespace fs = std::filesystem;
using test::FolderEntries;
using test::TScratchDir;
using test::WriteFileBytes;

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

const TWritableCheck kReadOnly = [](const std::string&) { return false; };

// A home folder and an executable's folder in a scratch folder.
class UserPlacesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(Home());
        fs::create_directories(Dir.File("bin"));
    }
    std::string Home() const { return Dir.File("home"); }
    std::string Exe() const { return Dir.File("bin/Voxilen"); }
    TPlaceInputs Inputs() const {
        TPlaceInputs inputs;
        inputs.ExecutablePath = Exe();
        inputs.Home = Home();
        return inputs;
    }

    TScratchDir Dir;
};

TEST_F(UserPlacesTest, AWritableFolderKeepsBothBesideTheExecutable) {
    const TUserPlaces places = ResolvePlaces(Inputs());
    EXPECT_TRUE(places.BesideExecutable);
    EXPECT_EQ(places.SettingsFile, Dir.File("bin/Voxilen.Ini"));
    EXPECT_EQ(places.SettingsFolder, Dir.File("bin"));
    EXPECT_EQ(places.RecvFolder, Dir.File("bin/Recieved"));
    // The probe left nothing behind.
    EXPECT_TRUE(fs::is_empty(Dir.File("bin")));
}

TEST_F(UserPlacesTest, AFolderThatCannotBeWrittenSendsBothToTheUsersPlaces) {
    TPlaceInputs inputs = Inputs();
    inputs.ConfigHome = Dir.File("config/");
    const std::string downloads = Home() + "/Downloads";
    fs::create_directories(downloads);
    inputs.DownloadFolder = downloads;
    std::vector<std::string> asked;
    const TUserPlaces places = ResolvePlaces(inputs, [&](const std::string& folder) {
        asked.push_back(folder);
        return false;
    });
    EXPECT_EQ(asked, std::vector<std::string>{Dir.File("bin")});
    EXPECT_FALSE(places.BesideExecutable);
    EXPECT_EQ(places.SettingsFolder, Dir.File("config/Voxilen"));
    EXPECT_EQ(places.SettingsFile, Dir.File("config/Voxilen/Voxilen.Ini"));
    EXPECT_EQ(places.RecvFolder, downloads + "/Recieved");
}

TEST_F(UserPlacesTest, ConfigHomeUnsetOrRelativeMeansDotConfigInTheHomeFolder) {
    TPlaceInputs inputs = Inputs();
    inputs.Home = Home() + "//";
    for (const std::string config : {"", "relative/config", "~/.config"}) {
        inputs.ConfigHome = config;
        const TUserPlaces places = ResolvePlaces(inputs, kReadOnly);
        EXPECT_EQ(places.SettingsFile, Home() + "/.config/Voxilen/Voxilen.Ini") << config;
    }
}

TEST_F(UserPlacesTest, WithoutADownloadFolderReceivedFilesGoUnderTheHomeFolder) {
    TPlaceInputs inputs = Inputs();
    // Missing, relative, and a file rather than a folder.
    WriteFileBytes(Home() + "/Downloads", "not a folder");
    for (const std::string& download :
         {std::string(), Home() + "/Missing", std::string("Downloads"), Home() + "/Downloads"}) {
        inputs.DownloadFolder = download;
        EXPECT_EQ(ResolvePlaces(inputs, kReadOnly).RecvFolder, Home() + "/Recieved") << download;
    }
}

TEST_F(UserPlacesTest, WithoutAnAbsoluteHomeFolderBothStayBesideTheExecutable) {
    TPlaceInputs inputs = Inputs();
    for (const std::string home : {"", "home", "~"}) {
        inputs.Home = home;
        inputs.ConfigHome = Dir.File("config");
        const TUserPlaces places = ResolvePlaces(inputs, kReadOnly);
        EXPECT_TRUE(places.BesideExecutable) << home;
        EXPECT_EQ(places.SettingsFile, Dir.File("bin/Voxilen.Ini"));
    }
}

TEST_F(UserPlacesTest, AnInstalledLayoutUsesTheUsersPlacesEvenWhenItsFolderIsWritable) {
    // bin/Voxilen with share/voxilen/Voxilen.html: root can write /usr/bin, but must not
    // find Voxilen.Ini and a "Recieved" folder there.
    fs::create_directories(Dir.File("share/voxilen"));
    WriteFileBytes(Dir.File("share/voxilen/Voxilen.html"), "<html></html>");
    int asked = 0;
    const TUserPlaces places = ResolvePlaces(Inputs(), [&](const std::string&) {
        ++asked;
        return true;
    });
    EXPECT_EQ(asked, 0) << "no probe file is made in an installed program's folder";
    EXPECT_FALSE(places.BesideExecutable);
    EXPECT_EQ(places.SettingsFile, Home() + "/.config/Voxilen/Voxilen.Ini");
    EXPECT_EQ(places.RecvFolder, Home() + "/Recieved");
    // The build folder: the help page beside the executable, none in a data folder.
    fs::remove(Dir.File("share/voxilen/Voxilen.html"));
    WriteFileBytes(Dir.File("bin/Voxilen.html"), "<html></html>");
    EXPECT_TRUE(ResolvePlaces(Inputs()).BesideExecutable);
}

TEST_F(UserPlacesTest, FolderIsWritableTriesAndCleansUp) {
    EXPECT_TRUE(FolderIsWritable(Dir.Path()));
    EXPECT_TRUE(FolderIsWritable(Dir.Path() + "/"));
    EXPECT_EQ(FolderEntries(Dir.Path()), (std::vector<std::string>{"bin", "home"}));
    EXPECT_FALSE(FolderIsWritable(Dir.File("missing")));
    EXPECT_FALSE(FolderIsWritable(""));
    WriteFileBytes(Dir.File("plain"), "x");
    EXPECT_FALSE(FolderIsWritable(Dir.File("plain")));

    // The permission bits only hold for a user other than root, who passes every check.
    fs::create_directories(Dir.File("locked"));
    ::chmod(Dir.File("locked").c_str(), 0555);
    if (::geteuid() != 0) {
        EXPECT_FALSE(FolderIsWritable(Dir.File("locked")));
    }
    ::chmod(Dir.File("locked").c_str(), 0755);
}

TEST_F(UserPlacesTest, MakeSettingsFolderMakesEveryMissingFolderPrivate) {
    TPlaceInputs inputs = Inputs();
    inputs.ConfigHome = Dir.File("a/b/config");
    const TUserPlaces places = ResolvePlaces(inputs, kReadOnly);
    ASSERT_TRUE(MakeSettingsFolder(places));
    for (const char* folder : {"a", "a/b", "a/b/config", "a/b/config/Voxilen"}) {
        EXPECT_EQ(ModeOf(Dir.File(folder)), 0700u) << folder;
    }
    // The folder that was there keeps its mode, and a second call is fine.
    EXPECT_EQ(ModeOf(Dir.Path()), 0700u);  // mkdtemp's
    ASSERT_TRUE(MakeSettingsFolder(places));

    // The settings then live there, in the same format, private to the user.
    SaveServerListen(places.SettingsFile, true);
    EXPECT_EQ(test::ReadFileBytes(places.SettingsFile), "[Global]\r\nServerListen=1\r\n");
    EXPECT_EQ(ModeOf(places.SettingsFile), 0600u);
    EXPECT_TRUE(LoadSettings(places.SettingsFile).ServerListen);
}

TEST_F(UserPlacesTest, MakeSettingsFolderFailsOnAFileInTheWayAndLeavesTheExeFolderAlone) {
    TPlaceInputs inputs = Inputs();
    inputs.ConfigHome = Dir.File("config");
    WriteFileBytes(Dir.File("config"), "a file");
    EXPECT_FALSE(MakeSettingsFolder(ResolvePlaces(inputs, kReadOnly)));

    const TUserPlaces beside = ResolvePlaces(Inputs());
    EXPECT_TRUE(MakeSettingsFolder(beside));
    EXPECT_TRUE(fs::is_empty(Dir.File("bin")));
}

TEST_F(UserPlacesTest, TheHelpPageIsFoundBesideTheExecutableThenInTheDataFolder) {
    const std::string bin = Dir.File("bin");
    EXPECT_EQ(FindHelpPage(bin), bin + "/Voxilen.html");  // neither: named where it belongs
    fs::create_directories(Dir.File("share/voxilen"));
    WriteFileBytes(Dir.File("share/voxilen/Voxilen.html"), "installed");
    EXPECT_EQ(FindHelpPage(bin), Dir.File("share/voxilen/Voxilen.html"));
    WriteFileBytes(bin + "/Voxilen.html", "beside");
    EXPECT_EQ(FindHelpPage(bin), bin + "/Voxilen.html");
}

// Sets or unsets an environment variable for one test and puts it back.
class TEnvVar {
  public:
    TEnvVar(const char* name, const char* value) : FName(name) {
        if (const char* old = std::getenv(name); old != nullptr) {
            FOld = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~TEnvVar() {
        if (FOld) {
            ::setenv(FName, FOld->c_str(), 1);
        } else {
            ::unsetenv(FName);
        }
    }
    TEnvVar(const TEnvVar&) = delete;
    TEnvVar& operator=(const TEnvVar&) = delete;

  private:
    const char* FName;
    std::optional<std::string> FOld;
};

TEST(CurrentPlaceInputsTest, TakesTheEnvironmentAndTheUsersHomeWhenHomeIsUnset) {
    {
        const TEnvVar config("XDG_CONFIG_HOME", "/cfg");
        const TEnvVar home("HOME", "/home/someone");
        const TPlaceInputs inputs = CurrentPlaceInputs("/home/someone/Downloads");
        EXPECT_EQ(inputs.ExecutablePath, ExecutablePath());
        EXPECT_EQ(inputs.ConfigHome, "/cfg");
        EXPECT_EQ(inputs.Home, "/home/someone");
        EXPECT_EQ(inputs.DownloadFolder, "/home/someone/Downloads");
    }
    const TEnvVar config("XDG_CONFIG_HOME", nullptr);
    const TEnvVar home("HOME", nullptr);
    const TPlaceInputs inputs = CurrentPlaceInputs("");
    EXPECT_EQ(inputs.ConfigHome, "");
    ASSERT_FALSE(inputs.Home.empty());
    EXPECT_EQ(inputs.Home.front(), '/');
}

}  // namespace
}  // namespace vox
