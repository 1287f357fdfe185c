// A received pass phrase through DecodePassPhrase, keyed by the caller's name: the input is
// the name, a zero byte, then the encoded pass phrase. Decoding keeps the length up to the
// first zero byte, and encoding the result gives the received bytes back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "wire/PassPhrase.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = all.find('\0');
    const std::string_view key = cut == std::string_view::npos ? all : all.substr(0, cut);
    const std::string_view text =
        cut == std::string_view::npos ? std::string_view() : all.substr(cut + 1);

    const std::string plain = vox::DecodePassPhrase(key, text);
    if (plain.size() > text.size() || plain.find('\0') != std::string::npos) {
        std::fprintf(stderr, "a decoded pass phrase grew or kept a zero byte\n");
        std::abort();
    }
    if (plain.size() == text.size() && vox::EncodePassPhrase(key, plain) != text) {
        std::fprintf(stderr, "encoding the decoded pass phrase does not give it back\n");
        std::abort();
    }
    return 0;
}
