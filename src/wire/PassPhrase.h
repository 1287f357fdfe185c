// The scrambling of pass phrases for the connect packet and the settings file: a keyed byte
// substitution followed by a swap of neighbouring bytes. It hides a pass phrase from a glance
// at a packet or a file; it is not encryption.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vox {

// The substitution table: entry i is the byte that replaces byte value i.
using SubstitutionTable = std::array<std::uint8_t, 256>;

// The linear congruential generator behind the table. Each table build seeds its own.
class TPassPhraseRandom {
  public:
    explicit TPassPhraseRandom(std::uint32_t seed) : FState(seed) {}
    // Advances the state and returns a value from 0 to range - 1 (range 1 to 256).
    std::uint32_t Next(std::uint32_t range);
    std::uint32_t State() const { return FState; }

  private:
    std::uint32_t FState;
};

// Sum of the key's bytes modulo 256; 0 for an empty key.
std::uint8_t KeySum(std::string_view key);

// A permutation of 0..255 in which 0, 127 and 255 stay in place.
SubstitutionTable MakeSubstitutionTable(std::uint8_t seed);

// Both keep the length of the text. Texts and keys are byte strings (CP932).
std::string EncodePassPhrase(std::string_view key, std::string_view text);
// The result is cut at its first zero byte, if any.
std::string DecodePassPhrase(std::string_view key, std::string_view text);

}  // namespace vox
