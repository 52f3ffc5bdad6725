#include "model/menustate.h"
#include "model/text.h"

#include <QtTest>

#include <ctime>

using namespace quenlo;

namespace {

/// Switches the process's time zone for one scope (QDateTime follows TZ after tzset).
class TimeZoneScope {
public:
    explicit TimeZoneScope(const QByteArray &tz) : m_old(qgetenv("TZ")), m_had(qEnvironmentVariableIsSet("TZ"))
    {
        qputenv("TZ", tz);
        tzset();
    }
    ~TimeZoneScope()
    {
        if (m_had)
            qputenv("TZ", m_old);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray m_old;
    bool m_had;
};

double epochOf(const QDateTime &dt) { return double(dt.toMSecsSinceEpoch()) / 1000.0; }

} // namespace

class TestText final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void display_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("progress"); // -1 for none
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("expected");
        QTest::newRow("progress wins over message") << "知识星球同步" << 42 << "第 3 页" << "知识星球同步 · 42%";
        QTest::newRow("progress zero is a value") << "得到缓存" << 0 << "" << "得到缓存 · 0%";
        QTest::newRow("message without progress") << "更新知识星球" << -1 << "抓取中" << "更新知识星球 · 抓取中";
        QTest::newRow("neither") << "同步任务" << -1 << "" << "同步任务 · 进行中";
    }
    void display()
    {
        QFETCH(QString, label);
        QFETCH(int, progress);
        QFETCH(QString, message);
        QFETCH(QString, expected);
        const RunningJob job{label, progress == -1 ? std::nullopt : std::optional<qint64>(progress),
                             message};
        QCOMPARE(job.display(), expected);
    }

    void tidy_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two lines joined, outer spaces trimmed") << "  第一行\n第二行  " << 24 << "第一行第二行";
        QTest::newRow("CRLF and tab inside dropped") << "a\r\nb\tc" << 24 << "abc";
        QTest::newRow("only blanks") << " \t\n \r\n " << 24 << "";
        QTest::newRow("no-break space is trimmed at ends") << "\u00a0ok\u3000" << 24 << "ok";
        QTest::newRow("zero-width space dropped") << "a\u200bb" << 24 << "ab";
        QTest::newRow("25 characters cut to 24") << QString(25, 'x') << 24 << QString(24, 'x') + "…";
        QTest::newRow("24 characters unchanged") << QString(24, 'x') << 24 << QString(24, 'x');
        QTest::newRow("default limit is 24") << QString(30, 'y') << -1 << QString(24, 'y') + "…";
        QTest::newRow("limit 0 on text") << "a" << 0 << "…";
        QTest::newRow("combining accent counts once") << "e\u0301e\u0301e\u0301" << 2 << "e\u0301e\u0301…";
        QTest::newRow("emoji with skin tone counts once") << "👍🏽👍🏽👍🏽" << 2 << "👍🏽👍🏽…";
        QTest::newRow("ZWJ removed, family becomes parts") << "👩\u200d👩\u200d👧" << 2 << "👩👩…";
        QTest::newRow("trim happens before counting") << "   abc   " << 3 << "abc";
    }
    void tidy()
    {
        QFETCH(QString, text);
        QFETCH(int, limit);
        QFETCH(QString, expected);
        QCOMPARE(limit < 0 ? quenlo::tidy(text) : quenlo::tidy(text, limit), expected);
    }

    void tidyNeverCutsASurrogatePair()
    {
        // Found by fuzzing: Qt's grapheme finder puts a boundary inside the emoji's pair here.
        const QString text = QStringLiteral("\u0006नमस्ते😀😀");
        for (int limit = 0; limit <= 12; ++limit) {
            const QString out = quenlo::tidy(text, limit);
            QVERIFY2(out.isValidUtf16(), qPrintable(QString::number(limit)));
            QVERIFY(text.mid(1).startsWith(out.endsWith(QStringLiteral("…")) ? out.chopped(1) : out));
        }
        QCOMPARE(quenlo::tidy(text, 40), QStringLiteral("नमस्ते😀😀"));
    }

    void humanTimeRelative_data()
    {
        QTest::addColumn<QByteArray>("tz");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<QString>("expected");
        const QTimeZone shanghai("Asia/Shanghai");
        const QTimeZone newYork("America/New_York");
        const QDateTime noonSh(QDate(2026, 3, 10), QTime(12, 0), shanghai);
        QTest::newRow("today morning") << QByteArray("Asia/Shanghai") << noonSh
                                       << QDateTime(QDate(2026, 3, 10), QTime(8, 5), shanghai) << "今天 08:05";
        QTest::newRow("just after midnight") << QByteArray("Asia/Shanghai") << noonSh
                                             << QDateTime(QDate(2026, 3, 11), QTime(0, 1), shanghai) << "明天 00:01";
        QTest::newRow("yesterday has a date") << QByteArray("Asia/Shanghai") << noonSh
                                              << QDateTime(QDate(2026, 3, 9), QTime(21, 30), shanghai) << "3月9日 21:30";
        QTest::newRow("later day, no leading zeros")
            << QByteArray("Asia/Shanghai") << noonSh << QDateTime(QDate(2026, 4, 3), QTime(7, 0), shanghai)
            << "4月3日 07:00";
        QTest::newRow("west of UTC") << QByteArray("America/New_York")
                                     << QDateTime(QDate(2026, 7, 1), QTime(23, 0), newYork)
                                     << QDateTime(QDate(2026, 7, 2), QTime(9, 15), newYork) << "明天 09:15";
        // No "now": the clock's, far from the epoch.
        const QDateTime epoch = QDateTime::fromSecsSinceEpoch(0, QTimeZone::utc());
        QTest::newRow("epoch, east of UTC") << QByteArray("Asia/Tokyo") << QDateTime() << epoch << "1月1日 09:00";
        QTest::newRow("epoch, west of UTC") << QByteArray("America/Los_Angeles") << QDateTime() << epoch
                                            << "12月31日 16:00";
    }
    void humanTimeRelative()
    {
        QFETCH(QByteArray, tz);
        QFETCH(QDateTime, now);
        QFETCH(QDateTime, when);
        QFETCH(QString, expected);
        TimeZoneScope scope(tz);
        QCOMPARE(now.isValid() ? humanTime(epochOf(when), now) : humanTime(epochOf(when)), expected);
    }

    void humanTimeUsesTheClock()
    {
        const double now = double(QDateTime::currentSecsSinceEpoch());
        QVERIFY(humanTime(now).startsWith("今天 ") || humanTime(now).startsWith("明天 "));
    }

    void humanTimeSurvivesAbsurdValues()
    {
        for (double v : {1e300, -1e300, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
            QVERIFY(!humanTime(v).isEmpty());
    }

    void autosyncTitle_data()
    {
        QTest::addColumn<qint64>("hours");
        QTest::addColumn<QString>("expected");
        QTest::newRow("off") << qint64(0) << "关闭";
        QTest::newRow("daily") << qint64(24) << "每天";
        QTest::newRow("twelve") << qint64(12) << "每 12 小时";
        QTest::newRow("negative") << qint64(-2) << "每 -2 小时";
    }
    void autosyncTitle()
    {
        QFETCH(qint64, hours);
        QFETCH(QString, expected);
        QCOMPARE(quenlo::autosyncTitle(hours), expected);
    }
};

QTEST_GUILESS_MAIN(TestText)
#include "tst_text.moc"
