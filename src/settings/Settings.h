// The settings file: its place, its sections and keys with their defaults, and every group of
// reads and writes the program makes on it. Texts are CP932 bytes.
//
// Each function opens the file, does its reads or writes in a fixed order and lets it go.
// A write that fails throws EIniFileError; the writes made before it stay made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vox {

// The settings file's extension; it replaces the executable's.
inline constexpr std::string_view kSettingsExtension = ".Ini";

inline constexpr std::string_view kSectionGlobal = "Global";
inline constexpr std::string_view kSectionPersonal = "Personal";
// Remembered partners live in the numbered sections Partner0, Partner1, ...
inline constexpr std::string_view kPartnerSectionPrefix = "Partner";

// "Global"
inline constexpr std::string_view kKeyConversationPort = "ConversationPort";
inline constexpr std::string_view kKeyTransferPort = "TransferPort";
inline constexpr std::string_view kKeyServerListen = "ServerListen";
inline constexpr std::string_view kKeyTransFormLeft = "TransFormLeft";
inline constexpr std::string_view kKeyTransFormTop = "TransFormTop";
// Whether the listening ports are opened on the home router (UPnP, NAT-PMP).
inline constexpr std::string_view kKeyPortMapping = "PortMapping";
// The desktop: the push-to-talk key held anywhere (its X key name; empty: none), notices on
// the desktop while the window is out of sight, and closing the window into the tray.
inline constexpr std::string_view kKeyPushToTalkKey = "PushToTalkKey";
inline constexpr std::string_view kKeyDesktopNotices = "DesktopNotices";
inline constexpr std::string_view kKeyCloseToTray = "CloseToTray";
inline constexpr std::string_view kKeyMainFormLeft = "MainFormLeft";
inline constexpr std::string_view kKeyMainFormTop = "MainFormTop";
inline constexpr std::string_view kKeyMainFormWidth = "MainFormWidth";
inline constexpr std::string_view kKeyMainFormHeight = "MainFormHeight";
// "Personal"
inline constexpr std::string_view kKeyMyName = "MyName";
inline constexpr std::string_view kKeyUsePassPhrase = "UsePassPhrase";
inline constexpr std::string_view kKeyPassPhrase = "PassPhrase";  // also in partner sections
// Partner sections
inline constexpr std::string_view kKeyPartnerName = "PartnerName";
inline constexpr std::string_view kKeyHostName = "HostName";
inline constexpr std::string_view kKeyAddress = "Address";
// The partner's conversation port when it was typed ("host:port"); none: the own port.
inline constexpr std::string_view kKeyPartnerPort = "Port";

// The sound devices chosen ("Global"): the sound server's id and the description the user
// saw; none or empty: the system's default. The volume of everything played, in percent.
inline constexpr std::string_view kKeyMicrophoneId = "MicrophoneId";
inline constexpr std::string_view kKeyMicrophone = "Microphone";
inline constexpr std::string_view kKeySpeakerId = "SpeakerId";
inline constexpr std::string_view kKeySpeaker = "Speaker";
inline constexpr std::string_view kKeyOutputVolume = "OutputVolume";
// Partner sections: how loud that partner is played, in percent, and whether not at all.
inline constexpr std::string_view kKeyPartnerVolume = "Volume";
inline constexpr std::string_view kKeyPartnerMute = "Mute";

inline constexpr int kDefaultConversationPort = 9911;
inline constexpr int kDefaultTransferPort = 9912;
inline constexpr bool kDefaultServerListen = false;
inline constexpr bool kDefaultUsePassPhrase = false;
inline constexpr bool kDefaultPortMapping = true;
inline constexpr bool kDefaultDesktopNotices = true;
inline constexpr bool kDefaultCloseToTray = false;

// The key with which the own pass phrase is scrambled in the file. Changing it makes every
// stored pass phrase unreadable.
inline constexpr std::string_view kPersonalPassPhraseKey = "V";

