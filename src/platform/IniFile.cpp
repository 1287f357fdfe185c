#include "platform/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/Cp932.h"

namespace vox {
namespace {

constexpr std::string_view kBlanks = " \t\r\n\v\f";
constexpr std::string_view kLineBreaks{"\r\n\0", 3};

std::string_view Trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const std::size_t last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

// Bytes taken by the character at s[i]: 2 for a lead byte with its trail byte, else 1.
std::size_t CharLength(std::string_view s, std::size_t i) {
    if (i + 1 < s.size() && IsCp932LeadByte(static_cast<unsigned char>(s[i])) &&
        IsCp932TrailByte(static_cast<unsigned char>(s[i + 1]))) {
        return 2;
    }
    return 1;
}

// Position of the single-byte character `c` at or after `from`, skipping the second bytes of
// double-byte characters (']' and '\' occur there).
std::size_t FindChar(std::string_view s, char c, std::size_t from) {
    for (std::size_t i = from; i < s.size(); i += CharLength(s, i)) {
        if (s[i] == c) {
            return i;
        }
    }
    return std::string_view::npos;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Compares names folding ASCII letters only, and never the second byte of a double-byte
// character: 0x82 0x61 and 0x82 0x41 are different characters.
bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size();) {
        const std::size_t n = CharLength(a, i);
        if (n == 2) {
            if (a[i] != b[i] || a[i + 1] != b[i + 1]) {
                return false;
            }
        } else if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
        i += n;
    }
    return true;
}

// The longest start of `s` of at most `max` bytes that does not split a double-byte character.
std::string_view CutValue(std::string_view s, std::size_t max) {
    if (s.size() <= max) {
        return s;
    }
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t n = CharLength(s, i);
        if (i + n > max) {
            break;
        }
        i += n;
    }
    return s.substr(0, i);
}

struct TLineInfo {
    enum Kind { kOther, kSection, kBrokenSection, kKey };
    Kind kind = kOther;
    std::string_view name;
    std::string_view value;
};

TLineInfo ParseLine(std::string_view line) {
    if (line.find('\0') != std::string_view::npos) {
        return {};
    }
    const std::string_view t = Trim(line);
    if (t.empty() || t[0] == ';') {
        return {};
    }
    if (t[0] == '[') {
        const std::size_t close = FindChar(t, ']', 1);
        if (close == std::string_view::npos) {
            return {TLineInfo::kBrokenSection, {}, {}};
        }
        return {TLineInfo::kSection, Trim(t.substr(1, close - 1)), {}};
    }
    // '=' (0x3D) never occurs as the second byte of a double-byte character.
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) {
        return {};
    }
    const std::string_view key = Trim(t.substr(0, eq));
    if (key.empty()) {
        return {};
    }
    return {TLineInfo::kKey, key, Trim(t.substr(eq + 1))};
}

// Calls visit(lineIndex, info) for every key line of the named section, in file order.
template <typename Visit>
void ForEachKeyIn(const std::vector<std::string>& lines, std::string_view section, Visit visit) {
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const TLineInfo info = ParseLine(lines[i]);
        switch (info.kind) {
            case TLineInfo::kSection:
                inSection = NamesEqual(info.name, section);
                break;
            case TLineInfo::kBrokenSection:
                inSection = false;
                break;
            case TLineInfo::kKey:
                if (inSection && !visit(i, info)) {
                    return;
                }
                break;
            case TLineInfo::kOther:
                break;
        }
    }
}

std::vector<std::string> SplitLines(std::string_view content) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? content.size() : end + 1;
        if (end == std::string_view::npos) {
            end = content.size();
        }
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.emplace_back(line);
        start = next;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

struct TFileState {
    bool exists = false;
    bool regular = false;
    struct stat info {};
    std::string content;
};

std::string FullPath(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    if (!cwd) {
        return path;
    }
    return std::string(cwd.get()) + "/" + path;
}

[[noreturn]] void ThrowWriteError(const std::string& path) {
    throw EIniFileError(FullPath(path) + " に書き込めません");
}

