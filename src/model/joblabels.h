#pragma once

#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace quenlo {

/// Job kinds of the server and their display names, in a fixed order.
const QList<QPair<QString, QString>> &jobLabels();
/// The label of a job kind, or nothing when the kind is unknown.
std::optional<QString> jobLabel(const QString &kind);

} // namespace quenlo
