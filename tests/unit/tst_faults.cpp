#include "enginefixture.h"
#include "processinfo.h"
#include "service/projectroot.h"
#include "service/service.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace quenlo;
using quenlo::test::EngineFixture;
using quenlo::test::FakeHttpServer;

namespace {

/// A foreign program on the port: accepts, answers every connection with bytes that are not
/// HTTP, and closes.
class GarbageListener {
public:
    explicit GarbageListener(quint16 port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 && ::listen(m_fd, 16) == 0;
        m_thread = std::thread([this] {
            for (;;) {
                const int c = ::accept(m_fd, nullptr, nullptr);
                if (c < 0)
                    return;
                const char junk[] = "\x16\x03\x01 SSH-2.0-nope \xff\xfe garbage\r\n\r\n";
                (void)::send(c, junk, sizeof junk - 1, MSG_NOSIGNAL);
                ::close(c);
            }
        });
    }
    ~GarbageListener()
    {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        m_thread.join();
    }
    bool ok() const { return m_ok; }

private:
    int m_fd = -1;
    bool m_ok = false;
    std::thread m_thread;
};

} // namespace

class TestFaults final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serverKilledInTheMiddleOfAPoll()
    {
        EngineFixture f;
        f.start();
        QVERIFY(f.settle());
        FakeHttpServer::Reply slow = FakeHttpServer::json(200, R"({"unread":1})");
        slow.delayMs = 800;
        f.server->route("GET", "/api/menu-status", slow);
        f.engine->refresh();
        QTest::qWait(300); // the request is out; the server goes away before answering
        f.server.reset();
        QVERIFY(f.settle());
        QCOMPARE(f.statusLine(), QStringLiteral("服务未运行"));
        QCOMPARE(f.menu().symbol, symbolWarning);
    }

    void foreignProgramAnsweringGarbage()
    {
        const quint16 port = test::freePort();
        GarbageListener garbage(port);
        QVERIFY(garbage.ok());
        const ServiceAddress address{port};
        QCOMPARE(httpCall(address, QStringLiteral("/api/version")).status, qint64(-1));

        // The supervisor cannot use the port: its server fails to listen, the user is told.
        const QString root = test::copyDemoLibrary();
        // A fake lsof that finds nobody: the foreign program is not ours to stop in this test.
        const QString lsof = test::makeFolder("bin") + "/lsof";
        test::writeFile(lsof, "#!/bin/sh\nexit 1\n");
        QFile::setPermissions(lsof, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        PlatformTable table = currentPlatform();
        table.lsof = lsof;
        QElapsedTimer t;
        t.start();
        const SupervisorTimes times = test::fastSettings(port).supervisor;
        const ServiceOutcome outcome = Service(root, address, times, table).ensure(true);
        QCOMPARE(outcome.kind, ServiceOutcome::Kind::Failed);
        QCOMPARE(outcome.message, QStringLiteral("服务没有在 10 秒内响应"));
        QVERIFY(t.elapsed() < times.startWait.count() + 3000);
        QTest::qWait(300);
        QVERIFY(test::listeningPids(port).size() <= 1);
    }

    void lsofMissing()
    {
        const QString root = test::copyDemoLibrary();
        const quint16 port = test::freePort();
        PlatformTable table = currentPlatform();
        table.lsof = QStringLiteral("/nonexistent/lsof");
        const SupervisorTimes times = test::fastSettings(port).supervisor;
        Service service(root, ServiceAddress{port}, times, table);
        QCOMPARE(service.ensure(true).kind, ServiceOutcome::Kind::Started);
        // Nothing can be found to stop, so the restart meets its own old server on the port.
        QElapsedTimer t;
        t.start();
        const ServiceOutcome restarted = service.restart();
        QVERIFY(t.elapsed() < (times.stopWait + times.startWait).count() + 3000);
        QCOMPARE(restarted.kind, ServiceOutcome::Kind::Started); // the old one still answers
        test::endListeners(port);
    }

    void quitAndStopWithAServerThatIgnoresSigterm()
    {
        EngineFixture f;
        f.server.reset();
        const quint16 port = test::freePort();
        f.settings = test::fastSettings(port);
        qputenv("DEMO_IGNORE_SIGTERM", "1");
        f.start(test::copyDemoLibrary());
        QVERIFY(f.settle(30000));
        qunsetenv("DEMO_IGNORE_SIGTERM");
        QElapsedTimer t;
        t.start();
        f.engine->quitAndStopService();
        QVERIFY(QTest::qWaitFor([&] { return f.quits > 0; }, 12000));
        // The stop wait ran out; the companion ends anyway, the server is left as it is.
        const qint64 wait = f.settings.supervisor.stopWait.count();
        QVERIFY2(t.elapsed() >= wait - 100 && t.elapsed() < wait + 3000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(httpCall(ServiceAddress{port}, QStringLiteral("/api/version")).status, qint64(200));
        f.engine.reset();
        for (pid_t pid : test::listeningPids(port))
            ::kill(pid, SIGKILL);
    }

    void serverLogNotWritable()
    {
        // A folder where the log should be: it cannot be opened for writing, even as root.
        const QString project = test::copyDemoLibrary();
        QDir().mkpath(project + "/server.log");
        const quint16 port = test::freePort();
        QCOMPARE(Service(project, ServiceAddress{port}).start(), std::optional<QString>(QStringLiteral("无法写入 server.log")));
        QVERIFY(test::listeningPids(port).isEmpty());
    }

    void hugeClipboardIsRefusedQuickly()
    {
        EngineFixture f;
        f.start();
        QVERIFY(f.settle());
        const QString huge(10 * 1024 * 1024, QChar(u'链'));
        QElapsedTimer t;
        t.start();
        f.engine->addFromClipboard(huge);
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(f.notified(), QStringList{"剪贴板内容过长，请复制单个链接"});
        QVERIFY(f.server->requestsFor("POST", "/api/clipboard-add").isEmpty());
    }

    void garbageRegistrationKeepsTheRememberedRoot()
    {
        const QString remembered = EngineFixture::fakeProject();
        companionSettings().setValue(QStringLiteral("projectPath"), remembered);
        const QString registration = registrationFilePath();
        const QList<QByteArray> garbage{QByteArray(2 * 1024 * 1024, 'x'), QByteArray("\x00\xff\xfe\x01", 4),
                                        QByteArray(100000, '[') + QByteArray(100000, ']'),
                                        QByteArray(R"({"project_path": 7})")};
        for (const QByteArray &bytes : garbage) {
            QVERIFY(test::writeFile(registration, bytes));
            QVERIFY(!registeredProject().has_value());
            QCOMPARE(resolveProjectRoot(false, test::makeFolder("app")), std::optional<QString>(remembered));
            QCOMPARE(companionSettings().value(QStringLiteral("projectPath")).toString(), remembered);
        }
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
