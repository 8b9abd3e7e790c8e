// SPDX-License-Identifier: GPL-3.0-or-later
// Renders the window offscreen in the states given as snapshot files and
// writes one PNG each:
//   corvane-screenshots OUTPUT_DIR STATE.json...
// A state file is a snapshot (see ViewHarness); extra keys set the window:
// "logsOpen", "height", "logSearch", "reportPreview" (opens the report preview),
// and "extension" ({"state", "text"}: the tunnel service's state, else ready).
// "tray": "menu" draws the tray's menu under its icon instead, "tray": "icons"
// the status icons on a light and a dark panel. Scale and colours come from
// QT_SCALE_FACTOR and CORVANE_COLOR_SCHEME.

#include <algorithm>
#include <cstdio>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QApplication>
#include <QPainter>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTimer>

#include "Corvane/Screens/TrayItem.hpp"
#include "Corvane/Screens/TrayMenuWidgets.hpp"
#include "ViewHarness.hpp"

namespace {

void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// The panel strip a desktop draws the tray icon on, with the menu open below it.
QImage trayMenu(corvane::ViewHarness& harness, qreal scale) {
    const corvane::TrayItem tray(harness.bridge(), nullptr);
    QMenu menu;
    corvane::syncTrayMenu(menu, tray.menuEntries());
    menu.adjustSize();
    const QPixmap shownMenu = menu.grab();
    const int icon = 22, strip = 30, margin = 12;
    const QSize menuSize = shownMenu.deviceIndependentSize().toSize();
    QImage image(QSize(std::max(menuSize.width() + 2 * margin, 200), strip + menuSize.height() + 2 * margin) * scale,
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(QColor("#e9ecef"));
    QPainter painter(&image);
    painter.fillRect(QRect(0, 0, image.width(), strip), QColor("#2a2e33"));
    const QPixmap glyph = corvane::TrayItem::statusIcon(harness.bridge().status()).pixmap(QSize(icon, icon), scale);
    painter.drawPixmap(margin, (strip - icon) / 2, glyph);
    painter.drawPixmap(margin, strip + margin / 2, shownMenu);
    return image;
}

// Each status icon at panel size on a light and on a dark panel.
QImage trayIcons(qreal scale) {
    const QStringList states{"disconnected", "connecting", "connected", "reconnecting", "failed"};
    const int icon = 22, cell = 40;
    QImage image(QSize(cell * states.size(), 2 * cell) * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    QPainter painter(&image);
    for (int row = 0; row < 2; ++row) {
        painter.fillRect(QRect(0, row * cell, cell * states.size(), cell), QColor(row == 0 ? "#f3f4f6" : "#1f2226"));
        for (int i = 0; i < states.size(); ++i) {
            painter.drawPixmap(i * cell + (cell - icon) / 2, row * cell + (cell - icon) / 2,
                               corvane::TrayItem::statusIcon(states[i]).pixmap(QSize(icon, icon), scale));
        }
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QQuickWindow::setSceneGraphBackend("software");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: corvane-screenshots OUTPUT_DIR STATE.json...\n");
        return 2;
    }
    const QDir out(args[1]);
    const QString suffix = qEnvironmentVariable("CORVANE_SHOT_SUFFIX");
    for (int i = 2; i < args.size(); ++i) {
        QFile file(args[i]);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(args[i]));
            return 1;
        }
        const QByteArray json = file.readAll();
        const QJsonObject state = QJsonDocument::fromJson(json).object();

        corvane::ViewHarness harness(state.value("logsOpen").toBool());
        QQmlApplicationEngine engine;
        harness.install(engine);
        try {
            harness.feedJson(QString::fromUtf8(json));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(args[i]), e.what());
            return 1;
        }
        const QJsonObject extension = state.value("extension").toObject();
        if (!extension.isEmpty()) harness.setExtension(extension.value("state").toString(), extension.value("text").toString());
        const QString name = QFileInfo(args[i]).completeBaseName() + suffix + ".png";
        const QString tray = state.value("tray").toString();
        if (!tray.isEmpty()) {
            const qreal scale = qEnvironmentVariableIntValue("QT_SCALE_FACTOR") > 0 ? qEnvironmentVariableIntValue("QT_SCALE_FACTOR") : 1;
            const QImage image = tray == QLatin1String("icons") ? trayIcons(scale) : trayMenu(harness, scale);
            if (!image.save(out.filePath(name))) return 1;
            std::printf("%s\n", qPrintable(out.filePath(name)));
            continue;
        }
        harness.bridge().setLogSearch(state.value("logSearch").toString());
        engine.load(QUrl(QStringLiteral("qrc:/Corvane/Screens/Main.qml")));
        if (engine.rootObjects().isEmpty()) return 1;
        auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().first());
        settle(200);
        if (state.value("reportPreview").toBool()) {
            auto* drawer = window->findChild<QObject*>(QStringLiteral("logDrawer"));
            auto* preview = drawer ? drawer->property("reportPreview").value<QObject*>() : nullptr;
            if (!preview) {
                std::fprintf(stderr, "%s: the log drawer is not open\n", qPrintable(args[i]));
                return 1;
            }
            harness.bridge().previewReport();
            QMetaObject::invokeMethod(preview, "open");
        }
        // Tall enough for the whole main screen unless the state says otherwise.
        int height = state.value("height").toInt();
        if (height == 0 && !state.value("logsOpen").toBool()) {
            if (auto* scroll = window->findChild<QObject*>(QStringLiteral("contentScroll"))) {
                height = std::max(700, scroll->property("contentHeight").toInt());
            }
        }
        if (height > 0) window->setHeight(height);
        settle(400);
        const QImage image = window->grabWindow();
        if (!image.save(out.filePath(name))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(name)));
            return 1;
        }
        std::printf("%s\n", qPrintable(out.filePath(name)));
    }
    return 0;
}
