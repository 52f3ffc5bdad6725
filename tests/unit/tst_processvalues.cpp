#include "app/processmode.h"
#include "app/processvalues.h"

#include <QtTest>

using namespace quenlo;

class TestProcessValues final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void port_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("present");
        QTest::addColumn<qint64>("port");
        QTest::addColumn<QString>("base");
        QTest::newRow("unset") << QByteArray() << false << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("empty") << QByteArray("") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("plain") << QByteArray("9000") << true << qint64(9000) << "http://127.0.0.1:9000";
        QTest::newRow("leading space") << QByteArray(" 9000") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("trailing space") << QByteArray("9000 ") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("trailing letter") << QByteArray("9000a") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("sign alone") << QByteArray("-") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("plus alone") << QByteArray("+") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("decimal point") << QByteArray("80.5") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("two signs") << QByteArray("+-5") << true << qint64(8765) << "http://127.0.0.1:8765";
        QTest::newRow("overflow") << QByteArray("9223372036854775808") << true << qint64(8765)
                                  << "http://127.0.0.1:8765";
        QTest::newRow("int64 max") << QByteArray("9223372036854775807") << true
                                   << qint64(9223372036854775807LL) << "http://127.0.0.1:9223372036854775807";
        QTest::newRow("int64 min") << QByteArray("-9223372036854775808") << true
                                   << std::numeric_limits<qint64>::min() << "http://127.0.0.1:-9223372036854775808";
        QTest::newRow("below int64 min") << QByteArray("-9223372036854775809") << true << qint64(8765)
                                         << "http://127.0.0.1:8765";
        QTest::newRow("plus sign") << QByteArray("+8080") << true << qint64(8080) << "http://127.0.0.1:8080";
        QTest::newRow("leading zeros") << QByteArray("0081") << true << qint64(81) << "http://127.0.0.1:81";
        QTest::newRow("minus five") << QByteArray("-5") << true << qint64(-5) << "http://127.0.0.1:-5";
        QTest::newRow("zero") << QByteArray("0") << true << qint64(0) << "http://127.0.0.1:0";
        QTest::newRow("above 65535") << QByteArray("70000") << true << qint64(70000) << "http://127.0.0.1:70000";
        QTest::newRow("full-width digit") << QByteArray("８０") << true << qint64(8765) << "http://127.0.0.1:8765";
    }
    void port()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, present);
        QFETCH(qint64, port);
        QFETCH(QString, base);
        if (present)
            qputenv("LOCAL_LIBRARY_PORT", value);
        else
            qunsetenv("LOCAL_LIBRARY_PORT");
        initProcessValues();
        QCOMPARE(servicePort(), port);
        QCOMPARE(serviceBase(), base);
    }

    void mode_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("root"); // "<none>" for no root argument
        const QString none = QStringLiteral("<none>");
        QTest::newRow("no arguments") << QStringList{"app"} << int(ProcessMode::Application) << none;
        QTest::newRow("selftest alone") << QStringList{"app", "--selftest"} << int(ProcessMode::SelfTest) << none;
        QTest::newRow("selftest with root and option")
            << QStringList{"app", "--selftest", "/tmp/lib", "--verbose"} << int(ProcessMode::SelfTest) << "/tmp/lib";
        QTest::newRow("root that looks like an option")
            << QStringList{"app", "--selftest", "-x"} << int(ProcessMode::SelfTest) << "-x";
        QTest::newRow("only the first selftest counts")
            << QStringList{"app", "--selftest", "--selftest", "/a"} << int(ProcessMode::SelfTest) << "--selftest";
        QTest::newRow("https wins after") << QStringList{"app", "--selftest", "/a", "--selftest-https"}
                                          << int(ProcessMode::HTTPSSelfTest) << none;
        QTest::newRow("https wins before") << QStringList{"app", "--selftest-https", "--selftest"}
                                           << int(ProcessMode::HTTPSSelfTest) << none;
        QTest::newRow("https as program path") << QStringList{"--selftest-https"} << int(ProcessMode::HTTPSSelfTest)
                                               << none;
        QTest::newRow("value attached") << QStringList{"app", "--selftest=/a"} << int(ProcessMode::Application) << none;
        QTest::newRow("single hyphen") << QStringList{"app", "-selftest"} << int(ProcessMode::Application) << none;
        QTest::newRow("unknown option") << QStringList{"app", "--help"} << int(ProcessMode::Application) << none;
    }
    void mode()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, kind);
        QFETCH(QString, root);
        const ProcessMode mode = chooseProcessMode(arguments);
        QCOMPARE(int(mode.kind), kind);
        QCOMPARE(mode.rootArgument.value_or(QStringLiteral("<none>")), root);
    }

    void jobLabelsTable()
    {
        QCOMPARE(jobLabels().size(), 4);
        QCOMPARE(jobLabel("all").value(), QStringLiteral("更新知识星球"));
        QCOMPARE(jobLabel("zsxq").value(), QStringLiteral("知识星球同步"));
        QCOMPARE(jobLabel("dedao").value(), QStringLiteral("得到缓存"));
        QCOMPARE(jobLabel("youtube").value(), QStringLiteral("YouTube 下载"));
        QVERIFY(!jobLabel("rss").has_value());
        QVERIFY(!jobLabel("").has_value());
    }
};

QTEST_GUILESS_MAIN(TestProcessValues)
#include "tst_processvalues.moc"
