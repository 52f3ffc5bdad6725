#pragma once

#include "engine/controller.h"
#include "fakehttpserver.h"
#include "testenv.h"

#include <QtTest>

namespace quenlo::test {

/// Production's durations shrunk (polling aside), so nothing waits for seconds that prove nothing more.
inline Settings fastSettings(quint16 port)
{
    using M = Milliseconds;
    return { { port }, { M(10000), M(2000), M(600) }, { M(500), M(1500), M(2000), M(2500), M(5000) },
        { M(1500), M(4000), M(50) }, { M(500), M(1000) }, M(200), M(300) };
}

/// \brief The engine on a fake server that runs the version on disk (the first check keeps it); NAS mode without root.
struct EngineFixture {
    std::unique_ptr<FakeHttpServer> server = std::make_unique<FakeHttpServer>();
    Settings settings = fastSettings(server->port());
    QStringList events; ///< the texts flashed (interim ones marked "~"), "open URL" and "quit", in order
    int quits = 0;
    QString configHome = makeFolder(QStringLiteral("config"));
    std::unique_ptr<Controller> engine;

    EngineFixture()
    {
        server->route("GET", "/api/version", FakeHttpServer::json(200, R"({"version":"5"})"));
        server->route(
            "GET", "/api/transcription-worker", FakeHttpServer::json(200, R"({"enabled":true,"ready":true})"));
    }
    static QString fakeProject(const QString &root = makeFolder("project"))
    {
        return writeFile(root + "/server.py", "APP_VERSION = \"5\"\n") ? root : QString();
    }
    void start(std::optional<QString> root = fakeProject(), std::function<std::unique_ptr<QuenloAPI>()> makeRemote = {})
    {
        engine = std::make_unique<Controller>(ControllerOptions { settings, [root] { return root; },
            std::move(makeRemote), linuxPlatform(configHome), "/opt/quenlo/quenlo-menubar" });
        QObject::connect(engine.get(), &Controller::flashed,
            [this](const Message &m) { events << (m.notifies() ? "" : "~") + m.text; });
        QObject::connect(
            engine.get(), &Controller::openRequested, [this](const QUrl &url) { events << "open " + url.toString(); });
        QObject::connect(engine.get(), &Controller::quitRequested, [this] { events << "quit", ++quits; });
        engine->start();
    }
    bool settle(int ms = 15000) // until the queue is idle and what its jobs sent back (which may queue more) is in
    {
        for (QDeadlineTimer end(ms);
             QTest::qWaitFor([this] { return !engine->work().pending(); }, end.remainingTime());)
            if (QCoreApplication::processEvents(), !engine->work().pending())
                return true;
        return false;
    }
    MenuModel menu() const { return engine->menu(); }
    QString statusLine() const { return menu()[MenuItem::StatusLine].text; }
};

} // namespace quenlo::test
