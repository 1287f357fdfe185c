#include "ui/LogTime.h"

namespace vox {

QString LongTimeFormatOf(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == u'\'') {
            quoted = !quoted;
        } else if (!quoted && c == u't') {
            continue;  // the time zone
        }
        result += c;
    }
    return result.simplified();
}

QString FormatLogTime(const QDateTime& moment, const QLocale& locale) {
    QString date = locale.toString(moment.date(), QLocale::ShortFormat);
    if (moment.time() == QTime(0, 0)) {
        return date;
    }
    return date + u' ' + locale.toString(moment.time(), LongTimeFormatOf(locale));
}

}  // namespace vox
