#include "net/cookielist.h"

#include <QtTest>

using namespace quenlo;

Q_DECLARE_METATYPE(quenlo::NetscapeCookie)

namespace quenlo {
char *toString(const NetscapeCookie &c)
{
    const QByteArray text = "domain=" + c.domain + " httpOnly=" + QByteArray::number(c.httpOnly) + " subdomains="
        + QByteArray::number(c.includeSubdomains) + " path=" + c.path + " secure=" + QByteArray::number(c.secure)
        + " expires=" + QByteArray::number(c.expires) + " name=" + c.name + " value=" + c.value.toPercentEncoding();
    return qstrdup(text.constData());
}
} // namespace quenlo

namespace {

NetscapeCookie cookie(QByteArray domain, bool httpOnly, bool subdomains, QByteArray path, bool secure, qint64 expires,
    QByteArray name, QByteArray value)
{
    return { std::move(domain), httpOnly, subdomains, std::move(path), secure, expires, std::move(name),
        std::move(value) };
}

} // namespace

class TestCookieList final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void parsesLines_data()
    {
        static const char withNul[] = "h\tFALSE\t/\tFALSE\t0\tn\t\xe4\xbc\x9a\0x";
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<NetscapeCookie>("expected");

        QTest::newRow("host-only session cookie")
            << QByteArray("127.0.0.1\tFALSE\t/\tFALSE\t0\tquenlo_session\tabc123")
            << cookie("127.0.0.1", false, false, "/", false, 0, "quenlo_session", "abc123");
        QTest::newRow("HttpOnly marker is taken off the domain")
            << QByteArray("#HttpOnly_nas.example.net\tFALSE\t/\tTRUE\t1893456000\tquenlo_session\tv")
            << cookie("nas.example.net", true, false, "/", true, 1893456000, "quenlo_session", "v");
        QTest::newRow("subdomain cookie with a path")
            << QByteArray(".example.net\tTRUE\t/api\tFALSE\t0\ttheme\tdark")
            << cookie(".example.net", false, true, "/api", false, 0, "theme", "dark");
        QTest::newRow("flags in lower case")
            << QByteArray("h\ttrue\t/\ttrue\t0\tn\tv") << cookie("h", false, true, "/", true, 0, "n", "v");
        QTest::newRow("unknown flag words are false")
            << QByteArray("h\tyes\t/\t1\t0\tn\tv") << cookie("h", false, false, "/", false, 0, "n", "v");
        QTest::newRow("empty value") << QByteArray("h\tFALSE\t/\tFALSE\t0\tquenlo_session\t")
                                     << cookie("h", false, false, "/", false, 0, "quenlo_session", "");
        QTest::newRow("value with tabs keeps them") << QByteArray("h\tFALSE\t/\tFALSE\t0\tn\ta\tb\t")
                                                    << cookie("h", false, false, "/", false, 0, "n", "a\tb\t");
        QTest::newRow("value with equals signs and blanks") << QByteArray("h\tFALSE\t/\tFALSE\t0\tn\ta=b== c")
                                                            << cookie("h", false, false, "/", false, 0, "n", "a=b== c");
        QTest::newRow("trailing CR LF ignored")
            << QByteArray("h\tFALSE\t/\tFALSE\t0\tn\tv\r\n") << cookie("h", false, false, "/", false, 0, "n", "v");
        QTest::newRow("negative expiry") << QByteArray("h\tFALSE\t/\tFALSE\t-1\tn\tv")
                                         << cookie("h", false, false, "/", false, -1, "n", "v");
        QTest::newRow("empty name") << QByteArray("h\tFALSE\t/\tFALSE\t0\t\tv")
                                    << cookie("h", false, false, "/", false, 0, "", "v");
        QTest::newRow("bytes above ASCII and NUL taken as they are") << QByteArray::fromRawData(withNul,
            sizeof withNul - 1) << cookie("h", false, false, "/", false, 0, "n", QByteArray("\xe4\xbc\x9a\0x", 5));
    }
    void parsesLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(NetscapeCookie, expected);
        const std::optional<NetscapeCookie> parsed = parseCookieLine(line);
        QVERIFY(parsed);
        QCOMPARE(*parsed, expected);
    }

    void rejectsLines_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("only a line break") << QByteArray("\r\n");
        QTest::newRow("comment") << QByteArray("# Netscape HTTP Cookie File");
        QTest::newRow("comment shaped like a cookie") << QByteArray("#h\tFALSE\t/\tFALSE\t0\tn\tv");
        QTest::newRow("marker in another case is a comment") << QByteArray("#httponly_h\tFALSE\t/\tFALSE\t0\tn\tv");
        QTest::newRow("marker alone") << QByteArray("#HttpOnly_");
        QTest::newRow("six fields") << QByteArray("h\tFALSE\t/\tFALSE\t0\tn");
        QTest::newRow("marker with six fields") << QByteArray("#HttpOnly_h\tFALSE\t/\tFALSE\t0\tn");
        QTest::newRow("expiry not a number") << QByteArray("h\tFALSE\t/\tFALSE\tsoon\tn\tv");
        QTest::newRow("expiry empty") << QByteArray("h\tFALSE\t/\tFALSE\t\tn\tv");
        QTest::newRow("expiry beyond 64 bits") << QByteArray("h\tFALSE\t/\tFALSE\t99999999999999999999\tn\tv");
        QTest::newRow("spaces instead of tabs") << QByteArray("h FALSE / FALSE 0 n v");
    }
    void rejectsLines()
    {
        QFETCH(QByteArray, line);
        QVERIFY(!parseCookieLine(line));
    }

    void listKeepsOrderAndSkipsBadLines()
    {
        const QList<QByteArray> lines {
            "h\tFALSE\t/\tFALSE\t0\tfirst\t1",
            "garbage",
            "#HttpOnly_h\tFALSE\t/\tFALSE\t0\tquenlo_session\t2",
            "",
            "h\tFALSE\t/x\tFALSE\t0\tquenlo_session\t3",
        };
        const QList<NetscapeCookie> cookies = parseCookieList(lines);
        QCOMPARE(cookies.size(), 3);
        QCOMPARE(cookies.at(0).name, QByteArray("first"));
        QCOMPARE(cookies.at(1).value, QByteArray("2"));
        QVERIFY(cookies.at(1).httpOnly);
        QCOMPARE(cookies.at(2).path, QByteArray("/x"));
        QVERIFY(parseCookieList({}).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestCookieList)
#include "tst_cookielist.moc"
