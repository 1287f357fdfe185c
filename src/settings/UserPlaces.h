// Where the program keeps its settings file and the files it receives, and where it finds its
// help page.
//
// A copy that runs from a folder it can write keeps both beside its executable: the settings
// file named after the executable with ".Ini", and the folder "Recieved". An installed copy
// keeps them in the user's own places instead: the settings in
// $XDG_CONFIG_HOME/Voxilen/Voxilen.Ini (~/.config when XDG_CONFIG_HOME is unset or not an
// absolute path), received files in "Recieved" under the user's download folder, or under the
// home folder when there is no download folder. A copy counts as installed when its
// executable's folder cannot be written, or when it sits in an installed layout (its help page
// lies in ../share/voxilen beside the executable's folder): root can write /usr/bin, and the
// program must not leave its files there.
//
// The settings file has the same format wherever it lives.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vox {

// The folder for received files (the name is the program's own).
inline constexpr const char* kRecvFolderName = "Recieved";
// The help page, shipped beside the executable or installed in kInstalledDataFolder.
inline constexpr const char* kHelpFileName = "Voxilen.html";
// The installed data folder, relative to the executable's folder.
inline constexpr std::string_view kInstalledDataFolder = "../share/voxilen";
// The settings file in the user's configuration folder: <config home>/Voxilen/Voxilen.Ini.
inline constexpr std::string_view kUserSettingsFolderName = "Voxilen";
inline constexpr std::string_view kUserSettingsFileName = "Voxilen.Ini";

// What the places are worked out from.
struct TPlaceInputs {
    std::string ExecutablePath;  // full path of the running executable
    std::string ConfigHome;      // $XDG_CONFIG_HOME as set; empty when unset
    std::string Home;            // the user's home folder; empty when unknown
    std::string DownloadFolder;  // the desktop's download folder; used only when it is a folder
};

struct TUserPlaces {
    // True: both beside the executable, as a copy run from its own folder has them.
    bool BesideExecutable = true;
    std::string SettingsFile;
    // The folder the settings file lives in.
    std::string SettingsFolder;
    // The folder for received files, without a trailing separator.
    std::string RecvFolder;
};

// Whether files can be made in the folder, found out by making one and removing it again:
// the permission bits say nothing of a read-only mount, and root passes every access check.
bool FolderIsWritable(const std::string& folder);

using TWritableCheck = std::function<bool(const std::string& folder)>;

// Decides where the settings file and received files live. Without an absolute home folder
// there is no user's place to go to: both then stay beside the executable.
TUserPlaces ResolvePlaces(const TPlaceInputs& inputs,
                          const TWritableCheck& writable = FolderIsWritable);

// The running program's inputs: its executable, XDG_CONFIG_HOME, and HOME (the password
// database's home folder when HOME is unset). The download folder is the caller's.
TPlaceInputs CurrentPlaceInputs(std::string downloadFolder);

// Creates the settings folder with its missing parents, private to the user (0700), when the
// places are the user's. Returns false when a folder could not be made; the first write of a
// setting then reports the file as not writable.
bool MakeSettingsFolder(const TUserPlaces& places);

// The help page: beside the executable, else in the installed data folder. When neither has
// it, the path beside the executable (for the message that names the missing file).
std::string FindHelpPage(const std::string& exeFolder, std::string_view fileName = kHelpFileName);

}  // namespace vox
