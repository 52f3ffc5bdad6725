#pragma once

#include <QColor>
#include <QIcon>
#include <QString>

namespace quenlo {

/// True when a drawing exists for \a symbol.
bool hasSymbol(const QString &symbol);
/// The tray icon for \a symbol, painted in \a color (the panel's text colour on Linux);
/// the glyph "书" when no drawing of that name exists.
QIcon symbolIcon(const QString &symbol, const QColor &color);
/// The glyph icon used when a symbol is missing.
QIcon glyphIcon(const QColor &color);

} // namespace quenlo
