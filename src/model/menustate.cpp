#include "model/menustate.h"

namespace quenlo {

QString RunningJob::display() const
{
    static const QString separator = QStringLiteral(" · ");
    if (progress)
        return label + separator + QString::number(*progress) + QLatin1Char('%');
    if (!message.isEmpty())
        return label + separator + message;
    return label + separator + QStringLiteral("进行中");
}

} // namespace quenlo
