// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/IconProvider.hpp"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

namespace corvane {

IconProvider::IconProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

QImage IconProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const auto slash = id.indexOf(u'/');
    const QString name = slash < 0 ? id : id.left(slash);
    const QString colour = slash < 0 ? QStringLiteral("#000000") : id.mid(slash + 1);
    QFile file(QStringLiteral(":/Corvane/Screens/icons/%1.svg").arg(name));
    QImage image(requestedSize.isValid() ? requestedSize : QSize(24, 24), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (file.open(QIODevice::ReadOnly)) {
        // The icons paint with currentColor, which the SVG renderer does not know.
        QByteArray svg = file.readAll();
        svg.replace("currentColor", colour.toLatin1());
        QSvgRenderer renderer(svg);
        QPainter painter(&image);
        renderer.render(&painter);
    }
    if (size) *size = image.size();
    return image;
}

}  // namespace corvane
