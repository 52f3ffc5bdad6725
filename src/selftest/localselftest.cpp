#include "selftest/selftest.h"

#include "model/text.h"
#include "net/localapi.h"
#include "platform/platformtable.h"
#include "selftest/selftestoutput.h"
#include "service/applicationpath.h"
#include "service/launchagent.h"
#include "service/projectroot.h"
#include "service/service.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>

#include <functional>

#include <pwd.h>
#include <unistd.h>

namespace quenlo {

namespace {

const QString unknownVersion = QStringLiteral("未知");

/// \brief The lines of one run, and whether any of them was a failure.
class Report final {
public:
    explicit Report(std::FILE *out)
        : m_out(out)
    {
    }
    void ok(const QString &message) const { printLine(m_out, QStringLiteral("OK: ") + message); }
    void skip(const QString &message) const { printLine(m_out, QStringLiteral("SKIP: ") + message); }
    void fail(const QString &message)
    {
        m_failed = true;
        printLine(m_out, QStringLiteral("FAIL: ") + message);
    }
    void end() const { printLine(m_out, m_failed ? QStringLiteral("自检未通过") : QStringLiteral("自检全部通过")); }
    bool failed() const { return m_failed; }

private:
    std::FILE *m_out;
    bool m_failed = false;
};

/// The home folder of the user called \a user, or nothing when there is no such user.
std::optional<QString> homeOf(const QString &user)
{
    // Not thread-safe, but the self-test has only the one thread.
    const passwd *entry = ::getpwnam(QFile::encodeName(user).constData());
    if (entry == nullptr || entry->pw_dir == nullptr)
        return std::nullopt;
    return QFile::decodeName(entry->pw_dir);
}

/// "~" and "~/…" start in the home folder, "~name/…" in that user's; an unknown user's
/// "~name" stays as typed, as a shell leaves it.
QString expandTilde(const QString &argument)
{
    if (!argument.startsWith(QLatin1Char('~')))
        return argument;
    const qsizetype slash = argument.indexOf(QLatin1Char('/'));
    const QString user = argument.mid(1, slash < 0 ? -1 : slash - 1);
    const QString rest = slash < 0 ? QString() : argument.mid(slash);
    if (user.isEmpty())
        return QDir::homePath() + rest;
    const std::optional<QString> home = homeOf(user);
    return home ? *home + rest : argument;
}

/// Absolute, without "." or ".." components, repeated or trailing slashes.
QString standardised(const QString &path)
{
    QString clean = QDir::cleanPath(QDir::current().absoluteFilePath(path));
    // cleanPath keeps a ".." that climbs above the root; the root's parent is the root.
    while (clean.startsWith(QStringLiteral("/..")) && (clean.size() == 3 || clean.at(3) == QLatin1Char('/'))) {
        clean.remove(0, 3);
        if (clean.isEmpty())
            clean = QStringLiteral("/");
    }
    return clean;
}

std::optional<QString> locateRoot(const std::optional<QString> &rootArgument, Report &report)
{
    if (rootArgument) {
        const QString folder = standardised(expandTilde(*rootArgument));
        if (looksLikeProject(folder))
            return folder;
        report.fail(QStringLiteral("定位项目目录：") + folder + QStringLiteral(" 里没有 server.py"));
        return std::nullopt;
    }
    if (std::optional<QString> root = resolveProjectRoot(false))
        return root;
    report.fail(QStringLiteral("定位项目目录：App 旁边没有 server.py，也没有记住过的位置"));
    return std::nullopt;
}

void checkService(const QString &root, const Settings &settings, Report &report)
{
    const Service service(root, settings.service, settings.supervisor);
    const QString disk = service.expectedVersion().value_or(unknownVersion);
    const ServiceOutcome outcome = service.ensure(false);
    switch (outcome.kind) {
    case ServiceOutcome::Kind::Reused:
        report.ok(QStringLiteral("服务已在运行，直接复用（运行中 ") + service.runningVersion().value_or(unknownVersion)
            + QStringLiteral("，磁盘 ") + disk + QStringLiteral("）"));
        return;
    case ServiceOutcome::Kind::Started:
        report.ok(QStringLiteral("服务已拉起（磁盘版本 ") + disk + QStringLiteral("，端口 ")
            + QString::number(settings.service.port) + QStringLiteral("）"));
        return;
    case ServiceOutcome::Kind::Failed:
        report.fail(QStringLiteral("确保服务可用：") + outcome.message);
        return;
    }
}

/// One status endpoint: 404 means the server predates it; only a JSON object passes.
void checkEndpoint(const ServiceAddress &server, const QString &title, const Endpoint &endpoint,
    const std::function<QString(const QJsonObject &)> &describe, Report &report)
{
    const QString name = title + QLatin1Char(' ') + endpoint.path;
    const HTTPReply reply = ask(server, endpoint);
    if (reply.status == 404) {
        report.skip(name + QStringLiteral("（端点尚未上线）"));
        return;
    }
    if (reply.status == 200) {
        if (const std::optional<QJsonObject> object = reply.json()) {
            report.ok(name + QStringLiteral("：") + describe(*object));
            return;
        }
    }
    if (!reply.reachable()) {
        report.fail(name + QStringLiteral("：连不上服务"));
        return;
    }
    report.fail(name + QStringLiteral("：HTTP ") + QString::number(reply.status));
}

QString describeMenuStatus(const QJsonObject &object)
{
    const MenuStatusCounts counts = readMenuStatusCounts(object);
    return QStringLiteral("未读 %1 条，运行中 %2 个，排队 %3 个").arg(counts.unread).arg(counts.jobs).arg(counts.queue);
}

QString describeAutosync(const QJsonObject &object)
{
    const AutosyncSchedule schedule = readAutosync(object);
    QString text = autosyncTitle(schedule.hours);
    if (schedule.hours > 0 && schedule.next > 0)
        text += QStringLiteral("，下次 ") + humanTime(schedule.next);
    return text;
}

/// Nothing when \a path is gone afterwards; the system's reason otherwise.
std::optional<QString> removeFile(const QString &path)
{
    QFile file(path);
    if (file.remove())
        return std::nullopt;
    return file.errorString();
}

/// Writes, reads back and deletes an agent file of its own; the user's login item is never
/// looked at.
void checkAgentFile(Report &report)
{
    const PlatformTable table = currentPlatform();
    const QString folder = QDir::tempPath();
    // Qt reports no temporary folder at all when $TMPDIR names none; the file must not land
    // in the current folder or "/" instead.
    if (folder.isEmpty()) {
        report.fail(
            QStringLiteral("开机自启配置：临时文件夹不存在（") + qEnvironmentVariable("TMPDIR") + QStringLiteral("）"));
        return;
    }
    const QString name = QStringLiteral("menubar-selftest-") + QString::number(::getpid()) + table.launchAgentExtension;
    const QString path = QDir(folder).filePath(name);
    const QString appPath = runningApplicationPath(table.os);

    std::optional<QString> error = writeLaunchAgent(path, appPath, table);
    if (!error)
        error = checkLaunchAgentFile(path, appPath, table);
    if (!error)
        error = removeFile(path);
    if (error) {
        // A second chance for a file the unit left behind; the first error is the one shown.
        QFile::remove(path);
        report.fail(QStringLiteral("开机自启配置：") + *error);
        return;
    }
    report.ok(QStringLiteral("开机自启配置：写入、回读、删除都正常（") + name + QStringLiteral("）"));
}

} // namespace

int runSelfTest(const std::optional<QString> &rootArgument, const Settings &settings, std::FILE *out)
{
    Report report(out);
    const std::optional<QString> root = locateRoot(rootArgument, report);
    // Without a root nothing else can be checked, and the one FAIL line says why.
    if (!root)
        return 1;
    report.ok(QStringLiteral("定位项目目录：") + *root);

    // A server this starts is left running, as the menu would leave it.
    checkService(*root, settings, report);
    checkEndpoint(settings.service, QStringLiteral("菜单状态"), endpoints::menuStatus, describeMenuStatus, report);
    checkEndpoint(settings.service, QStringLiteral("自动同步"), endpoints::autosyncGet, describeAutosync, report);
    checkAgentFile(report);

    report.end();
    return report.failed() ? 1 : 0;
}

} // namespace quenlo
