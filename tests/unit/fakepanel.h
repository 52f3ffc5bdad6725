#pragma once

// The panel's side of the tray protocol, played by the test: the StatusNotifierWatcher, a
// counter for D-Bus signals, a clock on the demo server's request log, and one desktop
// session (bus, X server, panel, companion) that is torn down in reverse order.

#include "fakehttpserver.h"
#include "testenv.h"
#include "traydesktop.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <memory>

namespace quenlo::test {

inline const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
inline const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
inline const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
inline const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

/// \brief Plays the panel's org.kde.StatusNotifierWatcher and keeps the items it was given.
class FakeWatcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    struct Item {
        QString service;
        QString path;
    };

    explicit FakeWatcher(const QDBusConnection &bus)
        : m_bus(bus)
        , m_owners(QString(), bus)
    {
        m_owners.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        connect(&m_owners, &QDBusServiceWatcher::serviceUnregistered, this, &FakeWatcher::ownerGone);
    }

    bool publish()
    {
        return m_bus.registerObject(watcherPath, this,
                   QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
                       | QDBusConnection::ExportAllProperties)
            && m_bus.registerService(watcherName);
    }

    QStringList registeredItems() const
    {
        QStringList out;
        for (const Item &item : m_items)
            out << item.service + item.path;
        return out;
    }
    bool hostRegistered() const { return !m_hosts.isEmpty(); }
    int protocolVersion() const { return 0; }
    const QList<Item> &items() const { return m_items; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &serviceOrPath, const QDBusMessage &message)
    {
        // Qt and KDE send a bus name; Ayatana-style items send their object path.
        Item item { serviceOrPath, QStringLiteral("/StatusNotifierItem") };
        if (serviceOrPath.startsWith(QLatin1Char('/')))
            item = { message.service(), serviceOrPath };
        m_items.append(item);
        m_owners.addWatchedService(item.service);
        Q_EMIT StatusNotifierItemRegistered(item.service + item.path);
    }

    void RegisterStatusNotifierHost(const QString &service)
    {
        m_hosts.append(service);
        m_owners.addWatchedService(service);
        Q_EMIT StatusNotifierHostRegistered();
    }

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString &item);
    void StatusNotifierItemUnregistered(const QString &item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void ownerGone(const QString &service)
    {
        for (qsizetype i = m_items.size() - 1; i >= 0; --i) {
            if (m_items.at(i).service != service)
                continue;
            const Item gone = m_items.takeAt(i);
            Q_EMIT StatusNotifierItemUnregistered(gone.service + gone.path);
        }
        if (m_hosts.removeAll(service) > 0 && m_hosts.isEmpty())
            Q_EMIT StatusNotifierHostUnregistered();
    }

    QDBusConnection m_bus;
    QDBusServiceWatcher m_owners;
    QList<Item> m_items;
    QStringList m_hosts;
};

/// \brief Counts the D-Bus signals it is connected to.
class SignalCounter final : public QObject {
    Q_OBJECT
public:
    int count = 0;
public Q_SLOTS:
    void hit(const QDBusMessage &) { ++count; }
};

/// \brief Notes when each "GET /api/menu-status" line reaches the demo server's log.
class PollLog final : public QObject {
public:
    explicit PollLog(QString path)
        : m_path(std::move(path))
    {
        m_clock.start();
        connect(&m_timer, &QTimer::timeout, this, &PollLog::read);
        m_timer.start(50);
    }
    qint64 now() const { return m_clock.elapsed(); }
    /// Arrival times (ms on now()'s clock) of polls in [from, to).
    QList<qint64> between(qint64 from, qint64 to) const
    {
        QList<qint64> out;
        for (qint64 t : m_polls)
            if (t >= from && t < to)
                out << t;
        return out;
    }

private:
    void read()
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_offset))
            return;
        const QByteArray fresh = file.readAll();
        const qsizetype end = fresh.lastIndexOf('\n');
        if (end < 0)
            return;
        m_offset += end + 1;
        for (const QByteArray &line : fresh.left(end).split('\n'))
            if (line.contains("\"GET /api/menu-status "))
                m_polls << now();
    }

    QString m_path;
    qint64 m_offset = 0;
    QElapsedTimer m_clock;
    QTimer m_timer;
    QList<qint64> m_polls;
};

/// \brief One desktop session: bus, X server, panel and the companion, torn down in reverse.
struct Session {
    PrivateBus bus;
    VirtualScreen screen;
    QString watcherConnection, hostConnection;
    std::unique_ptr<FakeWatcher> watcher;
    QString hostName;
    quint16 port = freePort();
    QString configHome = makeFolder(QStringLiteral("config"));
    Companion companion;

    ~Session()
    {
        companion.stop();
        watcher.reset();
        for (const QString &name : { watcherConnection, hostConnection })
            if (!name.isEmpty())
                QDBusConnection::disconnectFromBus(name);
    }

    QDBusConnection host() const { return QDBusConnection(hostConnection); }
};

} // namespace quenlo::test
