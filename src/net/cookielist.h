#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

namespace quenlo {

/// \brief One cookie as libcurl's cookie engine lists it (CURLINFO_COOKIELIST, Netscape format).
struct NetscapeCookie {
    QByteArray domain; ///< without the "#HttpOnly_" marker; a leading "." means any subdomain
    bool httpOnly = false;
    bool includeSubdomains = false;
    QByteArray path;
    bool secure = false;
    qint64 expires = 0; ///< seconds since the epoch; 0 for a session cookie
    QByteArray name;
    QByteArray value;

    bool operator==(const NetscapeCookie &) const = default;
};

/// Parses one line "domain TAB subdomains TAB path TAB secure TAB expires TAB name TAB value".
/// Nothing for an empty line, a comment, fewer than seven fields or an expiry that is not an
/// integer. A value may itself contain tabs (libcurl accepts them), so everything after the
/// sixth tab is the value. Trailing CR/LF are ignored; any other byte is taken as it is.
std::optional<NetscapeCookie> parseCookieLine(QByteArrayView line);

/// Every parsable line of \a lines, in their order.
QList<NetscapeCookie> parseCookieList(const QList<QByteArray> &lines);

} // namespace quenlo