// The settings file of an executable: its path with the extension of the last component
// replaced by ".Ini"; a name without extension gets ".Ini" appended. A dot in a folder name,
// or at the start of the name (a hidden file), is no extension.
std::string SettingsPathFor(const std::string& exePath);

// The full path of the running executable. Throws std::runtime_error when the system does not
// tell it.
std::string ExecutablePath();

// Volumes are percentages from 0 to kMaxVolume; 100 leaves the sound as it is.
inline constexpr int kDefaultVolume = 100;
inline constexpr int kMaxVolume = 200;

// The sound devices and the volume of everything played. Texts are CP932.
struct TSoundSettings {
    std::string MicrophoneId;
    std::string Microphone;
    std::string SpeakerId;
    std::string Speaker;
    int OutputVolume = kDefaultVolume;

    friend bool operator==(const TSoundSettings&, const TSoundSettings&) = default;
};

// The settings the main window works from while the program runs.
struct TSettings {
    int ConversationPort = kDefaultConversationPort;
    int TransferPort = kDefaultTransferPort;
    std::string MyName;
    bool UsePassPhrase = kDefaultUsePassPhrase;
    std::string PassPhrase;  // plain
    bool ServerListen = kDefaultServerListen;
    bool PortMapping = kDefaultPortMapping;
    std::string PushToTalkKey;
    bool DesktopNotices = kDefaultDesktopNotices;
    bool CloseToTray = kDefaultCloseToTray;
    TSoundSettings Sound;
    bool RefuseUnencrypted = false;  // kKeyRefuseUnencrypted
};

// Reads, in this order: "ConversationPort", "TransferPort", "MyName", "UsePassPhrase", the
// "Personal" "PassPhrase" only when "UsePassPhrase" is true, "ServerListen", "PortMapping",
// "PushToTalkKey", "DesktopNotices" and "CloseToTray", then the sound devices and the output
// volume (a volume outside 0..kMaxVolume reads as kDefaultVolume).
TSettings LoadSettings(const std::string& path);

// The desktop settings of `values` into `live` and the file.
void SaveDesktopSettings(const std::string& path, TSettings& live, const TSettings& values);

// Writes the sound devices and the output volume; an empty id or description deletes its key.
void SaveSoundSettings(const std::string& path, const TSoundSettings& sound);

// How loud a partner is played.
struct TPartnerVolume {
    int Volume = kDefaultVolume;
    bool Mute = false;
    friend bool operator==(const TPartnerVolume&, const TPartnerVolume&) = default;
};
// The remembered partner's volume; the default when the partner or its keys are not there, or
// the volume is outside 0..kMaxVolume.
TPartnerVolume ReadPartnerVolume(const std::string& path, std::string_view partnerName);
// Writes it to the remembered partner of this name; false (nothing written) when the partner
// is not remembered.
bool WritePartnerVolume(const std::string& path, std::string_view partnerName,
                        const TPartnerVolume& volume);

// The listening menu item: the new state is written before listening is switched.
void SaveServerListen(const std::string& path, bool listen);

// When both ports are equal, the transfer port becomes the conversation port plus 1 and is
// written to the file. Returns whether it did so (the user is then told).
bool FixTransferPort(const std::string& path, TSettings& settings);

// What the settings dialog hands over on OK, after its checks.
struct TSettingsDialogValues {
    int ConversationPort = kDefaultConversationPort;
    int TransferPort = kDefaultTransferPort;
    std::string MyName;
    bool UsePassPhrase = false;
    std::string PassPhrase;  // plain
};

// Applies the settings dialog's values to `live` and the file, in this order: both ports in
// memory, both ports written; the name and the pass-phrase switch in memory, the name written;
// then either "UsePassPhrase" = 1, the pass phrase in memory and written encoded, or
// "UsePassPhrase" = 0, "PassPhrase" deleted and the pass phrase in memory emptied.
void ApplySettingsDialog(const std::string& path, TSettings& live,
                         const TSettingsDialogValues& values);

