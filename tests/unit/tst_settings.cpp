// The values main hands down: the port from LOCAL_LIBRARY_PORT, the mode from the command
// line, and the job labels the menu shows.

#include "app/processmode.h"
#include "model/joblabels.h"
#include "model/settings.h"

#include <QtTest>

#include <limits>

using namespace quenlo;

class TestSettings final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void port_data()
    {
        QTest::addColumn<QByteArray>("value"); // null: unset
        QTest::addColumn<qint64>("port");
        QTest::addColumn<bool>("usable");
        const qint64 fallback = defaultServicePort;
        QTest::newRow("unset") << QByteArray() << fallback << true;
        QTest::newRow("empty") << QByteArray("") << fallback << true;
        QTest::newRow("plain") << QByteArray("9000") << qint64(9000) << true;
        QTest::newRow("plus sign, leading zeros") << QByteArray("+0081") << qint64(81) << true;
        QTest::newRow("highest port") << QByteArray("65535") << qint64(65535) << true;
        // Parsed as written, but refused as an address.
        QTest::newRow("zero") << QByteArray("0") << qint64(0) << false;
        QTest::newRow("negative") << QByteArray("-5") << qint64(-5) << false;
        QTest::newRow("above 65535") << QByteArray("65536") << qint64(65536) << false;
        QTest::newRow("int64 max") << QByteArray("9223372036854775807") << std::numeric_limits<qint64>::max() << false;
        QTest::newRow("int64 min") << QByteArray("-9223372036854775808") << std::numeric_limits<qint64>::min() << false;
        // Anything else falls back to the default.
        QTest::newRow("overflow") << QByteArray("9223372036854775808") << fallback << true;
        QTest::newRow("below int64 min") << QByteArray("-9223372036854775809") << fallback << true;
        QTest::newRow("sign alone") << QByteArray("-") << fallback << true;
        QTest::newRow("two signs") << QByteArray("+-5") << fallback << true;
        QTest::newRow("blank around") << QByteArray(" 9000") << fallback << true;
        QTest::newRow("trailing letter") << QByteArray("9000a") << fallback << true;
        QTest::newRow("decimal point") << QByteArray("80.5") << fallback << true;
        QTest::newRow("full-width digits") << QByteArray("８０") << fallback << true;
    }
    void port()
    {
        QFETCH(QByteArray, value);
        QFETCH(qint64, port);
        QFETCH(bool, usable);
        QCOMPARE(parseServicePort(value.isNull() ? nullptr : value.constData()), port);
        if (value.isNull())
            qunsetenv("LOCAL_LIBRARY_PORT");
        else
            qputenv("LOCAL_LIBRARY_PORT", value);
        const ServiceAddress address = settingsFromEnvironment().service;
        QCOMPARE(address.port, port);
        QCOMPARE(address.usable(), usable);
        QCOMPARE(address.base(), QStringLiteral("http://127.0.0.1:") + QString::number(port));
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
        QTest::newRow("only the first selftest counts")
            << QStringList{"app", "--selftest", "--selftest", "/a"} << int(ProcessMode::SelfTest) << "--selftest";
        QTest::newRow("https wins after") << QStringList{"app", "--selftest", "/a", "--selftest-https"}
                                          << int(ProcessMode::HTTPSSelfTest) << none;
        QTest::newRow("https wins before") << QStringList{"app", "--selftest-https", "--selftest"}
                                           << int(ProcessMode::HTTPSSelfTest) << none;
        QTest::newRow("value attached") << QStringList{"app", "--selftest=/a"} << int(ProcessMode::Application) << none;
        QTest::newRow("single hyphen") << QStringList{"app", "-selftest"} << int(ProcessMode::Application) << none;
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

    void jobLabel_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("label"); // empty: unknown
        QTest::newRow("all") << "all" << "更新知识星球";
        QTest::newRow("zsxq") << "zsxq" << "知识星球同步";
        QTest::newRow("dedao") << "dedao" << "得到缓存";
        QTest::newRow("youtube") << "youtube" << "YouTube 下载";
        QTest::newRow("unknown") << "rss" << "";
        QTest::newRow("case matters") << "All" << "";
        QTest::newRow("empty") << "" << "";
    }
    void jobLabel()
    {
        QFETCH(QString, kind);
        QFETCH(QString, label);
        QCOMPARE(quenlo::jobLabel(kind).value_or(QString()), label);
    }

    void jobOrder()
    {
        // Jobs of an older server are listed in this order.
        QStringList kinds;
        for (const auto &[kind, label] : jobLabels())
            kinds << kind;
        QCOMPARE(kinds, (QStringList { "all", "zsxq", "dedao", "youtube" }));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
