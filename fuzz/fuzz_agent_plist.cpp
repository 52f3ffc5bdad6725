// The launch agent read back (macOS variant, testable anywhere): any bytes to checkAgentPlist();
// and the same bytes as an application path, whose agent file must pass that check.

#include "fuzzcheck.h"

#include "platform/platformtable.h"
#include "service/agentplist.h"
#include "service/launchagent.h"

using namespace quenlo;
using namespace quenlo::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const std::optional<QString> verdict = checkAgentPlist(bytes, launchAgentFileLimit);
    if (verdict)
        check(*verdict == corruptPlistText, "a refused file says the corrupt-file text", *verdict);

    static const PlatformTable mac = macPlatform(QStringLiteral("/nonexistent-home"));
    const QString appPath = QString::fromUtf8(bytes);
    if (const std::optional<QByteArray> content = launchAgentContent(appPath, mac)) {
        const std::optional<QString> back = checkAgentPlist(*content, launchAgentFileLimit);
        check(!back, "the agent file the companion writes reads back as an agent", appPath);
    }
    return 0;
}
