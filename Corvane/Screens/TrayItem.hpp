// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QList>
#include <QObject>

#include "Corvane/Screens/TrayIcon.hpp"

namespace corvane {

class AppBridge;

// The tray item for the whole life of the app, window or not: an icon that
// shows the connection's state, a tooltip with the state and route, and the
// menu: status, route, rates, Connect/Disconnect, "Open Corvane", "Quit".
class TrayItem final : public QObject {
    Q_OBJECT

public:
    // `icon` shows it; without one the item only keeps its menu (screenshots).
    explicit TrayItem(AppBridge& bridge, TrayIcon* icon, QObject* parent = nullptr);
    ~TrayItem() override;

    const QList<TrayMenuEntry>& menuEntries() const { return entries_; }

    // The icon for one of the model's status values ("connected", ...).
    static QIcon statusIcon(const QString& status);

signals:
    void openRequested();
    void quitRequested();

private:
    enum Entry { statusLine, route, rates, firstSeparator, toggle, secondSeparator, open, quit };
    void refresh();
    void trigger(int entry);

    AppBridge& bridge_;
    TrayIcon* icon_;
    QList<TrayMenuEntry> entries_;
    QString shownStatus_;
};

}  // namespace corvane
