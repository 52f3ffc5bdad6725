// The autostart entry read back (Linux variant): any bytes to desktopEntryKeys() and
// checkAutostartEntry(); and the same bytes as an executable path, whose entry must pass the
// check and whose Exec argument must split back into exactly that path.

#include "fuzzcheck.h"

#include "platform/platformtable.h"
#include "service/desktopentry.h"
#include "service/launchagent.h"

using namespace quenlo;
using namespace quenlo::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QString program = QStringLiteral("/opt/quenlo/quenlo-menubar");
    const std::optional<QString> verdict = checkAutostartEntry(bytes, program);
    const auto keys = desktopEntryKeys(bytes);
    if (!verdict)
        check(keys && keys->contains(QStringLiteral("Exec")), "an accepted entry has an Exec key");
    else
        check(*verdict == corruptAutostartText, "a refused entry says the corrupt-file text", *verdict);
    if (keys)
        Q_UNUSED(parseExecValue(keys->value(QStringLiteral("Exec"))))

    static const PlatformTable linuxTable = linuxPlatform(QStringLiteral("/nonexistent-config"));
    const QString path = QString::fromUtf8(bytes);
    const std::optional<QStringList> split = parseExecValue(execArgument(path));
    check(split && *split == QStringList { path }, "an Exec argument splits back into itself", path);
    if (const std::optional<QByteArray> content = launchAgentContent(path, linuxTable)) {
        const std::optional<QString> back = checkAutostartEntry(*content, path);
        check(!back, "the entry the companion writes reads back as its own", path);
    }
    return 0;
}
