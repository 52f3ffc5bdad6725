#pragma once

#include "app/notifier.h"

#include <QList>
#include <QPair>
#include <QString>

#include <memory>

namespace quenlo::test {

/// \brief Keeps the notifications it is asked to post, for the test to read.
class RecordingNotifier final : public Notifier {
public:
    struct Log {
        QList<QPair<QString, QString>> posted; ///< title, body
    };
    explicit RecordingNotifier(std::shared_ptr<Log> log) : m_log(std::move(log)) {}
    void notify(const QString &title, const QString &body) override { m_log->posted.append({title, body}); }

private:
    std::shared_ptr<Log> m_log;
};

} // namespace quenlo::test
