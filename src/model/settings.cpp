#include "model/settings.h"

#include <cstdlib>
#include <limits>

namespace quenlo {

QString ServiceAddress::base() const { return QStringLiteral("http://127.0.0.1:") + QString::number(port); }

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

Settings settingsFromEnvironment()
{
    Settings settings;
    settings.service.port = parseServicePort(std::getenv("LOCAL_LIBRARY_PORT"));
    return settings;
}

} // namespace quenlo
