// quenlo-iconset SVG FOLDER: renders the application icon into the PNG files of a macOS
// iconset (FOLDER should end in ".iconset"; iconutil turns it into the bundle's .icns).
// Fails when the SVG does not load, is not square, or renders blank at any size.

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>

namespace {

struct IconSize {
    const char *name;
    int pixels;
};

// The names and sizes iconutil expects.
constexpr IconSize iconSizes[] = {
    { "icon_16x16.png", 16 },
    { "icon_16x16@2x.png", 32 },
    { "icon_32x32.png", 32 },
    { "icon_32x32@2x.png", 64 },
    { "icon_128x128.png", 128 },
    { "icon_128x128@2x.png", 256 },
    { "icon_256x256.png", 256 },
    { "icon_256x256@2x.png", 512 },
    { "icon_512x512.png", 512 },
    { "icon_512x512@2x.png", 1024 },
};

bool hasInk(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return true;
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fputs("usage: quenlo-iconset ICON.svg OUTPUT.iconset\n", stderr);
        return 2;
    }
    const QString svg = QString::fromLocal8Bit(argv[1]);
    const QString folder = QString::fromLocal8Bit(argv[2]);
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "quenlo-iconset: %s is not a valid SVG\n", argv[1]);
        return 1;
    }
    const QRectF box = renderer.viewBoxF();
    if (box.width() <= 0 || box.width() != box.height()) {
        std::fprintf(stderr, "quenlo-iconset: the view box of %s is not square\n", argv[1]);
        return 1;
    }
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "quenlo-iconset: cannot make %s\n", argv[2]);
        return 1;
    }
    for (const IconSize &size : iconSizes) {
        QImage image(size.pixels, size.pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        const QString path = folder + QLatin1Char('/') + QLatin1String(size.name);
        if (!hasInk(image)) {
            std::fprintf(stderr, "quenlo-iconset: %s renders blank\n", size.name);
            return 1;
        }
        if (!image.save(path, "PNG")) {
            std::fprintf(stderr, "quenlo-iconset: cannot write %s\n", qPrintable(path));
            return 1;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return 0;
}
