#include "app/processmode.h"
#include "model/joblabels.h"
#include "model/menustate.h"
#include "model/settings.h"
#include "model/text.h"

#include <QtTest>

using namespace quenlo;

namespace {

/// The port LOCAL_LIBRARY_PORT=\a value gives, and " unusable" when it cannot be ours.
QString port(const char *value)
{
    value ? qputenv("LOCAL_LIBRARY_PORT", value) : qunsetenv("LOCAL_LIBRARY_PORT");
    const ServiceAddress address = settingsFromEnvironment().service;
    return QString::number(address.port) + (address.usable() ? "" : " unusable");
}
QString mode(const QStringList &arguments, const QString &program = "app")
{
    const ProcessMode m = chooseProcessMode(QStringList { program } + arguments);
    return QStringList { "app", "selftest", "https" }[m.kind] + (m.rootArgument ? " " + *m.rootArgument : "");
}

} // namespace

class TestModel final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void values_data()
    {
        QTest::addColumn<QStringList>("gotAndExpected");
        const auto row = [](auto tag, QString got, QString want) { QTest::newRow(tag) << QStringList { got, want }; };
        qputenv("TZ", "America/New_York"), tzset(); // west of UTC, so that the local day and UTC's differ
        const auto at = [](int mo, int d, int h, int mi) { return QDateTime(QDate(2026, mo, d), QTime(h, mi)); };
        const QDateTime noon = at(3, 10, 12, 0);

        row("job: progress first", RunningJob { "知识星球同步", 42, "第 3 页" }.display(), "知识星球同步 · 42%");

        row("tidy: lines joined, blanks trimmed at the ends", tidy("\u00a0 第一 行\n第二行\u3000"), "第一 行第二行");
        row("tidy: control and format characters dropped", tidy("a\r\nb\tc\u200bd"), "abcd");
        row("tidy: 25 cut to 24", tidy(QString(25, 'x')), QString(24, 'x') + "…");
        row("tidy: a toned emoji counts once", tidy("👍🏽👍🏽👍🏽", 2), "👍🏽👍🏽…");
        row("tidy: no half pair (Qt breaks pairs after Indic letters)", tidy("\u0006नमस्ते😀😀", 4), "नमस्ते😀…");
        row("tidy: exactly the limit", tidy("\u0006नमस्ते😀😀", 5), "नमस्ते😀😀");
        row("tidy: blank text", QString("%1 %2").arg(isBlankText("\u200b \t\n")).arg(isBlankText(" x")), "1 0");

        row("time: today", humanTime(at(3, 10, 8, 5).toSecsSinceEpoch(), noon), "今天 08:05");
        row("time: tomorrow", humanTime(at(3, 11, 0, 1).toSecsSinceEpoch(), noon), "明天 00:01");
        row("time: yesterday has a date", humanTime(at(3, 9, 21, 30).toSecsSinceEpoch(), noon), "3月9日 21:30");
        row("time: the local day", humanTime(at(7, 1, 23, 30).toSecsSinceEpoch(), at(7, 1, 9, 0)), "今天 23:30");
        row("time: NaN is the epoch", humanTime(qQNaN(), noon), "12月31日 19:00");
        row("time: 1e300 held at 9e12 s", humanTime(1e300, noon), "8月24日 12:00");

        row("port: unset", port(nullptr), "8765");
        row("port: plus sign, leading zeros", port("+0081"), "81");
        row("port: highest", port("65535"), "65535");
        row("port: lowest", port("1"), "1");
        row("port: zero", port("0"), "0 unusable");
        row("port: above 65535", port("65536"), "65536 unusable");
        row("port: int64 max", port("9223372036854775807"), "9223372036854775807 unusable");
        row("port: overflow", port("9223372036854775808"), "8765");
        row("port: below int64 min", port("-9223372036854775809"), "8765");
        row("port: sign alone", port("-"), "8765");
        row("port: letter after", port("9000a"), "8765");
        row("port: the character after 9", port("80:"), "8765");
        row("port: base address", ServiceAddress { 9000 }.base(), "http://127.0.0.1:9000");

        row("mode: no arguments", mode({}), "app");
        row("mode: selftest alone", mode({ "--selftest" }), "selftest");
        row("mode: selftest and root", mode({ "--selftest", "/tmp/lib" }), "selftest /tmp/lib");
        row("mode: the first selftest counts", mode({ "--selftest", "--selftest", "/a" }), "selftest --selftest");
        row("mode: the program path counts too", mode({ "/a" }, "--selftest"), "selftest /a");
        row("mode: https wins", mode({ "--selftest", "/a", "--selftest-https" }), "https");

        QStringList labels;
        for (const auto &[kind, label] : jobLabels())
            labels << kind + "=" + jobLabel(kind).value_or("?");
        row("labels: in order", labels.join(' '),
            "all=更新知识星球 zsxq=知识星球同步 dedao=得到缓存 youtube=YouTube 下载");
        row("labels: unknown", jobLabel("rss").value_or("none"), "none");
    }
    void values()
    {
        QFETCH(QStringList, gotAndExpected);
        QCOMPARE(gotAndExpected[0], gotAndExpected[1]);
    }
};

QTEST_GUILESS_MAIN(TestModel)
#include "tst_model.moc"
