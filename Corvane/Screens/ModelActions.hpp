// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

// The model operations the window's controls call, one per control. The app
// sends each call to the user's agent; view tests record them.
class ModelActions {
public:
    virtual ~ModelActions() = default;

    // The sign-in fields write the model's own fields.
    virtual void setPanelURL(std::string value) = 0;
    virtual void setEmail(std::string value) = 0;
    virtual void setPassword(std::string value) = 0;

    virtual void start() = 0;
    virtual void signIn() = 0;  // signIn(auto: false)
    virtual void signOut() = 0;
    virtual void toggleConnection() = 0;
    virtual void disconnect() = 0;  // also lifts a block of traffic that outlived the tunnel
    virtual void refreshServers() = 0;  // refreshServers(forConnect: false)
    virtual void pinTag(std::string tag) = 0;
    // "auto", "reality" or "hysteria2" for the pinned entry node; nothing else changes.
    virtual void chooseProtocol(std::string protocol) = 0;
    virtual void applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                            bool quotaFallback) = 0;
    virtual void setSiteEnabled(std::int64_t siteId, bool enabled) = 0;
    virtual void setLanShare(bool on) = 0;
    virtual void regenerateLanSharePassword() = 0;
    virtual void sendDiagnostics() = 0;  // trigger "manual", no error
    // The report sendDiagnostics() would send now, sanitised, given to `done` on another thread.
    virtual void previewDiagnostics(std::function<void(std::string)> done) = 0;
    virtual void setSmartRouting(bool on) = 0;
    virtual void setNotifications(bool on) = 0;
    // Keeps the sign-in in the owner-only file from now on, and signs in again.
    virtual void useFileCredentialStore() = 0;
    // "Always require the tunnel" on the system service; a refusal shows as the error.
    virtual void setLockdown(bool enabled, bool allowLAN) = 0;
    virtual void dismissQuotaNotice() = 0;

    // The app entry's calls: the window's activation, the update dialog's
    // "Later" and the setup checklist's check of the tunnel service.
    virtual void scenePhaseChanged(bool /*active*/, bool /*background*/) {}
    virtual void dismissUpdate() {}       // updateDismissed = true
    virtual void activateExtension() {}  // SystemExtensionController::activate
};

}  // namespace corvane
