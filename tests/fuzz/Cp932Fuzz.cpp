// Text at the byte boundaries, both ways. CP932 bytes from a partner or a settings file
// always decode to well-formed UTF-8, and what decodes without a replacement character
// survives encoding and decoding again. Any UTF-8 (or not) encodes to CP932 that decodes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Cp932.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n >= s.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += n + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::string unicode = vox::Cp932ToUtf8(bytes);
    if (!IsUtf8(unicode)) {
        Fail("decoded CP932 is not well-formed UTF-8");
    }
    if (unicode.find("\xEF\xBF\xBD") == std::string::npos) {
        const std::string again = vox::Utf8ToCp932(unicode);
        if (vox::Cp932ToUtf8(again) != unicode) {
            Fail("a decoded text does not survive encoding and decoding");
        }
    }

    const std::string encoded = vox::Utf8ToCp932(bytes);
    if (encoded.size() > bytes.size()) {
        Fail("encoding made a text longer");
    }
    if (!IsUtf8(vox::Cp932ToUtf8(encoded))) {
        Fail("encoded text does not decode");
    }
    return 0;
}
