// SPDX-License-Identifier: GPL-3.0-or-later
// The bridge's part for the tray menu, the update dialog and the setup checklist.
#include <QDesktopServices>
#include <QMetaObject>
#include <QUrl>

#include "Corvane/Screens/AppBridge.hpp"

namespace corvane {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

using ExtensionKind = SystemExtensionController::State::Kind;

}  // namespace

// --- Tray menu ------------------------------------------------------------------------

QString AppBridge::trayStatusLine() const { return QStringLiteral("Corvane: ") + statusWord(); }

QString AppBridge::trayRoute() const {
    if (snapshot_->status != UiStatus::connected) return {};
    return QStringLiteral("via ") + activeRouteName();
}

QString AppBridge::trayRates() const {
    if (snapshot_->status != UiStatus::connected) return {};
    return QStringLiteral("\u2193 ") + downRate() + QStringLiteral("   \u2191 ") + upRate();
}

QString AppBridge::trayToolTip() const {
    const QString route = trayRoute();
    return route.isEmpty() ? trayStatusLine() : trayStatusLine() + QLatin1Char('\n') + route;
}

// The menu's Connect/Disconnect item:
//
//   status                          tunnel service state          enabled
//   any, while `working`            any                           no
//   connected, reconnecting, failed any                           yes (a way out or a retry)
//   disconnected, connecting        active, and signed in         yes
//   disconnected, connecting        checking, failed, needs       no  (the checklist says what
//                                   approval, not installed,           to do first)
//                                   needs a restart
//   disconnected                    active, signed out            no  (nothing to connect with)
bool AppBridge::connectEnabled() const {
    const auto& s = *snapshot_;
    if (s.working) return false;
    switch (s.status) {
    case UiStatus::connected:
    case UiStatus::reconnecting:
    case UiStatus::failed: return true;
    case UiStatus::disconnected:
    case UiStatus::connecting: return extension_.kind() == ExtensionKind::active && s.signedIn;
    }
    return false;
}

QString AppBridge::connectReason() const {
    const auto& s = *snapshot_;
    if (s.working || !s.signedIn || connectEnabled()) return {};
    if (extension_.kind() == ExtensionKind::checking) return checklistTitle();
    return checklistTitle() + QStringLiteral(" \u2014 see the setup step above.");
}

void AppBridge::deliverAgentNotice(QString text) {
    QMetaObject::invokeMethod(
        this,
        [this, text = std::move(text)] {
            if (text == agentNotice_) return;
            agentNotice_ = text;
            emit changed();
        },
        Qt::QueuedConnection);
}

void AppBridge::setTrayNotice(const QString& text) {
    if (text == trayNotice_) return;
    trayNotice_ = text;
    emit changed();
}

// --- Update dialog ----------------------------------------------------------------------

bool AppBridge::updateShown() const {
    const auto& u = snapshot_->update;
    return u && u->updateAvailable && (u->blocking || !snapshot_->updateDismissed);
}

bool AppBridge::updateRequired() const { return snapshot_->update && snapshot_->update->blocking; }

QString AppBridge::updateTitle() const {
    if (!snapshot_->update) return {};
    return updateRequired() ? QStringLiteral("Update required") : QStringLiteral("Update available");
}

QString AppBridge::updateMessage() const {
    const auto& u = snapshot_->update;
    if (!u) return {};
    const QString current = q(u->installed.empty() ? options_.appVersion : u->installed);
    if (u->blocking) return QStringLiteral("This version (") + current + QStringLiteral(") is no longer supported.");
    return QStringLiteral("Corvane ") + q(u->latest) + QStringLiteral(" is available \u2014 you have ") + current;
}

QString AppBridge::updateDetail() const {
    if (!snapshot_->update) return {};
    if (updateRequired()) {
        return QStringLiteral("Download and install the latest version to keep using Corvane \u2014 you won't be "
                              "able to connect until you update.");
    }
    return QStringLiteral("Update to get the latest fixes and improvements. You can keep using this version for now.");
}

bool AppBridge::updateCanDownload() const { return snapshot_->updateURL.has_value(); }

void AppBridge::downloadUpdate() {
    // The model keeps https addresses only.
    if (snapshot_->updateURL) QDesktopServices::openUrl(QUrl(q(*snapshot_->updateURL)));
}

void AppBridge::dismissUpdate() {
    if (!updateRequired()) actions_.dismissUpdate();
}

// --- Setup checklist ----------------------------------------------------------------------

