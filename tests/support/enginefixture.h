#pragma once

// Header-only, for the suites that drive the engine without any widget.

#include "engine/controller.h"
#include "fakehttpserver.h"
#include "testenv.h"

#include <QSignalSpy>
#include <QTest>

namespace quenlo::test {

/// Production's durations shrunk, so nothing waits for seconds that prove nothing more.
inline Settings fastSettings(quint16 port)
{
    using M = Milliseconds;
    Settings s;
    s.service.port = port;
    s.flash = {M(500), M(1500), M(2000), M(2500), M(5000)};
    s.supervisor = {M(1500), M(4000), M(50)};
    s.nas = {M(500), M(1000)};
    s.poll.openMenuLimit = M(600);
    s.trayWait = M(200);
    s.quitWait = M(300);
    return s;
}

/// \brief The engine on a fake server, with what it flashes, opens and quits recorded.
///
/// Local mode by default, on a fake server that already runs the version on disk, so the
/// first service check keeps it; NAS mode when no root is given.
struct EngineFixture {
    std::unique_ptr<FakeHttpServer> server = std::make_unique<FakeHttpServer>();
    Settings settings = fastSettings(server->port());
    QList<Message> flashes;
    QList<QUrl> opened;
    int quits = 0;
    QString configHome = makeFolder(QStringLiteral("config"));
    std::unique_ptr<Controller> engine;

    EngineFixture()
    {
        server->route("GET", "/api/version", FakeHttpServer::json(200, R"({"version":"5"})"));
        server->route("GET", "/api/transcription-worker",
                      FakeHttpServer::json(200, R"({"enabled":true,"ready":true,"running":false})"));
    }

    /// A project folder whose server.py declares version 5.
    static QString fakeProject()
    {
        const QString root = makeFolder(QStringLiteral("project"));
        writeFile(root + QStringLiteral("/server.py"), "APP_VERSION = \"5\"\n");
        return root;
    }

    void start(std::optional<QString> root = fakeProject(), std::function<std::unique_ptr<QuenloAPI>()> makeRemote = {})
    {
        ControllerOptions options;
        options.settings = settings;
        options.findProjectRoot = [root] { return root; };
        options.makeRemote = std::move(makeRemote);
        options.platform = linuxPlatform(configHome);
        options.applicationPath = QStringLiteral("/opt/quenlo/quenlo-menubar");
        engine = std::make_unique<Controller>(std::move(options));
        QObject::connect(engine.get(), &Controller::flashed, [this](const Message &m) { flashes.append(m); });
        QObject::connect(engine.get(), &Controller::openRequested, [this](const QUrl &url) { opened.append(url); });
        QObject::connect(engine.get(), &Controller::quitRequested, [this] { ++quits; });
        engine->start();
    }

    /// Waits for \a count more applied polls.
    bool waitForPolls(int count, int ms = 8000)
    {
        QSignalSpy spy(engine.get(), &Controller::pollApplied);
        return QTest::qWaitFor([&] { return spy.count() >= count; }, ms);
    }

    /// Waits until the work queue is idle and everything it sent back has been applied.
    bool settle(int ms = 15000)
    {
        const bool idle = QTest::qWaitFor([&] { return engine->work().pending() == 0; }, ms);
        QTest::qWait(50);
        return idle;
    }

    MenuModel menu() const { return engine->menu(); }
    QString statusLine() const { return menu()[MenuItem::StatusLine].text; }

    /// The results flashed, i.e. the notifications' bodies.
    QStringList notified() const
    {
        QStringList out;
        for (const Message &m : flashes)
            if (m.notifies())
                out << m.text;
        return out;
    }

    /// The visible information lines of the top menu (disabled items), in order.
    QStringList visibleLines() const
    {
        static const QList<MenuItem> submenuItems{MenuItem::OpenQuenloSettings, MenuItem::RemoteLogin,
                                                  MenuItem::Transcription,      MenuItem::TranscriptionStatus,
                                                  MenuItem::Autosync0,          MenuItem::Autosync3,
                                                  MenuItem::Autosync6,          MenuItem::Autosync12,
                                                  MenuItem::Autosync24};
        const MenuModel m = menu();
        QStringList out;
        for (int i = 0; i < menuItemCount; ++i) {
            const ItemView &item = m.items[size_t(i)];
            if (!submenuItems.contains(MenuItem(i)) && item.visible && !item.enabled)
                out << item.text;
        }
        return out;
    }
};

} // namespace quenlo::test
