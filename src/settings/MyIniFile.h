// The settings-file class: the INI file plus lists kept in numbered sections (Partner0,
// Partner1, ...).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/IniFile.h"

namespace vox {

// The numbered-section walks give up after this index at the latest.
inline constexpr int kLastNumberedIndex = 2147483646;

// A numbered list is given by a section prefix and a key: its entries are the sections prefix0,
// prefix1, ... up to the first one in which the key does not exist. A gap in the numbering
// ends the list there.
class TMyIniFile : public TIniFile {
  public:
    using TIniFile::TIniFile;

    // Appends the key's value of every entry to `list`, in index order. `list` is not cleared.
    void ReadNumberedValues(std::string_view prefix, std::string_view key,
                            std::vector<std::string>& list) const;
    // Sets `section` to the first entry whose key equals `value` byte for byte and returns
    // true; returns false (leaving `section` alone) when the list ends first.
    bool FindNumberedSection(std::string_view prefix, std::string_view key, std::string_view value,
                             std::string& section) const;
    // Sets `section` to the entry that holds `value`: walking from index 0, the first section
    // whose key equals `value`, or else the first section without the key, where key = value
    // is written.
    void AddNumberedSection(std::string_view prefix, std::string_view key, std::string_view value,
                            std::string& section);
};

}  // namespace vox
