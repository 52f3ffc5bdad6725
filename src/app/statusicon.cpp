#include "app/statusicon.h"

#include <QFile>
#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace quenlo {

namespace {

QString resourcePath(const QString &symbol) { return QStringLiteral(":/icons/") + symbol + QStringLiteral(".svg"); }

QPixmap tinted(QSvgRenderer &renderer, int size, const QColor &color)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    renderer.render(&p);
    // The drawings are black on transparent: keep their alpha, take the wanted colour.
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(pixmap.rect(), color);
    return pixmap;
}

} // namespace

bool hasSymbol(const QString &symbol) { return !symbol.isEmpty() && QFile::exists(resourcePath(symbol)); }

QIcon symbolIcon(const QString &symbol, const QColor &color)
{
    if (!hasSymbol(symbol))
        return glyphIcon(color);
    QSvgRenderer renderer(resourcePath(symbol));
    QIcon icon;
    for (int size : {16, 22, 24, 32, 44, 64})
        icon.addPixmap(tinted(renderer, size, color));
#ifdef Q_OS_MACOS
    icon.setIsMask(true); // template image: the menu bar picks light or dark
#endif
    return icon;
}

QIcon glyphIcon(const QColor &color)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 44, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::TextAntialiasing);
        QFont font;
        font.setPixelSize(int(size * 0.8));
        p.setFont(font);
        p.setPen(color);
        p.drawText(pixmap.rect(), Qt::AlignCenter, QStringLiteral("书"));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace quenlo
