// The desktop client's registration file: any bytes to projectFromRegistration().

#include "fuzzcheck.h"

#include "service/projectroot.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

using namespace quenlo;
using namespace quenlo::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const std::optional<QString> project = projectFromRegistration(bytes);
    if (!project)
        return 0;
    check(project->startsWith(u'/'), "an absolute path", *project);
    check(QDir::cleanPath(*project) == *project, "a clean path", *project);
    check(!project->contains(QChar(0)) && project->isValidUtf16(), "a path a file can have", *project);
    for (const char c : bytes)
        check(uchar(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r', "no raw control bytes in the file");
    // Only an object whose every value is a string, with "project_path" among them, registers.
    const QJsonObject object = QJsonDocument::fromJson(bytes).object();
    check(object.value(QStringLiteral("project_path")).isString(), "project_path is a string");
    for (auto it = object.begin(); it != object.end(); ++it)
        check(it.value().isString(), "every value is a string", it.key());
    check(QDir::cleanPath(object.value(QStringLiteral("project_path")).toString()) == *project,
        "the path is the registered one, cleaned", *project);
    return 0;
}
