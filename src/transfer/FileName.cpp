#include "transfer/FileName.h"

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

std::string FileNamePart(std::string_view path) {
    const std::size_t cut = path.rfind('/');
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

}  // namespace vox
