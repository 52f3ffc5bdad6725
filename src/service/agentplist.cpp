#include "service/agentplist.h"

#include "model/identity.h"

#include <QThread>

namespace quenlo {

namespace {

// libplist 2.2 parses and frees nested arrays and dictionaries by recursion, about 100
// bytes of stack a level: 64 KiB of binary plist reach 13,000 levels, which overflows a
// 512 KiB thread stack (macOS's default for secondary threads) but not this one.
constexpr uint parserStackSize = 8 * 1024 * 1024;

bool stringEquals(plist_t node, const QByteArray &expected)
{
    if (!PLIST_IS_STRING(node))
        return false;
    uint64_t length = 0;
    const char *text = plist_get_string_ptr(node, &length);
    return text != nullptr && QByteArray::fromRawData(text, qsizetype(length)) == expected;
}

bool holdsAgent(plist_t root)
{
    if (!PLIST_IS_DICT(root))
        return false;
    if (!stringEquals(plist_dict_get_item(root, "Label"), launchAgentLabel.toUtf8()))
        return false;
    const plist_t arguments = plist_dict_get_item(root, "ProgramArguments");
    if (!PLIST_IS_ARRAY(arguments) || plist_array_get_size(arguments) == 0)
        return false;
    for (uint32_t i = 0; i < plist_array_get_size(arguments); ++i) {
        if (!PLIST_IS_STRING(plist_array_get_item(arguments, i)))
            return false;
    }
    if (!stringEquals(plist_array_get_item(arguments, 0), QByteArrayLiteral("/usr/bin/open")))
        return false;
    const plist_t runAtLoad = plist_dict_get_item(root, "RunAtLoad");
    if (!PLIST_IS_BOOLEAN(runAtLoad))
        return false;
    uint8_t value = 0;
    plist_get_bool_val(runAtLoad, &value);
    return value != 0;
}

} // namespace

Plist launchAgentPlist(const QString &appPath)
{
    Plist root(plist_new_dict());
    plist_dict_set_item(root.get(), "Label", plist_new_string(launchAgentLabel.toUtf8().constData()));
    plist_t arguments = plist_new_array();
    plist_array_append_item(arguments, plist_new_string("/usr/bin/open"));
    plist_array_append_item(arguments, plist_new_string("-a"));
    plist_array_append_item(arguments, plist_new_string(appPath.toUtf8().constData()));
    plist_dict_set_item(root.get(), "ProgramArguments", arguments);
    plist_dict_set_item(root.get(), "RunAtLoad", plist_new_bool(1));
    return root;
}

QByteArray plistXML(plist_t node)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (xml == nullptr)
        return QByteArray();
    QByteArray bytes(xml, qsizetype(length));
    plist_to_xml_free(xml);
    return bytes;
}

std::optional<QString> checkAgentPlist(const QByteArray &bytes, qint64 limit)
{
    if (bytes.isEmpty() || bytes.size() > limit)
        return corruptPlistText;
    bool good = false;
    // The tree is parsed, inspected and freed on one thread with a known stack, whatever
    // thread the caller runs on.
    std::unique_ptr<QThread> parser(QThread::create([&bytes, &good] {
        plist_t root = nullptr;
        plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &root);
        const Plist owner(root);
        good = root != nullptr && holdsAgent(root);
    }));
    parser->setStackSize(parserStackSize);
    parser->start();
    parser->wait();
    if (!good)
        return corruptPlistText;
    return std::nullopt;
}

} // namespace quenlo
