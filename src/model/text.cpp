#include "model/text.h"

#include <QLocale>
#include <QTextBoundaryFinder>
#include <QTimeZone>

#include <algorithm>
#include <cmath>

namespace quenlo {

namespace {

bool isControlOrFormat(char32_t ucs)
{
    const auto category = QChar::category(ucs);
    return category == QChar::Other_Control || category == QChar::Other_Format;
}

bool isEdgeBlank(char32_t ucs) { return ucs == U'\t' || QChar::category(ucs) == QChar::Separator_Space; }

} // namespace

QString tidy(const QString &text, qsizetype limit)
{
    QString kept;
    kept.reserve(text.size());
    const QList<uint> scalars = text.toUcs4();
    qsizetype first = -1;
    qsizetype last = -1;
    std::u32string filtered;
    filtered.reserve(scalars.size());
    for (uint ucs : scalars) {
        if (isControlOrFormat(ucs))
            continue;
        filtered.push_back(ucs);
    }
    for (qsizetype i = 0; i < qsizetype(filtered.size()); ++i) {
        if (!isEdgeBlank(filtered[i])) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    if (first < 0)
        return {};
    kept = QString::fromUcs4(filtered.data() + first, last - first + 1);

    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, kept);
    qsizetype count = 0;
    while (graphemes.toNextBoundary() >= 0) {
        // Qt 6.4's finder reports some boundaries inside a surrogate pair (an emoji after an
        // Indic letter); a cut there would leave half a character behind.
        const qsizetype at = graphemes.position();
        if (at > 0 && at < kept.size() && kept.at(at).isLowSurrogate() && kept.at(at - 1).isHighSurrogate())
            continue;
        ++count;
        if (count == limit) {
            const qsizetype cut = graphemes.position();
            if (cut >= kept.size())
                return kept; // exactly limit characters
            return kept.left(cut) + QStringLiteral("…");
        }
    }
    if (limit <= 0 && !kept.isEmpty())
        return QStringLiteral("…");
    return kept;
}

bool isBlankText(const QString &text)
{
    return tidy(text, 1).isEmpty();
}

QString humanTime(double secondsSinceEpoch) { return humanTime(secondsSinceEpoch, QDateTime::currentDateTime()); }

QString humanTime(double secondsSinceEpoch, const QDateTime &now)
{
    // Keep absurd server values inside what QDateTime can hold (about ±292 million years).
    constexpr double limit = 9.0e12;
    const double seconds = std::isfinite(secondsSinceEpoch) ? std::clamp(secondsSinceEpoch, -limit, limit) : 0.0;
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(qint64(seconds * 1000.0)).toLocalTime();
    const QDate today = now.toLocalTime().date();
    const QLocale zh(QStringLiteral("zh_CN"));
    const QString clock = zh.toString(when.time(), QStringLiteral("HH:mm"));
    if (when.date() == today)
        return QStringLiteral("今天 ") + clock;
    if (when.date() == today.addDays(1))
        return QStringLiteral("明天 ") + clock;
    return zh.toString(when, QStringLiteral("M月d日 HH:mm"));
}

QString autosyncTitle(qint64 hours)
{
    if (hours == 0)
        return QStringLiteral("关闭");
    if (hours == 24)
        return QStringLiteral("每天");
    return QStringLiteral("每 ") + QString::number(hours) + QStringLiteral(" 小时");
}

} // namespace quenlo
