// Renders the window offscreen in the states given as snapshot files and
// writes one PNG each:
//   corvane-screenshots OUTPUT_DIR STATE.json...
// A state file is a snapshot (see ViewHarness); extra keys set the window:
// "logsOpen", "height", "logSearch" and "reportPreview" (opens the report preview). Scale and colours come from QT_SCALE_FACTOR and
// CORVANE_COLOR_SCHEME.

#include <algorithm>
#include <cstdio>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTimer>

#include "ViewHarness.hpp"

namespace {

void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
    QQuickWindow::setSceneGraphBackend("software");
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QGuiApplication app(argc, argv);
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
        const QString name = QFileInfo(args[i]).completeBaseName() + suffix + ".png";
        if (!image.save(out.filePath(name))) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.filePath(name)));
            return 1;
        }
        std::printf("%s\n", qPrintable(out.filePath(name)));
    }
    return 0;
}
