#include "selftest/selftestoutput.h"

#include <QByteArray>

namespace quenlo {

void printLine(std::FILE *out, const QString &text)
{
    const QByteArray line = text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), out);
    std::fflush(out);
}

} // namespace quenlo
