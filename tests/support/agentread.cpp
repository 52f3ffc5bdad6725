#include "agentread.h"

#include "service/agentplist.h"

#include <cstdlib>

namespace quenlo::test {

std::optional<PlistRead> readPlist(const QByteArray &bytes)
{
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &root);
    const Plist owner(root);
    if (!PLIST_IS_DICT(root))
        return std::nullopt;
    PlistRead read;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(root, &it);
    for (;;) {
        char *key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, it, &key, &value);
        if (key == nullptr)
            break;
        read.keys.append(QString::fromUtf8(key));
        free(key);
    }
    free(it);
    read.keys.sort();
    const auto text = [](plist_t node) {
        char *value = nullptr;
        plist_get_string_val(node, &value);
        const QString s = QString::fromUtf8(value);
        free(value);
        return s;
    };
    if (const plist_t label = plist_dict_get_item(root, "Label"); PLIST_IS_STRING(label))
        read.label = text(label);
    if (const plist_t arguments = plist_dict_get_item(root, "ProgramArguments"); PLIST_IS_ARRAY(arguments)) {
        for (uint32_t i = 0; i < plist_array_get_size(arguments); ++i) {
            const plist_t item = plist_array_get_item(arguments, i);
            read.argumentsAllStrings = read.argumentsAllStrings && PLIST_IS_STRING(item);
            read.arguments.append(PLIST_IS_STRING(item) ? text(item) : QString());
        }
    }
    if (const plist_t run = plist_dict_get_item(root, "RunAtLoad"); PLIST_IS_BOOLEAN(run)) {
        uint8_t value = 0;
        plist_get_bool_val(run, &value);
        read.runAtLoad = value != 0;
    }
    return read;
}

} // namespace quenlo::test