QString AppBridge::extensionState() const {
    switch (extension_.kind()) {
    case ExtensionKind::checking: return QStringLiteral("checking");
    case ExtensionKind::failed: return QStringLiteral("failed");
    case ExtensionKind::needsApproval: return QStringLiteral("needsApproval");
    case ExtensionKind::needsMoveToApplications: return QStringLiteral("needsMoveToApplications");
    case ExtensionKind::needsReboot: return QStringLiteral("needsReboot");
    case ExtensionKind::active: return QStringLiteral("active");
    }
    return {};
}

QString AppBridge::checklistTitle() const {
    switch (extension_.kind()) {
    case ExtensionKind::checking: return QStringLiteral("Checking the tunnel service\u2026");
    case ExtensionKind::failed: return QStringLiteral("The tunnel service is not available");
    case ExtensionKind::needsApproval: return QStringLiteral("Allow your user to use the tunnel service");
    case ExtensionKind::needsMoveToApplications: return QStringLiteral("Install Corvane");
    case ExtensionKind::needsReboot: return QStringLiteral("Restart the tunnel service to finish updating");
    case ExtensionKind::active: return {};
    }
    return {};
}

namespace {
constexpr auto joinGroupCommand = "sudo usermod -aG corvane $USER";
constexpr auto installCommand = "sudo cmake --install .";
constexpr auto restartCommand = "sudo systemctl restart corvane-tunnel";
}  // namespace

QString AppBridge::checklistCommand() const {
    switch (extension_.kind()) {
    case ExtensionKind::needsApproval: return QString::fromLatin1(joinGroupCommand);
    case ExtensionKind::needsMoveToApplications: return QString::fromLatin1(installCommand);
    case ExtensionKind::needsReboot: return QString::fromLatin1(restartCommand);
    default: return {};
    }
}

QString AppBridge::checklistDetail() const {
    switch (extension_.kind()) {
    case ExtensionKind::checking:
    case ExtensionKind::active: return {};
    case ExtensionKind::failed: return q(extension_.text());
    case ExtensionKind::needsApproval:
        return QStringLiteral(
                   "The tunnel service only lets in members of the \"corvane\" group. Add your user with "
                   "\"%1\", then log out and log in again: the new group applies from your "
                   "next login. An administrator password is required.")
            .arg(checklistCommand());
    case ExtensionKind::needsMoveToApplications:
        return QStringLiteral(
                   "The tunnel service works with an installed Corvane only. Install it with \"%1\" "
                   "from its build folder, then start Corvane from the application menu.")
            .arg(checklistCommand());
    case ExtensionKind::needsReboot:
        return QStringLiteral(
                   "The running tunnel service is older than this app. Restart it with "
                   "\"%1\" (or restart \"corvane-tunnel --user\"), then check again.")
            .arg(checklistCommand());
    }
    return {};
}

QString AppBridge::checklistAction() const {
    switch (extension_.kind()) {
    case ExtensionKind::failed: return QStringLiteral("Try Again");
    case ExtensionKind::needsApproval: return helpURL_.isEmpty() ? QString() : QStringLiteral("Open Help");
    case ExtensionKind::needsReboot: return QStringLiteral("Check Again");
    default: return {};
    }
}

QString AppBridge::checklistIcon() const {
    switch (extension_.kind()) {
    case ExtensionKind::checking: return QStringLiteral("refresh");
    case ExtensionKind::needsApproval: return QStringLiteral("shield-alert");
    case ExtensionKind::active: return {};
    default: return QStringLiteral("warning");
    }
}

void AppBridge::runChecklistAction() {
    switch (extension_.kind()) {
    case ExtensionKind::failed:
    case ExtensionKind::needsReboot: actions_.activateExtension(); break;
    case ExtensionKind::needsApproval:
        if (!helpURL_.isEmpty()) QDesktopServices::openUrl(QUrl(helpURL_));
        break;
    default: break;
    }
}

void AppBridge::deliverExtensionState(SystemExtensionController::State state) {
    QMetaObject::invokeMethod(
        this, [this, state = std::move(state)]() mutable { setExtensionState(std::move(state)); }, Qt::QueuedConnection);
}

void AppBridge::setExtensionState(SystemExtensionController::State state) {
    if (state == extension_) return;
    extension_ = std::move(state);
    emit changed();
}

void AppBridge::windowStateChanged(bool active, bool visible) {
    const std::pair phase{active, !visible};
    if (lastPhase_ == phase) return;
    lastPhase_ = phase;
    actions_.scenePhaseChanged(phase.first, phase.second);
    // corvanectl or the user may have changed the autostart entry meanwhile.
    if (active) refreshStartAtLogin();
}

}  // namespace corvane
