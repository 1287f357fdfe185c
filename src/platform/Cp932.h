// Conversion between CP932 (the Japanese Windows code page) and UTF-8. Every text that travels
// on the wire or rests in the settings file is CP932; the user interface works in Unicode.
#pragma once

#include <string>
#include <string_view>

namespace vox {

// Decodes CP932 bytes. A byte that is not valid CP932 (0x80, 0xA0, 0xFD to 0xFF, a lead byte
// without a trail byte) becomes U+FFFD; a lead byte and a trail byte that together name no
// character become two U+FFFD. The rest of the text is decoded as usual.
std::string Cp932ToUtf8(std::string_view cp932);

// Encodes UTF-8 text. A character CP932 cannot represent, and each byte of a malformed UTF-8
// sequence, becomes '?'.
std::string Utf8ToCp932(std::string_view utf8);

// True for a byte that begins a double-byte CP932 character.
constexpr bool IsCp932LeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// True for a byte that may follow a lead byte.
constexpr bool IsCp932TrailByte(unsigned char c) {
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

}  // namespace vox
