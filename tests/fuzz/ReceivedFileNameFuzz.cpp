// The name a partner offers for a file, as it arrives (CP932 bytes) and as UTF-8: whatever
// it is, the name the file would be saved under is one plain component that stays inside
// the chosen folder, or the offer's name is refused.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "transfer/FileName.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

void Check(const std::optional<std::string>& name) {
    if (!name) {
        return;
    }
    if (name->empty() || *name == "." || *name == "..") {
        Fail("an empty or dot name was let through");
    }
    if (name->find_first_of(std::string_view("/\\\0", 3)) != std::string::npos) {
        Fail("a saved name holds a folder separator or a zero byte");
    }
    const std::filesystem::path folder = "/received";
    const std::filesystem::path saved = (folder / *name).lexically_normal();
    if (saved.parent_path() != folder) {
        Fail("a saved name leaves the folder");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Check(vox::ReceivedFileNameFromCp932(bytes));
    Check(vox::ReceivedFileName(bytes));
    return 0;
}
