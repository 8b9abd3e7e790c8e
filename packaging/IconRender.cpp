// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-icon-render SVG SIZE PNG: the app's icon as one of the raster sizes
// an icon theme keeps beside the SVG (desktops that cannot draw SVG use them).
#include <cstdio>
#include <cstdlib>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: corvane-icon-render SVG SIZE PNG\n");
        return 2;
    }
    // No display is needed, nor wanted on a build machine.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    const int size = std::atoi(argv[2]);
    if (!svg.isValid() || size < 16 || size > 1024) {
        std::fprintf(stderr, "corvane-icon-render: cannot render %s at %s px\n", argv[1], argv[2]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    svg.render(&painter);
    painter.end();
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "corvane-icon-render: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
