#pragma once

#include "model/settings.h"

#include <QString>

namespace quenlo {

/// \brief One outcome shown in the status line: interim progress, or a result that is also
/// posted as a notification.
struct Message {
    enum class Kind { Progress, Result };

    QString text;
    Kind kind = Kind::Result;
    Milliseconds duration{0};

    bool notifies() const { return kind == Kind::Result; }

    static Message progress(const QString &text, Milliseconds duration) { return {text, Kind::Progress, duration}; }
    /// A result, unless the text (which may be the server's own words) reads as an interim
    /// state: a text that begins with "正在" never notifies.
    static Message outcome(const QString &text, Milliseconds duration)
    {
        return {text, text.startsWith(QStringLiteral("正在")) ? Kind::Progress : Kind::Result, duration};
    }
    bool operator==(const Message &) const = default;
};

} // namespace quenlo
