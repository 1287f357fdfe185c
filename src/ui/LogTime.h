// The date and time in front of every log and chat line: the locale's short date, a blank and
// the locale's long time, the time left out at exactly midnight.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace vox {

// The locale's long time format without its time-zone part ("HH:mm:ss t" -> "HH:mm:ss"):
// a log line tells the wall-clock time, as the clock in the corner shows it.
QString LongTimeFormatOf(const QLocale& locale);

// "<short date> <long time>", or the short date alone when the time is exactly 00:00:00.000.
QString FormatLogTime(const QDateTime& moment, const QLocale& locale = QLocale::system());

}  // namespace vox
