#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace quenlo {

/// \brief One running job of the library server as the menu shows it.
struct RunningJob {
    QString label;
    std::optional<qint64> progress; ///< percent, not clamped
    QString message;                ///< already shortened by tidy()

    /// "label · 42%", "label · message" or "label · 进行中".
    QString display() const;
};

/// \brief The menu's snapshot of the library server, rebuilt whole on every poll.
struct MenuState {
    bool serviceUp = false;
    std::optional<qint64> unread;
    std::vector<RunningJob> jobs;
    QStringList queue;
    bool autosyncKnown = false;
    qint64 autosyncHours = 0; ///< 0 means off
    double autosyncNext = 0;  ///< seconds since the Unix epoch; 0 means none
};

} // namespace quenlo
