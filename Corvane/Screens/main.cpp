// corvane: the desktop app's main window over the application model.

#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>

#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Screens/DesktopAppearance.hpp"
#include "Corvane/Screens/IconProvider.hpp"
#include "Corvane/Screens/ModelLink.hpp"

using namespace corvane;

namespace {

// Runs `work` on the model's thread and waits for it.
template <class Work>
void onModelThread(boost::asio::io_context& loop, Work work) {
    std::promise<void> done;
    boost::asio::post(loop, [&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

}  // namespace

int main(int argc, char** argv) {
    bool previewLogs = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--preview-logs") || !std::strcmp(argv[i], "-previewLogs")) previewLogs = true;
    }

    // The software scene graph: a window of text, icons and one small chart gains
    // nothing from the GPU, and Mesa's OpenGL stack alone costs about 85 MB of
    // resident memory. QT_QUICK_BACKEND still chooses another one.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) QQuickWindow::setSceneGraphBackend("software");
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvane"));
    QApplication::setDesktopFileName(QStringLiteral("corvane"));
    // Closing the window leaves the app running; the tray item brings it back.
    QApplication::setQuitOnLastWindowClosed(false);

    // The model's thread: one loop for the model and everything it owns.
    boost::asio::io_context loop;
    auto guard = boost::asio::make_work_guard(loop);
    std::thread modelThread([&loop] { loop.run(); });

    std::unique_ptr<AppModel> model;
    onModelThread(loop, [&] { model = std::make_unique<AppModel>(loop.get_executor(), AppModelParts::system(loop.get_executor())); });

    ModelLink link(*model, loop.get_executor());
    AppBridge bridge(link, {.appVersion = AppModel::appVersion(), .previewLogs = previewLogs});
    DesktopAppearance appearance;
    onModelThread(loop, [&] { link.observe(bridge); });

    int status = 0;
    {
        QQmlApplicationEngine engine;
        engine.addImageProvider(QStringLiteral("icon"), new IconProvider);
        engine.addImportPath(QStringLiteral("qrc:/"));
        engine.rootContext()->setContextProperty(QStringLiteral("bridge"), &bridge);
        engine.rootContext()->setContextProperty(QStringLiteral("appearance"), &appearance);
        engine.load(QUrl(QStringLiteral("qrc:/Corvane/Screens/Main.qml")));
        if (engine.rootObjects().isEmpty()) {
            status = 1;
        } else {
            status = QApplication::exec();
        }
    }

    // The model goes first, on its own thread; its loop then never runs again.
    onModelThread(loop, [&] {
        link.stopObserving();
        model.reset();
    });
    loop.stop();
    modelThread.join();
    return status;
}
