#include "platform/Cp932.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace vox {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Cp932Test, RoundTripsWhatWindowsUsersType) {
    struct Case {
        std::string utf8;
        std::string cp932;
    };
    const std::vector<Case> cases = {
        {"abc\\~", "abc\\~"},
        {"～", "\x81\x60"},
        {"①", "\x87\x40"},
        {"髙", "\xFB\xFC"},
        {"﨑", "\xFA\xB1"},
        {"ｱｲｳﾞ", "\xB1\xB2\xB3\xDE"},
        {"たろう", "\x82\xBD\x82\xEB\x82\xA4"},
        {"表", "\x95\x5C"},  // second byte is a backslash
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToCp932(c.utf8), c.cp932) << c.utf8;
        EXPECT_EQ(Cp932ToUtf8(c.cp932), c.utf8) << c.utf8;
    }
    EXPECT_EQ(Cp932ToUtf8(""), "");
    EXPECT_EQ(Utf8ToCp932(""), "");
    EXPECT_EQ(Cp932ToUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Cp932Test, BadBytesBecomeReplacementCharactersAndTheRestSurvives) {
    EXPECT_EQ(Cp932ToUtf8("a\x80"
                          "b"),
              "a" + kFffd + "b");
    EXPECT_EQ(Cp932ToUtf8("a\xA0"
                          "b"),
              "a" + kFffd + "b");
    EXPECT_EQ(Cp932ToUtf8("a\xFD\xFE\xFF"
                          "b"),
              "a" + kFffd + kFffd + kFffd + "b");
    // An unassigned pair is two bad bytes; its second byte does not turn into an '@'.
    EXPECT_EQ(Cp932ToUtf8("\x85\x40"
                          "x"),
              kFffd + kFffd + "x");
    // A lead byte followed by something that cannot follow it: only the lead byte is bad.
    EXPECT_EQ(Cp932ToUtf8("\x81 \x82\xA0"), kFffd + " あ");
    // A lone lead byte at the end.
    EXPECT_EQ(Cp932ToUtf8("ab\x82"), "ab" + kFffd);
    EXPECT_EQ(Cp932ToUtf8("\x82\xA0\x82"), "あ" + kFffd);
}

TEST(Cp932Test, UnrepresentableCharactersEncodeAsQuestionMarks) {
    EXPECT_EQ(Utf8ToCp932("a€b"), "a?b");
    EXPECT_EQ(Utf8ToCp932("😀あ"), "?\x82\xA0");
    // Malformed UTF-8: a stray continuation byte, a truncated sequence at the end.
    EXPECT_EQ(Utf8ToCp932("a\x80"
                          "b"),
              "a?b");
    EXPECT_EQ(Utf8ToCp932("a\xE3\x81"), "a??");
}

TEST(Cp932Test, LongTextsConvertWhole) {
    std::string cp932;
    std::string utf8;
    for (int i = 0; i < 5000; ++i) {
        cp932 += "\xB1\x82\xA0";  // ｱあ
        utf8 += "ｱあ";
    }
    EXPECT_EQ(Cp932ToUtf8(cp932), utf8);
    EXPECT_EQ(Utf8ToCp932(utf8), cp932);
}

TEST(Cp932Test, ConvertsOnSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int i = 0; i < 2000; ++i) {
                if (Cp932ToUtf8("\x82\xBD\x80\x82") != "た" + kFffd + kFffd ||
                    Utf8ToCp932("髙€") != "\xFB\xFC?") {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace vox
