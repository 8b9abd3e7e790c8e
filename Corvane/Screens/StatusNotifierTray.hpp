// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>

#include <QDBusConnection>
#include <QObject>

#include "Corvane/Screens/TrayIcon.hpp"

class QDBusServiceWatcher;

namespace corvane {

// The tray icon as a StatusNotifierItem with its menu over com.canonical.dbusmenu,
// the way KDE, GNOME's AppIndicator extension, XFCE, Cinnamon, LXQt and
// waybar show tray icons. The item registers with the desktop's
// StatusNotifierWatcher, and again whenever a watcher (re)appears, so an app
// started before the panel still gets its icon.
class StatusNotifierTray final : public QObject, public TrayIcon {
    Q_OBJECT

public:
    explicit StatusNotifierTray(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~StatusNotifierTray() override;

    void setIcon(const QIcon& icon) override;
    void setToolTip(const QString& title, const QString& text) override;
    void setMenu(const QList<TrayMenuEntry>& entries) override;
    bool available() const override { return available_; }

    // The bus name the item is published under.
    QString serviceName() const { return service_; }

    struct State;

private:
    void registerWithWatcher();
    void setAvailable(bool available);
    void emitItemSignal(const char* name, const QVariantList& arguments = {});

private slots:
    // Also called by the watcher's StatusNotifierHostRegistered signal.
    void checkHost();

private:

    QDBusConnection bus_;
    QString service_;
    std::shared_ptr<State> state_;
    std::unique_ptr<QObject> item_;
    std::unique_ptr<QObject> menu_;
    QDBusServiceWatcher* watcher_ = nullptr;
    bool available_ = false;
};

}  // namespace corvane
