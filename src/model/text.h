#pragma once

#include <QDateTime>
#include <QString>

namespace quenlo {

/// One menu line from any text: control and format characters dropped, blanks trimmed at the
/// ends, cut to \a limit user-perceived characters with "…" appended when longer.
QString tidy(const QString &text, qsizetype limit = 24);
/// True when \a text holds nothing to read: only blanks, control and format characters.
bool isBlankText(const QString &text);

/// "今天 HH:mm", "明天 HH:mm" or "M月d日 HH:mm" in the local time zone.
QString humanTime(double secondsSinceEpoch);
/// The same relative to \a now (tests pin the clock with it).
QString humanTime(double secondsSinceEpoch, const QDateTime &now);

/// "关闭", "每天" or "每 N 小时".
QString autosyncTitle(qint64 hours);

} // namespace quenlo
