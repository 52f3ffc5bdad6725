#pragma once

// Shared by the fuzz targets: a property check that stops the run with the failing input
// saved (libFuzzer writes crash-* on abort), and the input split the targets share.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quenlo::fuzz {

/// Aborts with \a what when \a holds is false; \a detail is printed as well.
inline void check(bool holds, const char *what, const QString &detail = QString())
{
    if (holds)
        return;
    std::fprintf(stderr, "property violated: %s\n", what);
    if (!detail.isEmpty())
        std::fprintf(stderr, "  %s\n", qUtf8Printable(detail));
    std::abort();
}

/// \brief Reads an input front to back: a few selector bytes, then the rest as the payload.
class Input final {
public:
    Input(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    {
    }
    /// The next byte, 0 once the input is used up.
    uint8_t byte()
    {
        if (m_pos >= m_size)
            return 0;
        return m_data[m_pos++];
    }
    /// Everything not read yet.
    QByteArray rest() const
    {
        return QByteArray(reinterpret_cast<const char *>(m_data + m_pos), qsizetype(m_size - m_pos));
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

/// The input's bytes as they are.
inline QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

/// A string that may hold anything a QString can, lone surrogates included (JSON's "\ud800"
/// reaches the readers that way): the bytes as UTF-16 when \a raw, as UTF-8 otherwise.
inline QString textOf(const QByteArray &bytes, bool raw)
{
    if (!raw)
        return QString::fromUtf8(bytes);
    return QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2);
}

} // namespace quenlo::fuzz