// Reads the file. For a read, anything unreadable counts as empty. For a write, an existing
// file that cannot be read is an error: writing it anew would lose its other lines.
TFileState LoadFile(const std::string& path, bool forWrite) {
    TFileState state;
    // O_NONBLOCK keeps a FIFO in place of the file from blocking the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return state;
        }
        state.exists = true;
        if (forWrite) {
            ThrowWriteError(path);
        }
        return state;
    }
    state.exists = true;
    if (fstat(fd, &state.info) != 0 || !S_ISREG(state.info.st_mode)) {
        close(fd);
        return state;
    }
    state.regular = true;
    char buffer[16384];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            state.content.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            close(fd);
            if (forWrite) {
                ThrowWriteError(path);
            }
            state.content.clear();
            return state;
        }
    }
    close(fd);
    return state;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The file a write replaces: through a symbolic link to its target, so the link stays.
std::string WriteTarget(const std::string& path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr),
                                                         &std::free);
        if (real) {
            return real.get();
        }
    }
    return path;
}

void SaveFile(const std::string& path, const std::string& data, const TFileState& state) {
    const std::string target = WriteTarget(path);
    const std::size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp =
        (slash == std::string::npos ? std::string() : folder) + "." + name + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        ThrowWriteError(path);
    }
    bool ok = true;
    if (state.regular) {
        // Keep the old file's owner and permissions. A new file is private to its owner (the
        // mode mkostemp gives): it holds pass phrases.
        // Only root may give a file away; for anyone else the file is his own anyway.
        [[maybe_unused]] const int owned = fchown(fd, state.info.st_uid, state.info.st_gid);
        ok = fchmod(fd, state.info.st_mode & 07777) == 0;
    }
    ok = ok && WriteAll(fd, data) && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        ThrowWriteError(path);
    }
    // Make the rename itself durable; the new file is in place whatever this gives.
    const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

std::mutex& WriteMutex() {
    static std::mutex mutex;
    return mutex;
}

// Reads the file, lets `edit` change its lines (it returns whether it changed anything) and
// writes the file back when it did.
template <typename Edit>
void ModifyFile(const std::string& path, Edit edit) {
    std::lock_guard lock(WriteMutex());
    const TFileState state = LoadFile(path, true);
    std::vector<std::string> lines = SplitLines(state.content);
    if (!edit(lines)) {
        return;
    }
    SaveFile(path, JoinLines(lines), state);
}

std::string_view CheckedSection(std::string_view section) {
    const std::string_view name = Trim(section);
    if (name.empty() || name.find_first_of(kLineBreaks) != std::string_view::npos ||
        FindChar(name, ']', 0) != std::string_view::npos) {
        throw std::invalid_argument("unusable INI section name");
    }
    return name;
}

std::string_view CheckedKey(std::string_view key) {
    const std::string_view name = Trim(key);
    if (name.empty() || name.find_first_of(kLineBreaks) != std::string_view::npos ||
        name.find('=') != std::string_view::npos || name[0] == ';' || name[0] == '[') {
        throw std::invalid_argument("unusable INI key name");
    }
    return name;
}

// A value holds one line; what follows a line break or NUL byte could not be read back and
// would otherwise turn into lines (keys, sections) of its own.
std::string_view OneLine(std::string_view value) {
    return value.substr(0, std::min(value.find_first_of(kLineBreaks), value.size()));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

}  // namespace

std::optional<int> ParseIniInteger(std::string_view text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::int64_t value = 0;
        for (const char c : text.substr(2)) {
            const int digit = HexDigit(c);
            if (digit < 0) {
                return std::nullopt;
            }
            value = value * 16 + digit;
            if (value > INT_MAX) {
                return std::nullopt;
            }
        }
        return static_cast<int>(value);
    }
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '+') {
        digits.remove_prefix(1);  // from_chars takes '-' but not '+'
        if (!digits.empty() && digits[0] == '-') {
            return std::nullopt;
        }
    }
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

std::string IniStoredValue(std::string_view value) {
    return std::string(CutValue(Trim(OneLine(value)), kIniValueBufferSize - 1));
}

TIniFile::TIniFile(std::string path) : FPath(std::move(path)) {}

