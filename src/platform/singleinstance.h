#pragma once

#include <QObject>
#include <QString>

class QLocalSocket;

namespace quenlo {

/// \brief Keeps one companion per user session and settings location; a second start wakes it.
///
/// The key is the settings location (the XDG config folder), so a demo companion with folders
/// of its own runs beside the installed one. On Linux the claim is a name on the session bus;
/// without a session bus, and on macOS, it is a local socket in the user's runtime folder.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    /// \a key is compared after QDir::cleanPath: "/home/a/.config/" and "/home/a/.config" are one.
    explicit SingleInstance(const QString &key, QObject *parent = nullptr);

    /// True when this process is now the companion for the key, and also when no claim can be
    /// made at all (a start is never refused for a broken bus or runtime folder). False when
    /// another one runs; that one has then been asked to refresh. Waits well under a second.
    bool claim();

    /// The session-bus name that stands for the key ("local.library.menubar.i" + 16 hex digits).
    QString busName() const;
    /// The local socket that stands for the key where there is no session bus.
    QString socketPath() const;

Q_SIGNALS:
    /// Another start of the same companion asked this one to refresh.
    void activated();

private:
    bool claimOnce();
    bool claimSocket();
    void answer(QLocalSocket *socket);

    QString m_hash;
    bool m_claimed = false;
};

} // namespace quenlo
