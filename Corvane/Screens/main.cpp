// SPDX-License-Identifier: GPL-3.0-or-later
// corvane: the desktop app: the main window and the tray item over the
// user's agent, which holds the application model.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QUrl>

#include "Corvane/Platform/ServiceActivationPlatform.hpp"
#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Screens/DesktopAppearance.hpp"
#include "Corvane/Screens/IconProvider.hpp"
#include "Corvane/Screens/AgentLink.hpp"
#include "Corvane/Screens/NativeTypes.hpp"
#include "Corvane/Screens/SingleInstance.hpp"
#include "Corvane/Screens/StatusNotifierTray.hpp"
#include "Corvane/Screens/TrayHost.hpp"
#include "Corvane/Screens/TrayItem.hpp"
#include "Corvane/Screens/WaylandSeat.hpp"
#include "Corvane/Tunnel/SystemExtensionController.hpp"
#include "CorvaneCore/Config/Deployment.hpp"

using namespace corvane;

namespace {

// Runs `work` on the loop's thread and waits for it.
template <class Work>
void onLoopThread(boost::asio::io_context& loop, Work work) {
    std::promise<void> done;
    boost::asio::post(loop, [&] {
        work();
        done.set_value();
    });
    done.get_future().wait();
}

constexpr const char* usage =
    "usage: corvane [--background] [--preview-logs]\n"
    "  --background    start in the tray, without the window (where the desktop has a tray)\n"
    "  --preview-logs  open the window with the log drawer shown\n"
    "Starting corvane while it runs brings its window to the front.\n";

// Said once, in the window and on stderr, when no tray host runs.
const QString noTrayNotice = QStringLiteral(
    "This desktop shows no tray icons, so Corvane keeps its window open and quits when you close it. "
    "For a tray icon on GNOME, install and enable the \"AppIndicator and KStatusNotifierItem Support\" "
    "extension (Debian and Ubuntu: gnome-shell-extension-appindicator), then log out and in again.");

// The help an installed app opens from the setup checklist.
QString installedHelpURL() {
    const QString readme =
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral(CORVANE_DOC_FROM_BIN));
    return QFileInfo::exists(readme) ? QUrl::fromLocalFile(QDir::cleanPath(readme)).toString() : QString();
}

// The XEmbed tray's module, beside the program in a build, else where it is installed.
const XEmbedTrayModule* loadXEmbedTray() {
    std::error_code error;
    const auto bin = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    std::string why = "not found";
    for (const auto& path : {bin / "corvane-xembed-tray.so", bin / CORVANE_XEMBED_MODULE_FROM_BIN}) {
        if (!std::filesystem::exists(path, error)) continue;
        // Kept for the life of the process: the application object comes from it.
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        const auto* found = module ? static_cast<const XEmbedTrayModule*>(dlsym(module, xembedTrayModuleSymbol)) : nullptr;
        if (found && found->version == xembedTrayModuleVersion) return found;
        why = module ? path.string() + " is of another version" : dlerror();
    }
    std::fprintf(stderr, "corvane: cannot load the XEmbed tray module (%s); starting without a tray icon\n", why.c_str());
    return nullptr;
}

// Qt's Wayland client cannot run without a seat (see WaylandSeat.hpp): X11
// through XWayland where there is a display, else a clear end instead of a crash.
// False when the app cannot start.
bool avoidWaylandWithoutSeat(int argc, char** argv) {
    int platformValue = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "-platform")) platformValue = i + 1;
    }
    const WaylandSeat seat = probeWaylandSeat(platformValue ? argv[platformValue] : "");
    if (seat == WaylandSeat::notUsed || seat == WaylandSeat::present) return true;
    const char* why = seat == WaylandSeat::absent
                          ? "the Wayland compositor offers no seat (no keyboard or pointer), which the window needs"
                          : "no Wayland compositor answers (WAYLAND_DISPLAY)";
    const char* x11 = std::getenv("DISPLAY");
    if (!x11 || !*x11) {
        std::fprintf(stderr,
                     "corvane: cannot open the window: %s, and no X11 display is set (DISPLAY) to use instead.\n"
                     "Start Corvane in a desktop session with a keyboard and pointer, or set DISPLAY to an X server "
                     "(XWayland). corvanectl works without a window.\n",
                     why);
        return false;
    }
    std::fprintf(stderr, "corvane: %s; using X11 (XWayland) on %s instead\n", why, x11);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    if (platformValue) argv[platformValue] = const_cast<char*>("xcb");
    return true;
}

void bringToFront(QQuickWindow* window) {
    window->show();
    if (window->windowStates() & Qt::WindowMinimized) window->setWindowStates(window->windowStates() & ~Qt::WindowMinimized);
    window->raise();
    window->requestActivate();
}

}  // namespace

