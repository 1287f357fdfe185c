#include "settings/Settings.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "settings/MyIniFile.h"
#include "wire/PassPhrase.h"

namespace vox {

std::string SettingsPathFor(const std::string& exePath) {
    const std::size_t slash = exePath.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dot = exePath.rfind('.');
    if (dot != std::string::npos && dot > nameStart) {
        return exePath.substr(0, dot) + std::string(kSettingsExtension);
    }
    return exePath + std::string(kSettingsExtension);
}

std::string ExecutablePath() {
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            throw std::runtime_error("the path of the running program is unknown");
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);  // may have been cut: try again with more room
    }
}

TSettings LoadSettings(const std::string& path) {
    const TMyIniFile ini(path);
    TSettings s;
    s.ConversationPort =
        ini.ReadInteger(kSectionGlobal, kKeyConversationPort, kDefaultConversationPort);
    s.TransferPort = ini.ReadInteger(kSectionGlobal, kKeyTransferPort, kDefaultTransferPort);
    s.MyName = ini.ReadString(kSectionPersonal, kKeyMyName, "");
    s.UsePassPhrase = ini.ReadBool(kSectionPersonal, kKeyUsePassPhrase, kDefaultUsePassPhrase);
    if (s.UsePassPhrase) {
        s.PassPhrase = DecodePassPhrase(kPersonalPassPhraseKey,
                                        ini.ReadHexBytes(kSectionPersonal, kKeyPassPhrase));
    }
    s.ServerListen = ini.ReadBool(kSectionGlobal, kKeyServerListen, kDefaultServerListen);
    s.PortMapping = ini.ReadBool(kSectionGlobal, kKeyPortMapping, kDefaultPortMapping);
    s.PushToTalkKey = ini.ReadString(kSectionGlobal, kKeyPushToTalkKey, "");
    s.DesktopNotices = ini.ReadBool(kSectionGlobal, kKeyDesktopNotices, kDefaultDesktopNotices);
    s.CloseToTray = ini.ReadBool(kSectionGlobal, kKeyCloseToTray, kDefaultCloseToTray);
    s.Sound.MicrophoneId = ini.ReadString(kSectionGlobal, kKeyMicrophoneId, "");
    s.Sound.Microphone = ini.ReadString(kSectionGlobal, kKeyMicrophone, "");
    s.Sound.SpeakerId = ini.ReadString(kSectionGlobal, kKeySpeakerId, "");
    s.Sound.Speaker = ini.ReadString(kSectionGlobal, kKeySpeaker, "");
    const int volume = ini.ReadInteger(kSectionGlobal, kKeyOutputVolume, kDefaultVolume);
    s.Sound.OutputVolume = volume >= 0 && volume <= kMaxVolume ? volume : kDefaultVolume;
    s.RefuseUnencrypted =
        ini.ReadBool(kSectionGlobal, kKeyRefuseUnencrypted, kDefaultRefuseUnencrypted);
    return s;
}

void SaveDesktopSettings(const std::string& path, TSettings& live, const TSettings& values) {
    TMyIniFile ini(path);
    live.PushToTalkKey = values.PushToTalkKey;
    ini.WriteString(kSectionGlobal, kKeyPushToTalkKey, live.PushToTalkKey);
    live.DesktopNotices = values.DesktopNotices;
    ini.WriteBool(kSectionGlobal, kKeyDesktopNotices, live.DesktopNotices);
    live.CloseToTray = values.CloseToTray;
    ini.WriteBool(kSectionGlobal, kKeyCloseToTray, live.CloseToTray);
}

void SaveSoundSettings(const std::string& path, const TSoundSettings& sound) {
    TMyIniFile ini(path);
    const auto put = [&ini](std::string_view key, const std::string& value) {
        if (value.empty()) {
            ini.DeleteKey(kSectionGlobal, key);
        } else {
            ini.WriteString(kSectionGlobal, key, value);
        }
    };
    put(kKeyMicrophoneId, sound.MicrophoneId);
    put(kKeyMicrophone, sound.Microphone);
    put(kKeySpeakerId, sound.SpeakerId);
    put(kKeySpeaker, sound.Speaker);
    ini.WriteInteger(kSectionGlobal, kKeyOutputVolume, sound.OutputVolume);
}

