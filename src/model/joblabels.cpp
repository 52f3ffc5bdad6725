#include "model/joblabels.h"

namespace quenlo {

const QList<QPair<QString, QString>> &jobLabels()
{
    static const QList<QPair<QString, QString>> labels = {
        {QStringLiteral("all"), QStringLiteral("更新知识星球")},
        {QStringLiteral("zsxq"), QStringLiteral("知识星球同步")},
        {QStringLiteral("dedao"), QStringLiteral("得到缓存")},
        {QStringLiteral("youtube"), QStringLiteral("YouTube 下载")},
    };
    return labels;
}

std::optional<QString> jobLabel(const QString &kind)
{
    for (const auto &[key, label] : jobLabels()) {
        if (key == kind)
            return label;
    }
    return std::nullopt;
}

} // namespace quenlo
