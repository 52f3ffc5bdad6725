#pragma once

// Reads what a tray host reads from a StatusNotifierItem and its com.canonical.dbusmenu
// object, with the defaults of the DBusMenu protocol for properties that are left out.

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QList>
#include <QString>
#include <QVariantMap>

namespace quenlo::test {

/// \brief One entry of a DBusMenu layout and its children.
struct MenuNode {
    int id = -1;
    QVariantMap properties;
    QList<MenuNode> children;

    QString type() const { return properties.value(QStringLiteral("type"), QStringLiteral("standard")).toString(); }
    bool isSeparator() const { return type() == QStringLiteral("separator"); }
    bool enabled() const { return properties.value(QStringLiteral("enabled"), true).toBool(); }
    bool visible() const { return properties.value(QStringLiteral("visible"), true).toBool(); }
    QString toggleType() const { return properties.value(QStringLiteral("toggle-type")).toString(); }
    /// 1 checked, 0 unchecked, -1 indeterminate or not a toggle.
    int toggleState() const { return properties.value(QStringLiteral("toggle-state"), -1).toInt(); }
    bool opensSubmenu() const
    {
        return properties.value(QStringLiteral("children-display")).toString() == QStringLiteral("submenu");
    }

    /// The label as a person reads it: "_" marks a mnemonic, "__" is a literal underscore.
    QString label() const
    {
        const QString raw = properties.value(QStringLiteral("label")).toString();
        QString out;
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw.at(i) == QLatin1Char('_')) {
                if (i + 1 < raw.size() && raw.at(i + 1) == QLatin1Char('_'))
                    out += raw.at(++i);
                continue;
            }
            out += raw.at(i);
        }
        return out;
    }

    /// The first child whose label is \a text, or nullptr.
    const MenuNode *child(const QString &text) const
    {
        for (const MenuNode &c : children)
            if (c.label() == text)
                return &c;
        return nullptr;
    }
};

/// Reads a layout item (ia{sv}av) and, recursively, its children.
inline MenuNode readMenuNode(const QDBusArgument &arg)
{
    MenuNode node;
    arg.beginStructure();
    arg >> node.id >> node.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        node.children.append(readMenuNode(qvariant_cast<QDBusArgument>(child.variant())));
    }
    arg.endArray();
    arg.endStructure();
    return node;
}

/// \brief One pixmap of a StatusNotifierItem icon (ARGB32, network byte order).
struct TrayPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;

    /// Pixels whose alpha byte is not zero.
    int opaquePixels() const
    {
        int n = 0;
        for (qsizetype i = 0; i + 3 < argb.size(); i += 4)
            n += argb.at(i) != 0;
        return n;
    }
};

/// Reads an a(iiay) icon.
inline QList<TrayPixmap> readPixmaps(const QDBusArgument &arg)
{
    QList<TrayPixmap> out;
    arg.beginArray();
    while (!arg.atEnd()) {
        TrayPixmap p;
        arg.beginStructure();
        arg >> p.width >> p.height >> p.argb;
        arg.endStructure();
        out.append(p);
    }
    arg.endArray();
    return out;
}

/// \brief The tool tip of a StatusNotifierItem, (sa(iiay)ss).
struct TrayToolTip {
    QString iconName;
    QList<TrayPixmap> pixmaps;
    QString title;
    QString text;
};

inline TrayToolTip readToolTip(const QDBusArgument &arg)
{
    TrayToolTip tip;
    arg.beginStructure();
    arg >> tip.iconName;
    tip.pixmaps = readPixmaps(arg);
    arg >> tip.title >> tip.text;
    arg.endStructure();
    return tip;
}

/// A blocking call that still lets this thread's own D-Bus objects answer (the fake watcher
/// lives on the same thread as the host that calls it).
inline QDBusMessage callAndWait(QDBusConnection &bus, const QDBusMessage &message, int ms = 10000)
{
    return bus.call(message, QDBus::BlockWithGui, ms);
}

/// org.freedesktop.DBus.Properties.Get; an invalid QVariant when it failed.
inline QVariant readProperty(
    QDBusConnection &bus, const QString &service, const QString &path, const QString &interface, const QString &name)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << interface << name;
    const QDBusMessage reply = callAndWait(bus, get);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return qvariant_cast<QDBusVariant>(reply.arguments().first()).variant();
}

} // namespace quenlo::test