TPartnerVolume ReadPartnerVolume(const std::string& path, std::string_view partnerName) {
    const TMyIniFile ini(path);
    const std::string name = IniStoredValue(partnerName);
    std::string section;
    TPartnerVolume volume;
    if (name.empty() ||
        !ini.FindNumberedSection(kPartnerSectionPrefix, kKeyPartnerName, name, section)) {
        return volume;
    }
    const int stored = ini.ReadInteger(section, kKeyPartnerVolume, kDefaultVolume);
    volume.Volume = stored >= 0 && stored <= kMaxVolume ? stored : kDefaultVolume;
    volume.Mute = ini.ReadBool(section, kKeyPartnerMute, false);
    return volume;
}

bool WritePartnerVolume(const std::string& path, std::string_view partnerName,
                        const TPartnerVolume& volume) {
    const std::string name = IniStoredValue(partnerName);
    TMyIniFile ini(path);
    std::string section;
    if (name.empty() ||
        !ini.FindNumberedSection(kPartnerSectionPrefix, kKeyPartnerName, name, section)) {
        return false;
    }
    ini.WriteInteger(section, kKeyPartnerVolume, volume.Volume);
    ini.WriteBool(section, kKeyPartnerMute, volume.Mute);
    return true;
}

void SaveServerListen(const std::string& path, bool listen) {
    TMyIniFile(path).WriteBool(kSectionGlobal, kKeyServerListen, listen);
}

bool FixTransferPort(const std::string& path, TSettings& settings) {
    if (settings.ConversationPort != settings.TransferPort) {
        return false;
    }
    // Computed without signed overflow; a port this large is useless either way.
    settings.TransferPort =
        static_cast<int>(static_cast<std::uint32_t>(settings.ConversationPort) + 1u);
    TMyIniFile(path).WriteInteger(kSectionGlobal, kKeyTransferPort, settings.TransferPort);
    return true;
}

void ApplySettingsDialog(const std::string& path, TSettings& live,
                         const TSettingsDialogValues& values) {
    live.ConversationPort = values.ConversationPort;
    live.TransferPort = values.TransferPort;
    TMyIniFile ini(path);
    ini.WriteInteger(kSectionGlobal, kKeyConversationPort, values.ConversationPort);
    ini.WriteInteger(kSectionGlobal, kKeyTransferPort, values.TransferPort);
    live.MyName = values.MyName;
    live.UsePassPhrase = values.UsePassPhrase;
    ini.WriteString(kSectionPersonal, kKeyMyName, values.MyName);
    if (values.UsePassPhrase) {
        ini.WriteBool(kSectionPersonal, kKeyUsePassPhrase, true);
        live.PassPhrase = values.PassPhrase;
        ini.WriteHexBytes(kSectionPersonal, kKeyPassPhrase,
                          EncodePassPhrase(kPersonalPassPhraseKey, values.PassPhrase));
    } else {
        ini.WriteBool(kSectionPersonal, kKeyUsePassPhrase, false);
        ini.DeleteKey(kSectionPersonal, kKeyPassPhrase);
        live.PassPhrase.clear();
    }
}

TWindowPosition ReadTransFormPosition(const std::string& path, int defaultLeft, int defaultTop) {
    const TMyIniFile ini(path);
    TWindowPosition position;
    position.Left = ini.ReadInteger(kSectionGlobal, kKeyTransFormLeft, defaultLeft);
    position.Top = ini.ReadInteger(kSectionGlobal, kKeyTransFormTop, defaultTop);
    return position;
}

