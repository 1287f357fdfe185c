// A settings file of any bytes, read the way the program reads it: the raw INI reader on the
// sections and keys the file names itself, then the program's own settings and partner
// history. Every value read has the documented shape, and a key written into the same file
// reads back as written while the file's other keys stay as they were.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/IniFile.h"
#include "settings/Settings.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

const std::string& ScratchPath() {
    static const std::string path = [] {
        char dir[] = "/tmp/vox-fuzz-ini.XXXXXX";
        if (::mkdtemp(dir) == nullptr) {
            Fail("no scratch folder");
        }
        return std::string(dir) + "/Voxilen.Ini";
    }();
    return path;
}

// Section names as the file spells them: the text between '[' and ']' on a line.
std::vector<std::string> SectionNames(std::string_view bytes) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < bytes.size() && names.size() < 16) {
        const std::size_t open = bytes.find('[', at);
        if (open == std::string_view::npos) {
            break;
        }
        const std::size_t close = bytes.find_first_of("]\r\n", open + 1);
        if (close == std::string_view::npos) {
            break;
        }
        if (bytes[close] == ']' && close > open + 1) {
            names.emplace_back(bytes.substr(open + 1, close - open - 1));
        }
        at = close + 1;
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = ScratchPath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vox::TIniFile ini(path);

    std::vector<std::string> sections = SectionNames(bytes);
    sections.push_back("Global");
    for (const std::string& section : sections) {
        for (const std::string& key : ini.ReadSection(section)) {
            if (key.empty()) {
                Fail("a listed key is empty");
            }
            if (!ini.ValueExists(section, key)) {
                Fail("a listed key does not exist");
            }
            const std::string value = ini.ReadString(section, key, "");
            if (value.size() >= vox::kIniValueBufferSize) {
                Fail("a value is longer than the read buffer");
            }
            // A lone CR inside a line is an ordinary byte of it; LF ends a line, and a line
            // holding a zero byte is skipped.
            if (value.find_first_of(std::string_view("\n\0", 2)) != std::string::npos) {
                Fail("a value holds a line feed or a zero byte");
            }
            (void)ini.ReadInteger(section, key, 7);
            (void)ini.ReadHexBytes(section, key);
        }
    }

    // The program's own reading of the file must never fail.
    try {
        (void)vox::LoadSettings(path);
        (void)vox::ReadPartnerNames(path);
        (void)vox::ReadTransFormPosition(path, 10, 20);
    } catch (const std::exception&) {
        Fail("reading the settings raised an error");
    }

    // A write changes the one key only.
    std::vector<std::string> before;
    for (const std::string& section : sections) {
        for (const std::string& key : ini.ReadSection(section)) {
            before.push_back(section + '\x01' + key + '\x01' + ini.ReadString(section, key, ""));
        }
    }
    const std::string value(bytes.substr(0, std::min<std::size_t>(bytes.size(), 40)));
    try {
        ini.WriteString("Fuzz", "Key", value);
    } catch (const vox::EIniFileError&) {
        Fail("writing the scratch file failed");
    }
    if (ini.ReadString("Fuzz", "Key", "") != vox::IniStoredValue(value)) {
        Fail("a written value does not read back");
    }
    std::vector<std::string> after;
    for (const std::string& section : sections) {
        if (section.size() == 4 && (section[0] | 0x20) == 'f' && (section[1] | 0x20) == 'u' &&
            (section[2] | 0x20) == 'z' && (section[3] | 0x20) == 'z') {
            continue;
        }
        for (const std::string& key : ini.ReadSection(section)) {
            after.push_back(section + '\x01' + key + '\x01' + ini.ReadString(section, key, ""));
        }
    }
    before.erase(std::remove_if(before.begin(), before.end(),
                                [](const std::string& entry) {
                                    const std::string s = entry.substr(0, entry.find('\x01'));
                                    return s.size() == 4 && (s[0] | 0x20) == 'f' &&
                                           (s[1] | 0x20) == 'u' && (s[2] | 0x20) == 'z' &&
                                           (s[3] | 0x20) == 'z';
                                }),
                 before.end());
    if (before != after) {
        Fail("writing one key changed another");
    }
    return 0;
}
