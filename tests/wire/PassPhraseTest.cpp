#include "wire/PassPhrase.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace vox {
namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

// CP932 bytes of "たろう" and "ひみつ123".
const std::string kTaroKana = Bytes({0x82, 0xBD, 0x82, 0xEB, 0x82, 0xA4});
const std::string kHimitsu123 = Bytes({0x82, 0xD0, 0x82, 0xDD, 0x82, 0xC2, '1', '2', '3'});

TEST(PassPhraseRandom, MatchesItsCheckValues) {
    TPassPhraseRandom random(0);
    EXPECT_EQ(random.Next(256), 0u);
    EXPECT_EQ(random.State(), 1u);
    EXPECT_EQ(random.Next(256), 8u);
    EXPECT_EQ(random.State(), 134775814u);
    EXPECT_EQ(random.Next(256), 220u);
    EXPECT_EQ(random.State(), 3698175007u);
}

TEST(PassPhrase, KeySumWrapsModulo256) {
    EXPECT_EQ(KeySum(""), 0);
    EXPECT_EQ(KeySum("A"), 65);
    EXPECT_EQ(KeySum("taro"), 182);
    EXPECT_EQ(KeySum(kTaroKana), 210);
    EXPECT_EQ(KeySum(Bytes({0x80, 0x80})), 0);
}

TEST(PassPhrase, SubstitutionTableMatchesIndependentValues) {
    const SubstitutionTable zero = MakeSubstitutionTable(0);
    const int expected1to8[] = {0xE9, 0xF5, 0xD0, 0x03, 0x4E, 0x93, 0x6F, 0x07};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(zero[1 + i], expected1to8[i]) << "entry " << 1 + i;
    }
    EXPECT_EQ(zero[253], 0xDA);
    EXPECT_EQ(zero[254], 0x08);

    const SubstitutionTable x5a = MakeSubstitutionTable(0x5A);
    const int expected41to48[] = {0xED, 0xD1, 0x7E, 0x44, 0x9B, 0xEB, 0xB0, 0xC8};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(x5a[0x41 + i], expected41to48[i]) << "entry " << 0x41 + i;
    }
}

TEST(PassPhrase, EveryTableIsAPermutationKeepingTheFixedPoints) {
    for (int seed = 0; seed < 256; ++seed) {
        const SubstitutionTable table = MakeSubstitutionTable(static_cast<std::uint8_t>(seed));
        EXPECT_EQ(std::set<int>(table.begin(), table.end()).size(), 256u);
        EXPECT_EQ(table[0], 0);
        EXPECT_EQ(table[127], 127);
        EXPECT_EQ(table[255], 255);
        for (int i = 1; i < 255; ++i) {
            if (i != 127) {
                EXPECT_NE(table[i], 0);
                EXPECT_NE(table[i], 127);
                EXPECT_NE(table[i], 255);
            }
        }
    }
}

TEST(PassPhrase, EncodesToKnownBytes) {
    EXPECT_EQ(EncodePassPhrase("", Bytes({0xFE, 0xFD})), Bytes({0xDA, 0x08}));
    EXPECT_EQ(EncodePassPhrase("A", "a"), Bytes({0x82}));
    EXPECT_EQ(EncodePassPhrase("taro", "secret"), Bytes({0xC2, 0x94, 0xB8, 0xF9, 0x26, 0xC2}));
    EXPECT_EQ(EncodePassPhrase(kTaroKana, kHimitsu123),
              Bytes({0xAA, 0xE8, 0x7A, 0xE8, 0x73, 0xE8, 0x03, 0xCF, 0xA0}));
}

TEST(PassPhrase, SwapsPairsAndLeavesAnOddLastByte) {
    const SubstitutionTable table = MakeSubstitutionTable(KeySum("k"));
    const std::string two = EncodePassPhrase("k", "ab");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(static_cast<std::uint8_t>(two[0]), table['b']);
    EXPECT_EQ(static_cast<std::uint8_t>(two[1]), table['a']);
    const std::string one = EncodePassPhrase("k", "x");
    EXPECT_EQ(static_cast<std::uint8_t>(one[0]), table['x']);
    // 0x7F and 0xFF are never substituted, only moved by the swap.
    EXPECT_EQ(EncodePassPhrase("k", Bytes({0x7F, 0xFF, 0x7F})), Bytes({0xFF, 0x7F, 0x7F}));
}

TEST(PassPhrase, DecodingReversesEncodingForEveryKeySum) {
    std::string text;
    for (int b = 1; b < 256; ++b) {
        text.push_back(static_cast<char>(b));
    }
    for (int sum = 0; sum < 256; ++sum) {
        const std::string key(1, static_cast<char>(sum));
        const std::string encoded = EncodePassPhrase(key, text);
        ASSERT_EQ(encoded.size(), text.size());
        EXPECT_EQ(encoded.find('\0'), std::string::npos);
        EXPECT_EQ(DecodePassPhrase(key, encoded), text) << "key sum " << sum;
    }
    EXPECT_EQ(DecodePassPhrase(kTaroKana, EncodePassPhrase(kTaroKana, kHimitsu123)), kHimitsu123);
}

TEST(PassPhrase, EmptyTextsAndKeysWithEqualSums) {
    EXPECT_EQ(EncodePassPhrase("taro", ""), "");
    EXPECT_EQ(DecodePassPhrase("taro", ""), "");
    // Same bytes in another order, and the empty key against a key summing to 256.
    EXPECT_EQ(EncodePassPhrase("taro", "secret"), EncodePassPhrase("orat", "secret"));
    EXPECT_EQ(EncodePassPhrase("", "secret"), EncodePassPhrase(Bytes({0x80, 0x80}), "secret"));
}

TEST(PassPhrase, WrongKeyGivesOtherTextOfTheSameLength) {
    const std::string encoded = EncodePassPhrase("taro", "secret");
    const std::string decoded = DecodePassPhrase("jiro", encoded);
    EXPECT_EQ(decoded.size(), 6u);
    EXPECT_NE(decoded, "secret");
}

TEST(PassPhrase, DecodingCutsAtAZeroByte) {
    // A zero byte maps to zero, so it survives decoding and ends the text.
    const std::string encoded = EncodePassPhrase("k", std::string("ab\0cd", 5));
    EXPECT_EQ(DecodePassPhrase("k", encoded), "ab");
}

}  // namespace
}  // namespace vox
