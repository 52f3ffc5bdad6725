#include "service/desktopentry.h"

#include "model/identity.h"

#include <QStringDecoder>

#include <utility>

namespace quenlo {

namespace {

// The escapes of a value of type string: "\s", "\n", "\t", "\r" and "\\". An unknown
// escape stays as written, because the Exec quoting gives "\$" and friends a meaning.
QString unescapeValue(const QString &value)
{
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case '\\':
            out += QLatin1Char('\\');
            break;
        default:
            out += c;
            out += next;
        }
    }
    return out;
}

bool isExecSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n');
}

bool validKey(QStringView key)
{
    // Key names are [A-Za-z0-9-], optionally followed by a locale in brackets.
    qsizetype end = key.indexOf(QLatin1Char('['));
    if (end >= 0) {
        if (!key.endsWith(QLatin1Char(']')) || end + 2 >= key.size())
            return false;
        const QStringView locale = key.mid(end + 1, key.size() - end - 2);
        if (locale.contains(QLatin1Char('[')) || locale.contains(QLatin1Char(']')))
            return false;
    } else {
        end = key.size();
    }
    if (end == 0)
        return false;
    for (qsizetype i = 0; i < end; ++i) {
        const char16_t c = key.at(i).unicode();
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

} // namespace

QString execArgument(const QString &argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));

    // The quoting rule is applied after the value's escapes are undone, so they are
    // added last.
    QString written;
    written.reserve(quoted.size() + 8);
    for (const QChar c : quoted) {
        switch (c.unicode()) {
        case '\\':
            written += QStringLiteral("\\\\");
            break;
        case '\n':
            written += QStringLiteral("\\n");
            break;
        case '\t':
            written += QStringLiteral("\\t");
            break;
        case '\r':
            written += QStringLiteral("\\r");
            break;
        default:
            written += c;
        }
    }
    return written;
}

std::optional<QStringList> parseExecValue(const QString &value)
{
    const QString s = unescapeValue(value);
    QStringList arguments;
    QString current;
    bool inArgument = false;
    const qsizetype n = s.size();
    const auto percentPair
        = [&s, n](qsizetype i) { return s.at(i) == QLatin1Char('%') && i + 1 < n && s.at(i + 1) == QLatin1Char('%'); };
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = s.at(i);
        if (isExecSpace(c)) {
            if (inArgument)
                arguments.append(std::exchange(current, QString()));
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == QLatin1Char('"')) {
            for (++i;; ++i) {
                if (i >= n)
                    return std::nullopt;
                const QChar q = s.at(i);
                if (q == QLatin1Char('"'))
                    break;
                if (q == QLatin1Char('\\') && i + 1 < n && QStringView(u"\"`$\\").contains(s.at(i + 1))) {
                    current += s.at(++i);
                } else if (percentPair(i)) {
                    current += QLatin1Char('%');
                    ++i;
                } else {
                    current += q;
                }
            }
        } else if (c == QLatin1Char('\'')) {
            for (++i;; ++i) {
                if (i >= n)
                    return std::nullopt;
                if (s.at(i) == QLatin1Char('\''))
                    break;
                if (percentPair(i)) {
                    current += QLatin1Char('%');
                    ++i;
                } else {
                    current += s.at(i);
                }
            }
        } else if (c == QLatin1Char('\\') && i + 1 < n) {
            current += s.at(++i);
        } else if (percentPair(i)) {
            current += QLatin1Char('%');
            ++i;
        } else {
            current += c;
        }
    }
    if (inArgument)
        arguments.append(current);
    return arguments;
}

QByteArray autostartDesktopEntry(const QString &executable)
{
    QString entry;
    entry += QStringLiteral("[Desktop Entry]\n");
    entry += QStringLiteral("Type=Application\n");
    entry += QStringLiteral("Name=") + appDisplayName + QLatin1Char('\n');
    entry += QStringLiteral("Comment=") + appDisplayName + QStringLiteral(" 的托盘助手\n");
    entry += QStringLiteral("Exec=") + execArgument(executable) + QLatin1Char('\n');
    entry += QStringLiteral("Terminal=false\n");
    entry += QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    return entry.toUtf8();
}

std::optional<QMap<QString, QString>> desktopEntryKeys(const QByteArray &bytes)
{
    if (bytes.contains('\0'))
        return std::nullopt;
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;

    QMap<QString, QString> entry;
    QStringList groups;
    for (QStringView line : QStringView(text).split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')) || line.size() < 3)
                return std::nullopt;
            const QString name = line.mid(1, line.size() - 2).toString();
            if (name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']')) || groups.contains(name))
                return std::nullopt;
            if (groups.isEmpty() && name != QStringLiteral("Desktop Entry"))
                return std::nullopt;
            groups.append(name);
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0 || groups.isEmpty())
            return std::nullopt;
        const QStringView key = line.left(equals).trimmed();
        if (!validKey(key))
            return std::nullopt;
        if (groups.size() > 1)
            continue;
        if (entry.contains(key.toString()))
            return std::nullopt;
        entry.insert(key.toString(), line.mid(equals + 1).trimmed().toString());
    }
    if (groups.isEmpty())
        return std::nullopt;
    return entry;
}

std::optional<QString> checkAutostartEntry(const QByteArray &bytes, const QString &program)
{
    const std::optional<QMap<QString, QString>> entry = desktopEntryKeys(bytes);
    if (!entry)
        return corruptAutostartText;
    if (unescapeValue(entry->value(QStringLiteral("Type"))) != QStringLiteral("Application"))
        return corruptAutostartText;
    if (!entry->contains(QStringLiteral("Exec")))
        return corruptAutostartText;
    const std::optional<QStringList> exec = parseExecValue(entry->value(QStringLiteral("Exec")));
    if (!exec || exec->isEmpty() || exec->first() != program)
        return corruptAutostartText;
    if (entry->value(QStringLiteral("X-GNOME-Autostart-enabled")) != QStringLiteral("true"))
        return corruptAutostartText;
    if (entry->value(QStringLiteral("Hidden")) == QStringLiteral("true"))
        return corruptAutostartText;
    return std::nullopt;
}

} // namespace quenlo
