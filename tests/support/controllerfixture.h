#pragma once

// Header-only: included by the suites that link quenlo_ui.

#include "app/controller.h"
#include "app/processvalues.h"
#include "fakehttpserver.h"
#include "recordingnotifier.h"
#include "testenv.h"

#include <QAction>
#include <QSignalSpy>
#include <QTest>

namespace quenlo::test {

/// \brief A controller without a tray icon, its notifications, opened URLs and quits recorded.
///
/// Local mode by default, on a fake server that already runs the version on disk, so the
/// first service check keeps it; NAS mode when no root is given.
struct ControllerFixture {
    std::unique_ptr<FakeHttpServer> server = std::make_unique<FakeHttpServer>();
    std::shared_ptr<RecordingNotifier::Log> notes = std::make_shared<RecordingNotifier::Log>();
    QList<QUrl> opened;
    int terminated = 0;
    QString configHome = makeFolder(QStringLiteral("config"));
    std::unique_ptr<Controller> controller;
    /// Post through the OS's notification service instead of recording.
    bool systemNotifier = false;
    int openMenuPollingLimitMs = 60000;

    ControllerFixture()
    {
        setServicePort(server->port());
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

    void start(std::optional<QString> root = fakeProject(),
               std::function<std::unique_ptr<QuenloAPI>()> makeRemote = {},
               std::function<std::optional<QString>()> askLoginCode = {})
    {
        ControllerOptions options;
        options.findProjectRoot = [root] { return root; };
        options.makeRemote = std::move(makeRemote);
        options.askLoginCode = std::move(askLoginCode);
        if (!systemNotifier)
            options.notifier = std::make_unique<RecordingNotifier>(notes);
        options.openUrl = [this](const QUrl &url) { opened.append(url); };
        options.terminate = [this] { ++terminated; };
        options.showTray = false;
        options.openMenuPollingLimitMs = openMenuPollingLimitMs;
        options.platform = linuxPlatform(configHome);
        options.applicationPath = QStringLiteral("/opt/quenlo/quenlo-menubar");
        controller = std::make_unique<Controller>(std::move(options));
        controller->applicationDidFinishLaunching();
    }

    /// Waits for \a count more applied polls.
    bool waitForPolls(int count, int ms = 8000)
    {
        QSignalSpy spy(controller.get(), &Controller::pollApplied);
        return QTest::qWaitFor([&] { return spy.count() >= count; }, ms);
    }

    /// Waits until the work queue is idle and everything it sent back has been applied.
    bool settle(int ms = 15000)
    {
        const bool idle = QTest::qWaitFor([&] { return controller->work().pending() == 0; }, ms);
        QTest::qWait(50);
        return idle;
    }

    /// The flashed messages that were not interim ones, i.e. the notifications' bodies.
    QStringList notified() const
    {
        QStringList out;
        for (const auto &note : notes->posted)
            out << note.second;
        return out;
    }

    QStringList visibleLines() const
    {
        QStringList out;
        for (QAction *a : controller->statusMenu().menu->actions())
            if (a->isVisible() && !a->isSeparator() && !a->isEnabled())
                out << a->text();
        return out;
    }
};

} // namespace quenlo::test