void WriteTransFormPosition(const std::string& path, TWindowPosition position) {
    TMyIniFile ini(path);
    ini.WriteInteger(kSectionGlobal, kKeyTransFormLeft, position.Left);
    ini.WriteInteger(kSectionGlobal, kKeyTransFormTop, position.Top);
}

std::optional<TWindowGeometry> ReadMainFormGeometry(const std::string& path) {
    const TMyIniFile ini(path);
    if (!ini.ValueExists(kSectionGlobal, kKeyMainFormWidth)) {
        return std::nullopt;
    }
    TWindowGeometry geometry;
    geometry.Left = ini.ReadInteger(kSectionGlobal, kKeyMainFormLeft, 0);
    geometry.Top = ini.ReadInteger(kSectionGlobal, kKeyMainFormTop, 0);
    geometry.Width = ini.ReadInteger(kSectionGlobal, kKeyMainFormWidth, 0);
    geometry.Height = ini.ReadInteger(kSectionGlobal, kKeyMainFormHeight, 0);
    if (geometry.Width <= 0 || geometry.Height <= 0) {
        return std::nullopt;
    }
    return geometry;
}

void WriteMainFormGeometry(const std::string& path, const TWindowGeometry& geometry) {
    TMyIniFile ini(path);
    ini.WriteInteger(kSectionGlobal, kKeyMainFormLeft, geometry.Left);
    ini.WriteInteger(kSectionGlobal, kKeyMainFormTop, geometry.Top);
    ini.WriteInteger(kSectionGlobal, kKeyMainFormWidth, geometry.Width);
    ini.WriteInteger(kSectionGlobal, kKeyMainFormHeight, geometry.Height);
}

std::vector<std::string> ReadPartnerNames(const std::string& path) {
    std::vector<std::string> names;
    TMyIniFile(path).ReadNumberedValues(kPartnerSectionPrefix, kKeyPartnerName, names);
    return names;
}

bool LookUpPartner(const std::string& path, std::string_view partnerName, std::string& hostName,
                   std::string& address, int* port) {
    const TMyIniFile ini(path);
    const std::string name = IniStoredValue(partnerName);
    std::string section;
    if (name.empty() ||
        !ini.FindNumberedSection(kPartnerSectionPrefix, kKeyPartnerName, name, section)) {
        return false;
    }
    hostName = ini.ReadString(section, kKeyHostName, "");
    address = ini.ReadString(section, kKeyAddress, "");
    if (port != nullptr) {
        const int stored = ini.ReadInteger(section, kKeyPartnerPort, 0);
        *port = stored >= 1 && stored <= 65535 ? stored : 0;
    }
    return true;
}

void RememberPartner(const std::string& path, std::string_view partnerName,
                     std::string_view hostName, std::string_view address,
                     std::string_view passPhrase, int port) {
    // Looked up and stored the way the file gives the name back: a name typed with blanks
    // around it would otherwise never be found again and be added anew on every call.
    const std::string name = IniStoredValue(partnerName);
    if (name.empty()) {
        return;  // nothing the file could hold as a name
    }
    TMyIniFile ini(path);
    std::string section;
    if (ini.FindNumberedSection(kPartnerSectionPrefix, kKeyPartnerName, name, section)) {
        ini.WriteString(section, kKeyPartnerName, name);
        ini.WriteString(section, kKeyHostName, hostName);
        ini.WriteString(section, kKeyAddress, address);
        if (port != 0) {
            ini.WriteInteger(section, kKeyPartnerPort, port);
        } else {
            ini.DeleteKey(section, kKeyPartnerPort);
        }
        if (!passPhrase.empty()) {
            ini.WriteHexBytes(section, kKeyPassPhrase, EncodePassPhrase(name, passPhrase));
        } else {
            ini.DeleteKey(section, kKeyPassPhrase);
        }
    } else {
        ini.AddNumberedSection(kPartnerSectionPrefix, kKeyPartnerName, name, section);
        ini.WriteString(section, kKeyHostName, hostName);
        ini.WriteString(section, kKeyAddress, address);
        if (port != 0) {
            ini.WriteInteger(section, kKeyPartnerPort, port);
        }
    }
}

}  // namespace vox

