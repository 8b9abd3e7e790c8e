// SPDX-License-Identifier: GPL-3.0-or-later
// The window's desktop settings: start at login and notifications.
#include "Corvane/Screens/AppBridge.hpp"

namespace corvane {

void AppBridge::setNotifications(bool on) { actions_.setNotifications(on); }
void AppBridge::useFileCredentialStore() { actions_.useFileCredentialStore(); }

void AppBridge::setAutostartEntry(AutostartEntry entry) {
    autostart_.emplace(std::move(entry));
    refreshStartAtLogin();
}

void AppBridge::refreshStartAtLogin() {
    if (!autostart_) return;
    AutostartStatus status = autostartStatus_;
    QString note;
    try {
        status = autostart_->status();
        if (status.edited) {
            note = QStringLiteral("Your own entry %1 is kept; the switch only hides or shows it.")
                       .arg(QString::fromStdString(status.path.string()));
        }
    } catch (const AutostartError& e) {
        note = QString::fromStdString(e.what());
    }
    if (status == autostartStatus_ && note == startAtLoginNote_) return;
    autostartStatus_ = std::move(status);
    startAtLoginNote_ = std::move(note);
    emit changed();
}

void AppBridge::setStartAtLogin(bool on) {
    if (!autostart_) return;
    try {
        autostart_->set(on);
    } catch (const AutostartError& e) {
        // The switch goes back to what the file says, and says why.
        refreshStartAtLogin();
        startAtLoginNote_ = QString::fromStdString(e.what());
        emit changed();
        return;
    }
    refreshStartAtLogin();
}

}  // namespace corvane
