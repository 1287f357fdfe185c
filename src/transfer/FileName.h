// File names and sizes at the edges of a transfer: the name a partner offers, the file name
// part of a local path, and the size an offer can announce.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vox {

// The size field of an offer holds 32 bits and partners read it as a signed count: a file of
// 2 GiB or more cannot be announced.
inline constexpr std::int64_t kMaxAnnouncedFileSize = 0x7FFFFFFF;

// True when a file of this size can be offered (0 to kMaxAnnouncedFileSize).
bool CanAnnounceFileSize(std::int64_t size);

// The message box text for a file that is too large to offer: "<path> は2GB以上のため送信
// できません。" (UTF-8).
std::string FileTooLargeMessage(std::string_view path);

// The name under which an offered file may be saved: its last component, where both '/' and
// '\' separate folders. Empty when nothing usable is left: an empty last component, ".", "..",
// or a name holding a NUL byte. The result never names anything outside the folder it is put
// in. UTF-8 in and out.
std::optional<std::string> ReceivedFileName(std::string_view name);

// The same for a name as it travels in an offer (CP932 bytes): it is decoded first, so that a
// double-byte character whose second byte is 0x5C ('\', as in "ソ") is not taken for a folder
// separator. The result is UTF-8.
std::optional<std::string> ReceivedFileNameFromCp932(std::string_view cp932);

// The longest file name (one path component) the usual file systems hold, in bytes.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// A name (in the file system's encoding, UTF-8 here) cut to at most maxBytes bytes: the end of
// the part before the extension goes, the extension (from the last '.', when it is short and
// not the whole name) stays, and no multi-byte character is split. Shorter names come back
// as they are.
std::string ShortenFileName(std::string_view name, std::size_t maxBytes = kMaxFileNameBytes);

// The file name part of a local path (after the last '/'); the whole text when it has none.
std::string FileNamePart(std::string_view path);

}  // namespace vox