int main(int argc, char** argv) {
    bool previewLogs = false;
    bool background = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--preview-logs") || !std::strcmp(argv[i], "-previewLogs")) {
            previewLogs = true;
        } else if (!std::strcmp(argv[i], "--background")) {
            background = true;
        } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(usage, stdout);
            return 0;
        } else if (!std::strcmp(argv[i], "--version")) {
            std::printf("corvane %s\n", CORVANE_VERSION);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            // Qt's own options (-platform, -style ...) have one dash.
            std::fprintf(stderr, "corvane: unknown option %s\n%s", argv[i], usage);
            return 2;
        }
    }

    if (!avoidWaylandWithoutSeat(argc, argv)) return 1;

    // The software scene graph: a window of text, icons and one small chart gains
    // nothing from the GPU, and Mesa's OpenGL stack alone costs about 85 MB of
    // resident memory. QT_QUICK_BACKEND still chooses another one.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND")) QQuickWindow::setSceneGraphBackend("software");
    const TrayHost host = findTrayHost();
    const XEmbedTrayModule* xembed = host == TrayHost::xembed ? loadXEmbedTray() : nullptr;
    std::unique_ptr<QGuiApplication> app(xembed ? xembed->makeApplication(argc, argv) : new QGuiApplication(argc, argv));
    QGuiApplication::setApplicationName(QStringLiteral("Corvane"));
    QGuiApplication::setApplicationVersion(QStringLiteral(CORVANE_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("corvane"));
    QGuiApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("corvane"), TrayItem::statusIcon(QStringLiteral("connected"))));
    // Closing the window leaves the app running; the tray item brings it back.
    QGuiApplication::setQuitOnLastWindowClosed(false);

    // One app per user: a second start shows the first one's window and ends
    // before it reaches the agent.
    SingleInstance instance(SingleInstance::defaultFolder());
    switch (instance.claim()) {
    case SingleInstance::Claim::first: break;
    case SingleInstance::Claim::raised:
        std::fprintf(stderr, "corvane: already running; its window was brought to the front\n");
        return 0;
    case SingleInstance::Claim::noAnswer:
        std::fprintf(stderr, "corvane: already running (pid %lld) but it did not answer; not starting a second one\n",
                     static_cast<long long>(instance.ownerPid()));
        return 1;
    }

    // One loop for the tunnel service's check and everything it owns.
    boost::asio::io_context loop;
    auto guard = boost::asio::make_work_guard(loop);
    std::thread loopThread([&loop] { loop.run(); });

    // The model is the user's agent's (started here when none runs); this loop
    // only checks that the tunnel service is there and lets this user in.
    std::unique_ptr<SystemExtensionController> extension;
    onLoopThread(loop, [&] {
        extension = std::make_unique<SystemExtensionController>(std::make_shared<ServiceActivationPlatform>(
            loop.get_executor(), preferredTunnelServiceSocket(), CORVANE_VERSION));
    });

    AgentLink link(AgentClient::Options{}, *extension, loop.get_executor());
    // The operator's files as the agent reads them; it reports their problems.
    AppBridge bridge(link, {.appVersion = CORVANE_VERSION,
                            .previewLogs = previewLogs,
                            .panelPlaceholder = Deployment::load(Deployment::standardFiles()).values.panelURL});
    bridge.setHelpURL(installedHelpURL());
    bridge.setAutostartEntry(AutostartEntry::forUser());
    DesktopAppearance appearance;
    link.observe(bridge);

    // Without a host at start the item still registers, and shows once a panel starts.
    std::unique_ptr<TrayIcon> trayIcon(xembed ? xembed->makeIcon() : new StatusNotifierTray);
    const bool trayAtStart = xembed ? trayIcon->available() : host == TrayHost::statusNotifier;
    if (!trayAtStart) {
        std::fprintf(stderr, "corvane: no system tray: %s\n", qPrintable(noTrayNotice));
        bridge.setTrayNotice(noTrayNotice);
    }
    trayIcon->availabilityChanged = [&bridge, &trayIcon] {
        if (trayIcon->available()) bridge.setTrayNotice(QString());
    };

    int status = 0;
    {
        TrayItem tray(bridge, trayIcon.get());
        registerNativeTypes();
        QQmlApplicationEngine engine;
        engine.addImageProvider(QStringLiteral("icon"), new IconProvider);
        engine.addImportPath(QStringLiteral("qrc:/"));
        engine.rootContext()->setContextProperty(QStringLiteral("bridge"), &bridge);
        engine.rootContext()->setContextProperty(QStringLiteral("appearance"), &appearance);
        // Without a tray the window is the only way to the app: it always shows.
        engine.rootContext()->setContextProperty(QStringLiteral("startHidden"), background && trayAtStart);
        engine.load(QUrl(QStringLiteral("qrc:/Corvane/Screens/Main.qml")));
        auto* window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(engine.rootObjects().first());
        if (!window) {
            status = 1;
        } else {
            auto phase = [&bridge, window] { bridge.windowStateChanged(window->isActive(), window->isVisible()); };
            QObject::connect(window, &QQuickWindow::activeChanged, &bridge, phase);
            QObject::connect(window, &QQuickWindow::visibleChanged, &bridge, phase);
            phase();
            // A closed window with no tray would leave an app nobody can reach.
            QObject::connect(window, &QQuickWindow::visibleChanged, app.get(), [window, &trayIcon] {
                if (!window->isVisible() && !trayIcon->available()) QGuiApplication::quit();
            });
            QObject::connect(&tray, &TrayItem::openRequested, window, [window] { bringToFront(window); });
            QObject::connect(&instance, &SingleInstance::raiseRequested, window, [window] { bringToFront(window); });
            QObject::connect(&tray, &TrayItem::quitRequested, app.get(), &QGuiApplication::quit);
            status = QGuiApplication::exec();
        }
    }

    // Quitting the window leaves the agent, and the tunnel, as they are.
    link.stopObserving();
    onLoopThread(loop, [&] {
        extension.reset();
        loop.stop();
    });
    loopThread.join();
    return status;
}
