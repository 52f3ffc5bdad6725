#include "app/statusicon.h"

#include <QFile>
#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <mutex>

// The drawings live in a static library; their resource must be registered by hand.
static void registerIconResources() { Q_INIT_RESOURCE(icons); }

namespace quenlo {

namespace {

QString resourcePath(const QString &symbol) { return QStringLiteral(":/icons/") + symbol + QStringLiteral(".svg"); }

QImage tinted(QSvgRenderer &renderer, int size, const QColor &color)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    renderer.render(&p);
    // The drawings are black on transparent: keep their alpha, take the wanted colour.
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(image.rect(), color);
    return image;
}

QColor haloFor(const QColor &ink)
{
    QColor halo = ink.lightnessF() > 0.5 ? QColor(0, 0, 0) : QColor(255, 255, 255);
    halo.setAlphaF(0.55);
    return halo;
}

/// The symbol in \a ink over a thin halo of the opposite lightness: a tray icon cannot know
/// whether the panel behind it is light or dark, and the halo keeps it legible on both.
QPixmap withHalo(QSvgRenderer &renderer, int size, const QColor &ink)
{
    const QImage shape = tinted(renderer, size, ink);
    const QImage halo = tinted(renderer, size, haloFor(ink));
    QImage out(size, size, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    const int r = size >= 32 ? 2 : 1;
    for (int dx = -r; dx <= r; ++dx)
        for (int dy = -r; dy <= r; ++dy)
            if (dx != 0 || dy != 0)
                p.drawImage(dx, dy, halo);
    p.drawImage(0, 0, shape);
    p.end();
    return QPixmap::fromImage(out);
}

} // namespace

bool hasSymbol(const QString &symbol)
{
    static std::once_flag once;
    std::call_once(once, registerIconResources);
    return !symbol.isEmpty() && QFile::exists(resourcePath(symbol));
}

QIcon symbolIcon(const QString &symbol, const QColor &color)
{
    if (!hasSymbol(symbol))
        return glyphIcon(color);
    QSvgRenderer renderer(resourcePath(symbol));
    QIcon icon;
#ifdef Q_OS_MACOS
    // A template image: the menu bar itself picks the light or dark rendering.
    for (int size : {16, 22, 32, 44})
        icon.addPixmap(QPixmap::fromImage(tinted(renderer, size, Qt::black)));
    icon.setIsMask(true);
#else
    for (int size : {16, 22, 24, 32, 44, 64})
        icon.addPixmap(withHalo(renderer, size, color));
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
