#include "transfer/FileName.h"

#include <algorithm>

#include "platform/Cp932.h"
#include "transfer/TransferView.h"

namespace vox {

bool CanAnnounceFileSize(std::int64_t size) {
    return size >= 0 && size <= kMaxAnnouncedFileSize;
}

std::string FileTooLargeMessage(std::string_view path) {
    std::string text(path);
    text += transfer_texts::kTooLarge;
    return text;
}

std::optional<std::string> ReceivedFileName(std::string_view name) {
    const std::size_t cut = name.find_last_of("/\\");
    const std::string_view last = cut == std::string_view::npos ? name : name.substr(cut + 1);
    if (last.empty() || last == "." || last == ".." || last.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(last);
}

std::optional<std::string> ReceivedFileNameFromCp932(std::string_view cp932) {
    return ReceivedFileName(Cp932ToUtf8(cp932));
}

namespace {

// The longest extension kept whole when a name is shortened.
constexpr std::size_t kMaxKeptExtensionBytes = 32;

// The longest prefix of text of at most maxBytes bytes that does not end inside a UTF-8
// sequence.
std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text;
    }
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return text.substr(0, cut);
}

}  // namespace

std::string ShortenFileName(std::string_view name, std::size_t maxBytes) {
    if (name.size() <= maxBytes) {
        return std::string(name);
    }
    const std::size_t dot = name.rfind('.');
    std::string_view extension;
    if (dot != std::string_view::npos && dot > 0 &&
        name.size() - dot <= std::min(kMaxKeptExtensionBytes, maxBytes / 2)) {
        extension = name.substr(dot);
    }
    const std::string_view stem = name.substr(0, name.size() - extension.size());
    std::string result(Utf8Prefix(stem, maxBytes - extension.size()));
    result += extension;
    return result;
}

std::string FileNamePart(std::string_view path) {
    const std::size_t cut = path.rfind('/');
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

}  // namespace vox
