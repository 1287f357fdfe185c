// The plain lines that go with failures, and the characters a chat line would lose.
#include "ui/ErrorAdvice.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

namespace vox::ui {
namespace {

QString SocketError(int code, const char* api) {
    return QStringLiteral("Windows ソケットエラー： text (%1) [API '%2']").arg(code).arg(api);
}

TEST(ErrorAdviceTest, TheSocketTextLosesTheForeignPrefixAndKeepsTheRest) {
    const QString error = SocketError(ECONNREFUSED, "connect");
    EXPECT_EQ(SystemErrorText(error),
              QStringLiteral("ソケットエラー： text (111) [API 'connect']"));
    EXPECT_EQ(SystemErrorText(QStringLiteral("other")), QStringLiteral("other"));
    EXPECT_EQ(SocketErrorCode(error), ECONNREFUSED);
    EXPECT_EQ(SocketErrorCode(SocketError(EAI_NONAME, "getaddrinfo")), EAI_NONAME);
    EXPECT_FALSE(SocketErrorCode(QStringLiteral("Write エラー 110, timed out")).has_value());
    EXPECT_EQ(WithAdvice(error, QStringLiteral("try")),
              QStringLiteral("ソケットエラー： text (111) [API 'connect']\ntry"));
}

TEST(ErrorAdviceTest, CallsNameWhatFailedWithHostAndPort) {
    EXPECT_TRUE(CallAdvice(SocketError(ECONNREFUSED, "connect"), "pc", 9911)
                    .startsWith(QStringLiteral("pc のポート 9911 では誰も待ち受けていません。")));
    EXPECT_TRUE(CallAdvice(SocketError(ETIMEDOUT, "connect"), "pc", 9911)
                    .startsWith(QStringLiteral("pc のポート 9911 から応答がありません。")));
    EXPECT_TRUE(CallAdvice(SocketError(EAI_NONAME, "getaddrinfo"), "nopc", 9911)
                    .startsWith(QStringLiteral("名前が見つかりません：nopc。")));
    EXPECT_TRUE(CallAdvice(SocketError(EHOSTUNREACH, "connect"), "pc", 9911)
                    .startsWith(QStringLiteral("pc に届きません。")));
    EXPECT_TRUE(CallAdvice(QStringLiteral("odd"), "pc", 9911).contains(QStringLiteral("9911")));
}

TEST(ErrorAdviceTest, ListenersNameThePort) {
    EXPECT_TRUE(ListenAdvice(SocketError(EADDRINUSE, "bind"), 9911)
                    .startsWith(QStringLiteral("ポート 9911 は他のプログラムが使用中です。")));
    EXPECT_TRUE(ListenAdvice(SocketError(EACCES, "bind"), 80)
                    .startsWith(QStringLiteral("ポート 80 を使う権限がありません。")));
    EXPECT_TRUE(ListenAdvice(QStringLiteral("odd"), 9911).contains(QStringLiteral("9911")));
}

TEST(ErrorAdviceTest, CharactersShiftJisCannotCarryEachOnce) {
    EXPECT_EQ(CharactersLostInCp932(QStringLiteral("髙橋～①ｱ? abc")), QString());
    EXPECT_EQ(CharactersLostInCp932(QStringLiteral("😀a😀𠮷안")), QStringLiteral("😀𠮷안"));
    EXPECT_EQ(CharactersLostInCp932(QString()), QString());
}

}  // namespace
}  // namespace vox::ui
