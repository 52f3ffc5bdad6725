#pragma once

#include <QTemporaryDir>
#include <QThread>

#include <fstream>
#include <functional>

namespace quenlo::test { // lambdas rather than functions, so that most take a line; waitUntil polls every 20 ms

inline const auto sourceDir = [] { return QStringLiteral(QUENLO_SOURCE_DIR); };
inline const auto menubarBinary = [] { return QStringLiteral(QUENLO_MENUBAR_BIN); };
inline QTemporaryDir unisolatedScratch; // only for a suite run without run-isolated
inline const auto scratchDir = [] { return qEnvironmentVariable("QUENLO_TEST_SCRATCH", unisolatedScratch.path()); };
inline const auto made = [](const QString &path) { return QDir().mkpath(path), path; };
inline auto makeFolder = [count = 0](const QString &name) mutable {
    return made(scratchDir() + '/' + name + '-' + QString::number(++count));
};
inline const auto writeFile = [](const QString &path, const QByteArray &bytes) {
    return QDir().mkpath(QFileInfo(path).path()) && std::ofstream(path.toStdString()).write(bytes, bytes.size()).good();
};
inline const auto copyDemoLibrary = [](const QString &name = QStringLiteral("demo")) { // not its data or log
    const QString target = makeFolder(name), demo = sourceDir() + "/examples/demo-library/";
    for (const QString &file : QDir(demo).entryList(QDir::Files | QDir::Hidden))
        if (file != "server.log" && !file.endsWith(".json"))
            QFile::copy(demo + file, target + '/' + file);
    return target;
};
inline const auto waitUntil = [](const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    for (QDeadlineTimer end(timeout);; QThread::msleep(20))
        if (const bool held = condition(); held || end.hasExpired())
            return held;
};

} // namespace quenlo::test