struct TWindowPosition {
    int Left = 0;
    int Top = 0;
};

// The transfer window's last position; the defaults depend on the screen, so the caller gives
// them.
TWindowPosition ReadTransFormPosition(const std::string& path, int defaultLeft, int defaultTop);
void WriteTransFormPosition(const std::string& path, TWindowPosition position);

// The main window's last place (frame's top left) and inner size.
struct TWindowGeometry {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
};

// The main window's last place; none when it was never written or its size is no size.
std::optional<TWindowGeometry> ReadMainFormGeometry(const std::string& path);
void WriteMainFormGeometry(const std::string& path, const TWindowGeometry& geometry);

// The names of the remembered partners, in index order, up to the first gap.
std::vector<std::string> ReadPartnerNames(const std::string& path);

// Finds the remembered partner of exactly this name and gives its "HostName" and "Address"
// (empty when missing) and, when port is given, its "Port" (0 when missing or not a port).
// Returns false and changes nothing when the partner is not remembered.
bool LookUpPartner(const std::string& path, std::string_view partnerName, std::string& hostName,
                   std::string& address, int* port = nullptr);

// The connect dialog's OK. A remembered partner gets "PartnerName", "HostName" and "Address"
// rewritten, "Port" written when port is not 0 or deleted when it is, then "PassPhrase" written
// (encoded with the partner's name as key) when `passPhrase` is not empty or deleted when it is. A
// new partner is added at the first free index with "PartnerName", "HostName", "Address" and a
// non-zero "Port" only: no pass phrase is remembered for it. Host name and address are stored
// without the port, as older copies of the program read them. The name is taken as the file will
// give it back (blanks around it dropped); a name that is nothing but blanks is not remembered.
// LookUpPartner takes the name the same way.
void RememberPartner(const std::string& path, std::string_view partnerName,
                     std::string_view hostName, std::string_view address,
                     std::string_view passPhrase, int port = 0);

// Forgets the remembered partner of this name: the partners after it move up one index, so
// that the list keeps no gap. Returns false when the partner is not remembered.
bool ForgetPartner(const std::string& path, std::string_view partnerName);

// --- Encryption between copies of the program ---------------------------------------------
// "Global": whether partners without encryption are refused (off: older copies still work).
inline constexpr std::string_view kKeyRefuseUnencrypted = "RefuseUnencrypted";
inline constexpr bool kDefaultRefuseUnencrypted = false;
// What is known of the partners' keys lives in the numbered sections Peer0, Peer1, ...: the
// partner's text ("Peer"), its pinned certificate fingerprint ("Fingerprint") and when it last
// answered in the clear only ("PlainSince", seconds since 1970).
inline constexpr std::string_view kPeerSectionPrefix = "Peer";
inline constexpr std::string_view kKeyPeer = "Peer";
inline constexpr std::string_view kKeyFingerprint = "Fingerprint";
inline constexpr std::string_view kKeyPlainSince = "PlainSince";

bool ReadRefuseUnencrypted(const std::string& path);
void WriteRefuseUnencrypted(const std::string& path, bool refuse);
// The partner's pinned fingerprint; empty when none.
std::string ReadPeerFingerprint(const std::string& path, std::string_view peer);
void WritePeerFingerprint(const std::string& path, std::string_view peer,
                          std::string_view fingerprint);
// When the partner last answered in the clear only; 0 when not known so.
std::int64_t ReadPeerPlainSince(const std::string& path, std::string_view peer);
// 0 forgets it.
void WritePeerPlainSince(const std::string& path, std::string_view peer, std::int64_t since);

// The own key and certificate, beside the settings file: its name with ".key" / ".crt"
// for its extension.
struct TIdentityFiles {
    std::string Key;
    std::string Certificate;
};
TIdentityFiles IdentityFilesFor(const std::string& settingsFile);

}  // namespace vox
