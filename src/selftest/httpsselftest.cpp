#include "selftest/selftest.h"

#include "net/localapi.h"
#include "net/quenloapi.h"
#include "selftest/selftestoutput.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace quenlo {

namespace {

const QString sessionPath = QStringLiteral("/api/session");

/// Everything until the writer closes the input; nothing when reading fails.
std::optional<QByteArray> readToEnd(std::FILE *in)
{
    QByteArray bytes;
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, in)) > 0)
        bytes.append(chunk, qsizetype(got));
    if (std::ferror(in))
        return std::nullopt;
    return bytes;
}

/// "token" of an object holding only strings; "" for anything else, which the server then
/// turns down like any wrong code.
QString loginCode(const QJsonDocument &document)
{
    if (!document.isObject())
        return QString();
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return QString();
    }
    return object.value(QStringLiteral("token")).toString();
}

/// The same line for every cause, so a script has one line to look for.
int failed(std::FILE *out)
{
    printLine(out, QStringLiteral("HTTPS connection selftest failed"));
    return 1;
}

} // namespace

int runHTTPSSelfTest(const Settings &settings)
{
    // Without persist the secret store is neither read nor written: a test login never
    // replaces the user's session.
    QuenloAPI api(false, settings.nas);
    return runHTTPSSelfTest(api, stdin, stdout);
}

int runHTTPSSelfTest(QuenloAPI &api, std::FILE *in, std::FILE *out)
{
    const std::optional<QByteArray> input = readToEnd(in);
    if (!input)
        return failed(out);
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(*input, &error);
    if (error.error != QJsonParseError::NoError || !(document.isObject() || document.isArray()))
        return failed(out);

    if (!api.call(sessionPath, QJsonObject { { QStringLiteral("token"), loginCode(document) } }).ok())
        return failed(out);
    // The GET carries the session cookie the login just kept in api.
    const QuenloResult session = api.call(sessionPath, std::nullopt);
    if (!session.ok())
        return failed(out);
    if (boolKey(*session.reply, QStringLiteral("authenticated")).value_or(false)) {
        printLine(out, QStringLiteral("HTTPS login and authenticated session: OK"));
        return 0;
    }
    return 1;
}

} // namespace quenlo
