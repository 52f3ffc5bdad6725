// libcurl's cookie list lines: each line of the input to parseCookieLine(), the whole input
// to parseCookieList(). A parsed cookie written back in the same format must read the same.

#include "fuzzcheck.h"

#include "net/cookielist.h"

using namespace quenlo;
using namespace quenlo::fuzz;

namespace {

QByteArray written(const NetscapeCookie &c)
{
    const QByteArray flag[2] = { "FALSE", "TRUE" };
    return (c.httpOnly ? QByteArray("#HttpOnly_") : QByteArray()) + c.domain + '\t' + flag[c.includeSubdomains] + '\t'
        + c.path + '\t' + flag[c.secure] + '\t' + QByteArray::number(c.expires) + '\t' + c.name + '\t' + c.value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QList<QByteArray> lines = bytes.split('\n');
    const QList<NetscapeCookie> cookies = parseCookieList(lines);
    qsizetype parsed = 0;
    for (const QByteArray &line : lines) {
        const std::optional<NetscapeCookie> cookie = parseCookieLine(line);
        if (!cookie)
            continue;
        check(parsed < cookies.size() && cookies.at(parsed) == *cookie, "the list keeps every parsable line, in order");
        ++parsed;
        check(!cookie->domain.contains('\t') && !cookie->name.contains('\t') && !cookie->path.contains('\t'),
            "the six leading fields hold no tab");
        check(!cookie->value.endsWith('\n') && !cookie->value.endsWith('\r'), "line ends are not part of the value");
        const std::optional<NetscapeCookie> again = parseCookieLine(written(*cookie));
        check(again && *again == *cookie, "a cookie written back reads the same",
            QString::fromUtf8(written(*cookie).toPercentEncoding()));
    }
    check(parsed == cookies.size(), "the list holds nothing else");
    // The whole input as one line (a value may hold anything but the line end).
    Q_UNUSED(parseCookieLine(bytes))
    return 0;
}
