#include "wire/PassPhrase.h"

#include <utility>

namespace vox {

std::uint32_t TPassPhraseRandom::Next(std::uint32_t range) {
    FState = FState * 134775813u + 1u;  // wraps modulo 2^32
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(FState) * range) >> 32);
}

std::uint8_t KeySum(std::string_view key) {
    std::uint8_t sum = 0;
    for (char c : key) {
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
    }
    return sum;
}

namespace {

bool IsFixedPoint(std::uint32_t v) {
    return v == 0 || v == 127 || v == 255;
}

void SwapPairs(std::string& s) {
    for (std::size_t k = 0; k + 1 < s.size(); k += 2) {
        std::swap(s[k], s[k + 1]);
    }
}

}  // namespace

SubstitutionTable MakeSubstitutionTable(std::uint8_t seed) {
    SubstitutionTable table{};
    for (int i = 0; i < 256; ++i) {
        table[i] = static_cast<std::uint8_t>(i);
    }
    TPassPhraseRandom random(seed);
    for (std::uint32_t n = 255; n >= 1; --n) {
        const std::uint32_t p = random.Next(n + 1);  // advances also when nothing is exchanged
        if (!IsFixedPoint(n) && !IsFixedPoint(p)) {
            std::swap(table[n], table[p]);
        }
    }
    return table;
}

std::string EncodePassPhrase(std::string_view key, std::string_view text) {
    const SubstitutionTable table = MakeSubstitutionTable(KeySum(key));
    std::string out(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        out[i] = static_cast<char>(table[static_cast<std::uint8_t>(text[i])]);
    }
    SwapPairs(out);
    return out;
}

std::string DecodePassPhrase(std::string_view key, std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const SubstitutionTable table = MakeSubstitutionTable(KeySum(key));
    SubstitutionTable inverse{};
    for (int j = 255; j >= 0; --j) {  // the lowest j wins, as a search from 0 upwards would
        inverse[table[j]] = static_cast<std::uint8_t>(j);
    }
    std::string buf(text);
    SwapPairs(buf);
    for (char& c : buf) {
        c = static_cast<char>(inverse[static_cast<std::uint8_t>(c)]);
    }
    const auto zero = buf.find('\0');
    if (zero != std::string::npos) {
        buf.resize(zero);
    }
    return buf;
}

}  // namespace vox
