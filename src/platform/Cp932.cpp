#include "platform/Cp932.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace vox {
namespace {

constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";  // U+FFFD

// One conversion descriptor per direction and thread: iconv_t keeps state and must not be
// shared between threads.
class TConverter {
  public:
    TConverter(const char* to, const char* from) : FTo(to), FFrom(from) {}
    ~TConverter() {
        if (FHandle != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(FHandle);
        }
    }
    TConverter(const TConverter&) = delete;
    TConverter& operator=(const TConverter&) = delete;

    iconv_t Handle() {
        if (FHandle == reinterpret_cast<iconv_t>(-1)) {
            FHandle = iconv_open(FTo, FFrom);
            if (FHandle == reinterpret_cast<iconv_t>(-1)) {
                throw std::runtime_error(std::string("iconv cannot convert from ") + FFrom +
                                         " to " + FTo);
            }
        }
        iconv(FHandle, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        return FHandle;
    }

  private:
    const char* FTo;
    const char* FFrom;
    iconv_t FHandle = reinterpret_cast<iconv_t>(-1);
};

// How many bytes make up the UTF-8 sequence at the start of `s`, when it is well formed as
// far as its lead and continuation bytes go; 1 otherwise.
std::size_t Utf8SequenceLength(std::string_view s) {
    const auto lead = static_cast<unsigned char>(s[0]);
    std::size_t n = 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
    }
    if (n > s.size()) {
        return 1;
    }
    for (std::size_t i = 1; i < n; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80 || c > 0xBF) {
            return 1;
        }
    }
    return n;
}

// How many bytes of a CP932 text that iconv refused at its start are bad: a lead byte with a
// proper trail byte is a pair naming no character, anything else is one bad byte.
std::size_t BadCp932Length(std::string_view s) {
    if (s.size() >= 2 && IsCp932LeadByte(static_cast<unsigned char>(s[0])) &&
        IsCp932TrailByte(static_cast<unsigned char>(s[1]))) {
        return 2;
    }
    return 1;
}

// Runs `in` through `cd`. At every place iconv refuses, `onBad` appends a replacement for the
// refused bytes and returns how many input bytes it stands for.
template <typename OnBad>
std::string Convert(iconv_t cd, std::string_view in, std::size_t capacity, OnBad onBad) {
    std::string out(capacity + 16, '\0');
    std::size_t used = 0;
    std::string_view rest = in;
    while (!rest.empty()) {
        char* inPtr = const_cast<char*>(rest.data());
        std::size_t inLeft = rest.size();
        char* outPtr = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        const int error = errno;
        used = static_cast<std::size_t>(outPtr - out.data());
        rest.remove_prefix(rest.size() - inLeft);
        if (result != static_cast<std::size_t>(-1)) {
            break;
        }
        if (error == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        if (rest.empty()) {
            break;
        }
        // EILSEQ (refused bytes) or EINVAL (an incomplete sequence at the end).
        std::string replacement;
        const std::size_t skipped = onBad(rest, replacement);
        rest.remove_prefix(skipped);
        if (out.size() - used < replacement.size()) {
            out.resize(out.size() * 2 + replacement.size());
        }
        out.replace(used, replacement.size(), replacement);
        used += replacement.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
    return out;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view cp932) {
    thread_local TConverter converter("UTF-8", "CP932");
    // Every byte gives at most three UTF-8 bytes (half-width katakana, U+FFFD).
    return Convert(converter.Handle(), cp932, cp932.size() * 3,
                   [](std::string_view rest, std::string& replacement) {
                       const std::size_t n = BadCp932Length(rest);
                       for (std::size_t i = 0; i < n; ++i) {
                           replacement += kReplacementUtf8;
                       }
                       return n;
                   });
}

std::string Utf8ToCp932(std::string_view utf8) {
    thread_local TConverter converter("CP932", "UTF-8");
    // No character grows when encoded.
    return Convert(converter.Handle(), utf8, utf8.size(),
                   [](std::string_view rest, std::string& replacement) {
                       replacement = "?";
                       return Utf8SequenceLength(rest);
                   });
}

}  // namespace vox
