#include "settings/UserPlaces.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "settings/Settings.h"

namespace vox {

namespace {

bool IsAbsolute(const std::string& path) {
    return !path.empty() && path.front() == '/';
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string Join(const std::string& folder, std::string_view name) {
    if (folder.empty()) {
        return std::string(name);
    }
    return folder.back() == '/' ? folder + std::string(name) : folder + '/' + std::string(name);
}

// The path with "." and ".." taken out (the executable's path has no links left in it).
std::string Normal(const std::string& path) {
    return WithoutTrailingSlashes(std::filesystem::path(path).lexically_normal().string());
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string InstalledDataFile(const std::string& exeFolder, std::string_view fileName) {
    return Normal(Join(Join(exeFolder, kInstalledDataFolder), fileName));
}

// An installed layout: the help page lies in the data folder beside the executable's folder.
bool InInstalledLayout(const std::string& exeFolder) {
    return IsFile(InstalledDataFile(exeFolder, kHelpFileName));
}

}  // namespace

bool FolderIsWritable(const std::string& folder) {
    if (folder.empty()) {
        return false;
    }
    std::string probe = Join(folder, ".Voxilen-probe-XXXXXX");
    const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

TUserPlaces ResolvePlaces(const TPlaceInputs& inputs, const TWritableCheck& writable) {
    const std::string exeFolder = FolderOf(inputs.ExecutablePath);
    TUserPlaces places;
    places.BesideExecutable = true;
    places.SettingsFile = SettingsPathFor(inputs.ExecutablePath);
    places.SettingsFolder = exeFolder;
    places.RecvFolder = Join(exeFolder, kRecvFolderName);

    const std::string home = WithoutTrailingSlashes(inputs.Home);
    if (!IsAbsolute(home)) {
        return places;
    }
    // The layout first: no probe file is made in a folder the program will not use.
    if (!InInstalledLayout(exeFolder) && writable(exeFolder)) {
        return places;
    }

    places.BesideExecutable = false;
    const std::string configHome = IsAbsolute(inputs.ConfigHome)
                                       ? WithoutTrailingSlashes(inputs.ConfigHome)
                                       : Join(home, ".config");
    places.SettingsFolder = Join(configHome, kUserSettingsFolderName);
    places.SettingsFile = Join(places.SettingsFolder, kUserSettingsFileName);
    const std::string download = WithoutTrailingSlashes(inputs.DownloadFolder);
    places.RecvFolder =
        Join(IsAbsolute(download) && IsFolder(download) ? download : home, kRecvFolderName);
    return places;
}

TPlaceInputs CurrentPlaceInputs(std::string downloadFolder) {
    TPlaceInputs inputs;
    inputs.ExecutablePath = ExecutablePath();
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr) {
        inputs.ConfigHome = config;
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        inputs.Home = home;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr) {
            inputs.Home = found->pw_dir;
        }
    }
    inputs.DownloadFolder = std::move(downloadFolder);
    return inputs;
}

bool MakeSettingsFolder(const TUserPlaces& places) {
    if (places.BesideExecutable) {
        return true;
    }
    const std::string folder = WithoutTrailingSlashes(places.SettingsFolder);
    if (!IsAbsolute(folder)) {
        return false;
    }
    // Every missing folder on the way is made private: the file holds pass phrases.
    for (std::size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        const std::string part = end == std::string::npos ? folder : folder.substr(0, end);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            return false;
        }
        if (end == std::string::npos) {
            break;
        }
    }
    return IsFolder(folder);
}

std::string FindHelpPage(const std::string& exeFolder, std::string_view fileName) {
    std::string beside = Join(exeFolder, fileName);
    if (IsFile(beside)) {
        return beside;
    }
    const std::string installed = InstalledDataFile(exeFolder, fileName);
    return IsFile(installed) ? installed : beside;
}

}  // namespace vox
