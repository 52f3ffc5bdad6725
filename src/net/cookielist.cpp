#include "net/cookielist.h"

namespace quenlo {

namespace {

// libcurl writes "TRUE"/"FALSE" and reads them without regard to case.
bool flag(QByteArrayView field)
{
    return field.compare("TRUE", Qt::CaseInsensitive) == 0;
}

constexpr QByteArrayView httpOnlyMarker("#HttpOnly_");

} // namespace

std::optional<NetscapeCookie> parseCookieLine(QByteArrayView line)
{
    while (!line.isEmpty() && (line.back() == '\n' || line.back() == '\r'))
        line.chop(1);
    if (line.isEmpty())
        return std::nullopt;

    NetscapeCookie cookie;
    if (line.startsWith(httpOnlyMarker)) {
        cookie.httpOnly = true;
        line = line.sliced(httpOnlyMarker.size());
    } else if (line.front() == '#') {
        return std::nullopt;
    }

    QByteArrayView fields[6];
    for (QByteArrayView &field : fields) {
        const qsizetype tab = line.indexOf('\t');
        if (tab < 0)
            return std::nullopt;
        field = line.first(tab);
        line = line.sliced(tab + 1);
    }
    bool isNumber = false;
    cookie.expires = fields[4].toLongLong(&isNumber);
    if (!isNumber)
        return std::nullopt;
    cookie.domain = fields[0].toByteArray();
    cookie.includeSubdomains = flag(fields[1]);
    cookie.path = fields[2].toByteArray();
    cookie.secure = flag(fields[3]);
    cookie.name = fields[5].toByteArray();
    cookie.value = line.toByteArray();
    return cookie;
}

QList<NetscapeCookie> parseCookieList(const QList<QByteArray> &lines)
{
    QList<NetscapeCookie> cookies;
    for (const QByteArray &line : lines) {
        if (std::optional<NetscapeCookie> cookie = parseCookieLine(line))
            cookies.append(std::move(*cookie));
    }
    return cookies;
}

} // namespace quenlo
