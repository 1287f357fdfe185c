// Private-profile (INI) file access in the manner of the Windows profile functions.
//
// The file's bytes are CP932. Section and key names match without regard to the case of ASCII
// letters (the second byte of a double-byte character is never case-folded). Values are byte
// strings; keys and values lose their surrounding blanks on reading.
//
// Every operation opens the file anew: a read parses the file as it is on disk, and a write
// reads it, changes the one line concerned and replaces the whole file atomically (a temporary
// file in the same folder, flushed to disk, then renamed over the old one), so a crash never
// leaves a half-written file. Every other line stays as it was; lines end in CR LF.
//
// Lines that make no sense are skipped on reading and kept unchanged on writing: a line
// without '=', a line with an empty key, a line holding a NUL byte, key lines before the first
// section. A comment is a line whose first non-blank character is ';'. A '[' line without its
// closing ']' starts a section that no name reaches, so the keys after it do not leak into the
// section before it. When a section name occurs more than once, its parts count as one section
// and the first occurrence of a key wins.
//
// A missing file reads as empty. A write that fails throws EIniFileError. Writing with a
// section or key name the file cannot hold (empty, with a line break, ']' in a section name,
// '=' in a key, a key beginning ';' or '[') throws std::invalid_argument.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vox {

// A write to the file failed. The message (UTF-8) names the file's full path.
class EIniFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Values are read through a buffer of this size: at most kIniValueBufferSize - 1 bytes of a
// value come back.
inline constexpr std::size_t kIniValueBufferSize = 2048;

// The integer a profile value spells, or nothing. The whole text must be the number: a text
// longer than two characters that begins "0x" or "0X" is hexadecimal digits (at most
// 0x7FFFFFFF), anything else an optional sign and decimal digits that fit in an int. So
// "12abc", "4 2", "0x", "0x-1" and "99999999999" are no numbers. Blanks around a value are
// gone before it gets here, so " 42" in the file reads as 42.
std::optional<int> ParseIniInteger(std::string_view text);

// What reading gives back after `value` was written: its first line, without surrounding
// blanks, cut to the read buffer.
std::string IniStoredValue(std::string_view value);

class TIniFile {
  public:
    explicit TIniFile(std::string path);
    virtual ~TIniFile() = default;

    const std::string& FileName() const { return FPath; }

    // The value, cut to at most 2047 bytes (never in the middle of a double-byte character),
    // or `def` when the key is missing.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // Creates the section and the key when needed. A value holds one line: anything from its
    // first CR, LF or NUL byte on is not written.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);

    // `def` when the key is missing or its value is no number (see ParseIniInteger).
    int ReadInteger(std::string_view section, std::string_view key, int def) const;
    // Writes decimal digits, with a minus sign for negative values.
    void WriteInteger(std::string_view section, std::string_view key, int value);

    // Read as an integer with the default 1 or 0; any value other than 0 is true.
    bool ReadBool(std::string_view section, std::string_view key, bool def) const;
    // Writes "1" or "0".
    void WriteBool(std::string_view section, std::string_view key, bool value);

    // Two hexadecimal digits per byte, no separators. A missing or empty value gives no bytes;
    // so does a value with an odd number of digits or with a character that is no hex digit:
    // such a value is treated as missing rather than half decoded.
    std::string ReadHexBytes(std::string_view section, std::string_view key) const;
    // Writes two upper-case digits per byte; no bytes give an empty value.
    void WriteHexBytes(std::string_view section, std::string_view key, std::string_view bytes);

    // Removes the key (every line of it) from the section; the section header stays.
    void DeleteKey(std::string_view section, std::string_view key);

    // The names of the section's keys in file order, each name once.
    std::vector<std::string> ReadSection(std::string_view section) const;
    // Lists the section's key names and looks `key` up among them without regard to case.
    bool ValueExists(std::string_view section, std::string_view key) const;
    // True when the file has a header for the section, even one without keys.
    bool SectionExists(std::string_view section) const;

  private:
    std::optional<std::string> FindValue(std::string_view section, std::string_view key) const;

    std::string FPath;
};

}  // namespace vox
