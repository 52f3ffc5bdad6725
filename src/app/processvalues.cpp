#include "app/processvalues.h"

#include <atomic>
#include <cstdlib>
#include <limits>

namespace quenlo {

namespace {
std::atomic<qint64> g_port{defaultServicePort};
}

qint64 servicePort() { return g_port.load(); }

QString serviceBase() { return QStringLiteral("http://127.0.0.1:") + QString::number(servicePort()); }

void setServicePort(qint64 port) { g_port.store(port); }

qint64 parseServicePort(const char *value)
{
    if (value == nullptr || *value == '\0')
        return defaultServicePort;
    const char *p = value;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (*p == '\0')
        return defaultServicePort;
    // Accumulate towards the negative side: its range is one larger, so INT64_MIN parses too.
    qint64 acc = 0;
    constexpr qint64 min = std::numeric_limits<qint64>::min();
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return defaultServicePort;
        const int digit = *p - '0';
        if (acc < (min + digit) / 10)
            return defaultServicePort;
        acc = acc * 10 - digit;
    }
    if (!negative) {
        if (acc == min)
            return defaultServicePort;
        return -acc;
    }
    return acc;
}

void initProcessValues() { setServicePort(parseServicePort(std::getenv("LOCAL_LIBRARY_PORT"))); }

const QList<QPair<QString, QString>> &jobLabels()
{
    static const QList<QPair<QString, QString>> labels = {
        {QStringLiteral("all"), QStringLiteral("更新知识星球")},
        {QStringLiteral("zsxq"), QStringLiteral("知识星球同步")},
        {QStringLiteral("dedao"), QStringLiteral("得到缓存")},
        {QStringLiteral("youtube"), QStringLiteral("YouTube 下载")},
    };
    return labels;
}

std::optional<QString> jobLabel(const QString &kind)
{
    for (const auto &[key, label] : jobLabels()) {
        if (key == kind)
            return label;
    }
    return std::nullopt;
}

} // namespace quenlo
