#include "ui/ErrorAdvice.h"

#include <netdb.h>

#include <QRegularExpression>
#include <cerrno>

#include "platform/Cp932.h"

namespace vox::ui {

QString SystemErrorText(const QString& error) {
    static const QString kPrefix = QStringLiteral("Windows ");
    return error.startsWith(kPrefix) ? error.mid(kPrefix.size()) : error;
}

std::optional<int> SocketErrorCode(const QString& error) {
    static const QRegularExpression kCode(QStringLiteral("\\((-?\\d+)\\) \\[API '"));
    const QRegularExpressionMatch match = kCode.match(error);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const int code = match.captured(1).toInt(&ok);
    return ok ? std::optional<int>(code) : std::nullopt;
}

namespace {

bool FromLookUp(const QString& error) {
    return error.contains(QStringLiteral("[API 'getaddrinfo']"));
}

}  // namespace

QString ListenAdvice(const QString& error, int port) {
    const QString p = QString::number(port);
    switch (SocketErrorCode(error).value_or(0)) {
        case EADDRINUSE:
            return QStringLiteral(
                       "ポート %1 は他のプログラムが使用中です。設定で別のポートを選ぶか、"
                       "そのプログラムを終了してください。")
                .arg(p);
        case EACCES:
            return QStringLiteral(
                       "ポート %1 を使う権限がありません。1024 以上のポートを選んでください。")
                .arg(p);
        case EADDRNOTAVAIL:
            return QStringLiteral(
                       "ポート %1 で待ち受けできるアドレスがありません。ネットワークの接続を"
                       "確かめてください。")
                .arg(p);
        default:
            return QStringLiteral(
                       "ポート %1 で待ち受けできませんでした。設定で別のポートを選んでみてく"
                       "ださい。")
                .arg(p);
    }
}

QString CallAdvice(const QString& error, const QString& host, int port) {
    const QString where = host + QStringLiteral(" のポート ") + QString::number(port);
    const int code = SocketErrorCode(error).value_or(0);
    if (FromLookUp(error)) {
        if (code == EAI_NONAME || code == EAI_NODATA || code == EAI_FAIL) {
            return QStringLiteral(
                       "名前が見つかりません：%1。名前の綴りを確かめるか、アドレスで指定して"
                       "ください。")
                .arg(host);
        }
        return QStringLiteral(
                   "%1 の名前を調べられませんでした。ネットワークの接続を確かめてください。")
            .arg(host);
    }
    switch (code) {
        case ECONNREFUSED:
            return QStringLiteral(
                       "%1 では誰も待ち受けていません。相手に待ち受けを始めてもらうか、ポート"
                       "番号を確かめてください。")
                .arg(where);
        case ETIMEDOUT:
            return QStringLiteral(
                       "%1 から応答がありません。アドレスを確かめるか、相手のファイアウォールを"
                       "確かめてもらってください。")
                .arg(where);
        case EHOSTUNREACH:
        case ENETUNREACH:
            return QStringLiteral(
                       "%1 に届きません。アドレスとネットワークの接続を確かめてください。")
                .arg(host);
        default:
            return QStringLiteral(
                       "%1 に接続できませんでした。アドレスとポート番号を確かめてください。")
                .arg(where);
    }
}

QString WithAdvice(const QString& error, const QString& advice) {
    return SystemErrorText(error) + u'\n' + advice;
}

QString MicrophoneAdvice() {
    return QStringLiteral(
        "マイクが見つからないか、使えません。マイクをつないで、サウンドの設定を確か"
        "めてください。");
}

QString SpeakerAdvice() {
    return QStringLiteral(
        "スピーカーが見つからないか、使えません。スピーカーをつないで、サウンドの設定を"
        "確かめてください。");
}

QString CharactersLostInCp932(const QString& text) {
    const QList<uint> typed = text.toUcs4();
    const QList<uint> arrives =
        QString::fromStdString(Cp932ToUtf8(Utf8ToCp932(text.toStdString()))).toUcs4();
    QList<uint> lost;
    // Each character becomes one character or one "?": the two lists run side by side.
    const bool sideBySide = typed.size() == arrives.size();
    for (qsizetype i = 0; i < typed.size(); ++i) {
        const bool gone =
            sideBySide ? arrives[i] == u'?' && typed[i] != u'?' : !arrives.contains(typed[i]);
        if (gone && !lost.contains(typed[i])) {
            lost.push_back(typed[i]);
        }
    }
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(lost.constData()), lost.size());
}

}  // namespace vox::ui