namespace vox {

bool ForgetPartner(const std::string& path, std::string_view partnerName) {
    const std::string name = IniStoredValue(partnerName);
    TMyIniFile ini(path);
    std::string section;
    if (name.empty() ||
        !ini.FindNumberedSection(kPartnerSectionPrefix, kKeyPartnerName, name, section)) {
        return false;
    }
    auto sectionOf = [](int index) {
        return std::string(kPartnerSectionPrefix) + std::to_string(index);
    };
    int index = std::stoi(section.substr(kPartnerSectionPrefix.size()));
    // Each later partner, every key of it (the pass phrase as stored: its key is the name,
    // which moves with it), one index up; the last section is left empty.
    for (;; ++index) {
        const std::string here = sectionOf(index);
        const std::string next = sectionOf(index + 1);
        for (const std::string& key : ini.ReadSection(here)) {
            ini.DeleteKey(here, key);
        }
        if (!ini.ValueExists(next, kKeyPartnerName)) {
            return true;
        }
        for (const std::string& key : ini.ReadSection(next)) {
            ini.WriteString(here, key, ini.ReadString(next, key, ""));
        }
    }
}

bool ReadRefuseUnencrypted(const std::string& path) {
    return TMyIniFile(path).ReadBool(kSectionGlobal, kKeyRefuseUnencrypted,
                                     kDefaultRefuseUnencrypted);
}

void WriteRefuseUnencrypted(const std::string& path, bool refuse) {
    TMyIniFile(path).WriteBool(kSectionGlobal, kKeyRefuseUnencrypted, refuse);
}

std::string ReadPeerFingerprint(const std::string& path, std::string_view peer) {
    const TMyIniFile ini(path);
    std::string section;
    if (!ini.FindNumberedSection(kPeerSectionPrefix, kKeyPeer, peer, section)) {
        return {};
    }
    return ini.ReadString(section, kKeyFingerprint, "");
}

void WritePeerFingerprint(const std::string& path, std::string_view peer,
                          std::string_view fingerprint) {
    TMyIniFile ini(path);
    std::string section;
    ini.AddNumberedSection(kPeerSectionPrefix, kKeyPeer, peer, section);
    ini.WriteString(section, kKeyFingerprint, fingerprint);
}

std::int64_t ReadPeerPlainSince(const std::string& path, std::string_view peer) {
    const TMyIniFile ini(path);
    std::string section;
    if (!ini.FindNumberedSection(kPeerSectionPrefix, kKeyPeer, peer, section)) {
        return 0;
    }
    const std::string text = ini.ReadString(section, kKeyPlainSince, "");
    try {
        return text.empty() ? 0 : std::stoll(text);
    } catch (const std::exception&) {
        return 0;  // not a time: probed again
    }
}

void WritePeerPlainSince(const std::string& path, std::string_view peer, std::int64_t since) {
    TMyIniFile ini(path);
    std::string section;
    if (since == 0) {
        if (ini.FindNumberedSection(kPeerSectionPrefix, kKeyPeer, peer, section)) {
            ini.DeleteKey(section, kKeyPlainSince);
        }
        return;
    }
    ini.AddNumberedSection(kPeerSectionPrefix, kKeyPeer, peer, section);
    ini.WriteString(section, kKeyPlainSince, std::to_string(since));
}

TIdentityFiles IdentityFilesFor(const std::string& settingsFile) {
    const std::size_t slash = settingsFile.rfind('/');
    const std::size_t dot = settingsFile.rfind('.');
    const std::string stem =
        dot != std::string::npos && dot > (slash == std::string::npos ? 0 : slash + 1)
            ? settingsFile.substr(0, dot)
            : settingsFile;
    return {stem + ".key", stem + ".crt"};
}

}  // namespace vox
