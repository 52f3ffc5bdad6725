#include "service/projectroot.h"

#include "model/identity.h"
#include "service/smallfile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace quenlo {

namespace {

QString cleanAbsolute(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

QSettings companionSettings()
{
#ifdef Q_OS_MACOS
    // QSettings derives a macOS domain from an organisation name as "com.<org>.<app>" or
    // "<tld>.<org>.<app>", and "local" is no top-level domain it knows, so no organisation
    // name gives "local.library.menubar". The domain's file is named directly instead; a
    // value remembered by an earlier build of the companion is read from the same file.
    return QSettings(
        QDir::homePath() + QStringLiteral("/Library/Preferences/local.library.menubar.plist"), QSettings::NativeFormat);
#else
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, launchAgentLabel);
#endif
}

bool looksLikeProject(const QString &folder)
{
    if (folder.isEmpty())
        return false;
    return QFileInfo::exists(folder + QStringLiteral("/server.py"));
}

QString folderBesideApplication()
{
    return folderHolding(runningApplicationPath());
}

std::optional<QString> resolveProjectRoot(bool interactive, const QString &applicationFolder)
{
    Q_UNUSED(interactive)
    QSettings settings = companionSettings();
    if (looksLikeProject(applicationFolder)) {
        const QString root = cleanAbsolute(applicationFolder);
        settings.setValue(projectPathKey, root);
        settings.sync();
        return root;
    }
    const QVariant remembered = settings.value(projectPathKey);
    if (remembered.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString path = remembered.toString();
    if (path.isEmpty() || !looksLikeProject(path))
        return std::nullopt;
    return cleanAbsolute(path);
}

QString registrationFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/LocalQuenloClient/connection.json");
}

std::optional<QString> projectFromRegistration(const QByteArray &bytes)
{
    // JSON allows no raw control characters, but Qt's reader lets them through inside
    // strings; a file holding any is binary, not a registration.
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return std::nullopt;
    }
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
    }
    const QString path = object.value(QStringLiteral("project_path")).toString();
    if (!path.startsWith(QLatin1Char('/')))
        return std::nullopt;
    // "\u0000" and lone surrogates are valid escapes but name no file.
    if (path.contains(QChar(0)) || !path.isValidUtf16())
        return std::nullopt;
    return QDir::cleanPath(path);
}

std::optional<QString> registeredProject(const QString &file)
{
    const std::optional<QByteArray> bytes = readSmallFile(file, registrationFileLimit);
    if (!bytes)
        return std::nullopt;
    return projectFromRegistration(*bytes);
}

} // namespace quenlo
