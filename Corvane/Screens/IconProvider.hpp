// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QQuickImageProvider>

namespace corvane {

// "image://icon/<name>/<colour>": one of the app's bundled SVG icons, drawn in
// `colour` at the size asked for (the view asks for device pixels, so icons
// stay sharp on HiDPI screens).
class IconProvider : public QQuickImageProvider {
public:
    IconProvider();
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;
};

}  // namespace corvane
