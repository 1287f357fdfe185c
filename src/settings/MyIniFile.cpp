#include "settings/MyIniFile.h"

namespace vox {
namespace {

std::string NumberedSection(std::string_view prefix, int n) {
    return std::string(prefix) + std::to_string(n);
}

}  // namespace

void TMyIniFile::ReadNumberedValues(std::string_view prefix, std::string_view key,
                                    std::vector<std::string>& list) const {
    for (int n = 0; n <= kLastNumberedIndex; ++n) {
        const std::string section = NumberedSection(prefix, n);
        if (!ValueExists(section, key)) {
            return;
        }
        list.push_back(ReadString(section, key, ""));
    }
}

bool TMyIniFile::FindNumberedSection(std::string_view prefix, std::string_view key,
                                     std::string_view value, std::string& section) const {
    for (int n = 0; n <= kLastNumberedIndex; ++n) {
        std::string name = NumberedSection(prefix, n);
        if (!ValueExists(name, key)) {
            return false;
        }
        if (ReadString(name, key, "") == value) {
            section = std::move(name);
            return true;
        }
    }
    return false;
}

void TMyIniFile::AddNumberedSection(std::string_view prefix, std::string_view key,
                                    std::string_view value, std::string& section) {
    for (int n = 0; n <= kLastNumberedIndex; ++n) {
        section = NumberedSection(prefix, n);
        if (ReadString(section, key, "") == value) {
            return;  // already listed here
        }
        if (!ValueExists(section, key)) {
            WriteString(section, key, value);
            return;
        }
    }
}

}  // namespace vox
