#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

namespace corvane {

class AppBridge;

// The tray item for the whole life of the app, window or not: an icon that
// shows the connection's state, a tooltip with the state and route, and the
// menu: status, route, rates, Connect/Disconnect, "Open Corvane", "Quit".
// Desktops with a StatusNotifierItem host get it over D-Bus; others over XEmbed.
class TrayItem final : public QObject {
    Q_OBJECT

public:
    explicit TrayItem(AppBridge& bridge, QObject* parent = nullptr);
    ~TrayItem() override;

    void show() { icon_.show(); }
    QMenu& menu() { return menu_; }
    QSystemTrayIcon& icon() { return icon_; }

    // The icon for one of the model's status values ("connected", ...).
    static QIcon statusIcon(const QString& status);

signals:
    void openRequested();
    void quitRequested();

private:
    void refresh();

    AppBridge& bridge_;
    QMenu menu_;
    QAction* statusLine_;
    QAction* route_;
    QAction* rates_;
    QAction* toggle_;
    QAction* open_;
    QAction* quit_;
    QSystemTrayIcon icon_;
    QString shownStatus_;
};

}  // namespace corvane