std::optional<std::string> TIniFile::FindValue(std::string_view section,
                                               std::string_view key) const {
    const std::vector<std::string> lines = SplitLines(LoadFile(FPath, false).content);
    const std::string_view wantedSection = Trim(section);
    const std::string_view wantedKey = Trim(key);
    std::optional<std::string> found;
    ForEachKeyIn(lines, wantedSection, [&](std::size_t, const TLineInfo& info) {
        if (!NamesEqual(info.name, wantedKey)) {
            return true;
        }
        found = std::string(CutValue(info.value, kIniValueBufferSize - 1));
        return false;
    });
    return found;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view def) const {
    std::optional<std::string> value = FindValue(section, key);
    return value ? std::move(*value) : std::string(def);
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string_view sectionName = CheckedSection(section);
    const std::string_view keyName = CheckedKey(key);
    const std::string_view line = OneLine(value);
    ModifyFile(FPath, [&](std::vector<std::string>& lines) {
        bool inSection = false;
        bool inFirst = false;
        std::optional<std::size_t> firstHeader;
        std::optional<std::size_t> lastKeyOfFirst;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const TLineInfo info = ParseLine(lines[i]);
            switch (info.kind) {
                case TLineInfo::kSection:
                    inSection = NamesEqual(info.name, sectionName);
                    inFirst = inSection && !firstHeader;
                    if (inFirst) {
                        firstHeader = i;
                    }
                    break;
                case TLineInfo::kBrokenSection:
                    inSection = inFirst = false;
                    break;
                case TLineInfo::kKey:
                    if (inSection && NamesEqual(info.name, keyName)) {
                        std::string replaced = std::string(info.name) + "=" + std::string(line);
                        if (replaced == lines[i]) {
                            return false;
                        }
                        lines[i] = std::move(replaced);
                        return true;
                    }
                    if (inFirst) {
                        lastKeyOfFirst = i;
                    }
                    break;
                case TLineInfo::kOther:
                    break;
            }
        }
        std::string newLine = std::string(keyName) + "=" + std::string(line);
        if (firstHeader) {
            const std::size_t at = (lastKeyOfFirst ? *lastKeyOfFirst : *firstHeader) + 1;
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(newLine));
        } else {
            // Built piece by piece: GCC 12 at -O3 warns wrongly about "[" + string + "]".
            std::string header(1, '[');
            header.append(sectionName);
            header.push_back(']');
            lines.push_back(std::move(header));
            lines.push_back(std::move(newLine));
        }
        return true;
    });
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int def) const {
    const std::optional<std::string> text = FindValue(section, key);
    if (!text) {
        return def;
    }
    return ParseIniInteger(*text).value_or(def);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

std::string TIniFile::ReadHexBytes(std::string_view section, std::string_view key) const {
    const std::optional<std::string> text = FindValue(section, key);
    if (!text || text->size() % 2 != 0) {
        return {};
    }
    std::string bytes;
    bytes.reserve(text->size() / 2);
    for (std::size_t i = 0; i < text->size(); i += 2) {
        const int high = HexDigit((*text)[i]);
        const int low = HexDigit((*text)[i + 1]);
        if (high < 0 || low < 0) {
            return {};
        }
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

void TIniFile::WriteHexBytes(std::string_view section, std::string_view key,
                             std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    WriteString(section, key, text);
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key) {
    const std::string_view sectionName = Trim(section);
    const std::string_view keyName = Trim(key);
    ModifyFile(FPath, [&](std::vector<std::string>& lines) {
        std::vector<std::size_t> doomed;
        ForEachKeyIn(lines, sectionName, [&](std::size_t i, const TLineInfo& info) {
            if (NamesEqual(info.name, keyName)) {
                doomed.push_back(i);
            }
            return true;
        });
        for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*it));
        }
        return !doomed.empty();
    });
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
    const std::vector<std::string> lines = SplitLines(LoadFile(FPath, false).content);
    std::vector<std::string> names;
    ForEachKeyIn(lines, Trim(section), [&](std::size_t, const TLineInfo& info) {
        for (const std::string& known : names) {
            if (NamesEqual(known, info.name)) {
                return true;
            }
        }
        names.emplace_back(info.name);
        return true;
    });
    return names;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
    const std::string_view wanted = Trim(key);
    for (const std::string& name : ReadSection(section)) {
        if (NamesEqual(name, wanted)) {
            return true;
        }
    }
    return false;
}

bool TIniFile::SectionExists(std::string_view section) const {
    const std::vector<std::string> lines = SplitLines(LoadFile(FPath, false).content);
    const std::string_view wanted = Trim(section);
    for (const std::string& line : lines) {
        const TLineInfo info = ParseLine(line);
        if (info.kind == TLineInfo::kSection && NamesEqual(info.name, wanted)) {
            return true;
        }
    }
    return false;
}

}  // namespace vox
