// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>

#include "Corvane/Model/AppSnapshot.hpp"
#include "Corvane/Screens/LogListModel.hpp"
#include "Corvane/Screens/ModelActions.hpp"
#include "Corvane/Screens/RowListModel.hpp"
#include "Corvane/Tunnel/SystemExtensionController.hpp"
#include "CorvaneCore/Support/AutostartEntry.hpp"

namespace corvane {

// The window's view of the application model, which the user's agent holds.
// It lives on the GUI thread: snapshots arrive through deliver() from the
// link's thread, and every control calls one operation of ModelActions, which
// the app sends to the agent. Texts are composed here so the QML only lays
// them out; the only state of its own is presentation (log filter and search,
// fields being typed).
class AppBridge : public QObject {
    Q_OBJECT

    // Session and sign-in.
    // False until the first snapshot: the window shows neither screen before it knows which.
    Q_PROPERTY(bool stateKnown READ stateKnown NOTIFY changed)
    Q_PROPERTY(bool signedIn READ signedIn NOTIFY changed)
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(bool working READ working NOTIFY changed)
    Q_PROPERTY(bool refreshing READ refreshing NOTIFY changed)
    Q_PROPERTY(QString status READ status NOTIFY changed)
    Q_PROPERTY(QString statusWord READ statusWord NOTIFY changed)
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY changed)
    Q_PROPERTY(QString panelURL READ panelURL WRITE setPanelURL NOTIFY changed)
    Q_PROPERTY(QString email READ email WRITE setEmail NOTIFY changed)
    Q_PROPERTY(QString password READ password WRITE setPassword NOTIFY changed)
    Q_PROPERTY(QString versionLine READ versionLine CONSTANT)
    // The operator's panel address, shown in the empty Panel URL field.
    Q_PROPERTY(QString panelPlaceholder READ panelPlaceholder CONSTANT)
    Q_PROPERTY(QString headerSubtitle READ headerSubtitle NOTIFY changed)
    Q_PROPERTY(bool previewLogs READ previewLogs CONSTANT)

    // Connection panel.
    Q_PROPERTY(QString connectionGlyph READ connectionGlyph NOTIFY changed)
    Q_PROPERTY(bool pulsing READ pulsing NOTIFY changed)
    Q_PROPERTY(QString connectionSubtitle READ connectionSubtitle NOTIFY changed)
    Q_PROPERTY(QString connectionSites READ connectionSites NOTIFY changed)
    Q_PROPERTY(QString connectButtonText READ connectButtonText NOTIFY changed)
    Q_PROPERTY(bool trafficBlocked READ trafficBlocked NOTIFY changed)
    Q_PROPERTY(bool disconnectOffered READ disconnectOffered NOTIFY changed)

    // Throughput panel.
    Q_PROPERTY(bool showThroughput READ showThroughput NOTIFY changed)
    Q_PROPERTY(QString downRate READ downRate NOTIFY changed)
    Q_PROPERTY(QString upRate READ upRate NOTIFY changed)
    Q_PROPERTY(QString downTotal READ downTotal NOTIFY changed)
    Q_PROPERTY(QString upTotal READ upTotal NOTIFY changed)
    Q_PROPERTY(QVariantList downHistory READ downHistory NOTIFY changed)
    Q_PROPERTY(QVariantList upHistory READ upHistory NOTIFY changed)

    // Smart routing.
    Q_PROPERTY(bool smartRouting READ smartRouting NOTIFY changed)
    // What the next connection uses, and why that differs from the setting.
    Q_PROPERTY(bool smartRoutingOn READ smartRoutingOn NOTIFY changed)
    Q_PROPERTY(QString smartRoutingNote READ smartRoutingNote NOTIFY changed)
    // "Always require the tunnel": offered where the service can block (system mode with a kill switch).
    Q_PROPERTY(bool lockdownOffered READ lockdownOffered NOTIFY changed)
    Q_PROPERTY(bool lockdown READ lockdown NOTIFY changed)
    Q_PROPERTY(bool lockdownAllowsLAN READ lockdownAllowsLAN NOTIFY changed)

    // Route selector.
    Q_PROPERTY(QString entryName READ entryName NOTIFY changed)
    Q_PROPERTY(QString exitName READ exitName NOTIFY changed)
    Q_PROPERTY(bool autoEntry READ autoEntry NOTIFY changed)
    Q_PROPERTY(bool entryPinned READ entryPinned NOTIFY changed)
    Q_PROPERTY(QObject* entryChoices READ entryChoices CONSTANT)
    Q_PROPERTY(QObject* exitChoices READ exitChoices CONSTANT)
    Q_PROPERTY(bool meteredSelected READ meteredSelected NOTIFY changed)
    Q_PROPERTY(QString trafficSummary READ trafficSummary NOTIFY changed)
    Q_PROPERTY(QString policyLine READ policyLine NOTIFY changed)
    Q_PROPERTY(QString quotaNotice READ quotaNotice NOTIFY changed)
    Q_PROPERTY(QString protocolChoice READ protocolChoice NOTIFY changed)

    // Private networks.
    Q_PROPERTY(QString sitesSubtitle READ sitesSubtitle NOTIFY changed)
    Q_PROPERTY(QObject* sites READ sites CONSTANT)

    // LAN sharing.
    Q_PROPERTY(bool lanShare READ lanShare NOTIFY changed)
    Q_PROPERTY(QString lanState READ lanState NOTIFY changed)
    Q_PROPERTY(QString lanProxyServer READ lanProxyServer NOTIFY changed)
    Q_PROPERTY(QString lanPort READ lanPort CONSTANT)
    Q_PROPERTY(QString lanUsername READ lanUsername CONSTANT)
    Q_PROPERTY(QString lanPassword READ lanPassword NOTIFY changed)
    Q_PROPERTY(QString lanURL READ lanURL NOTIFY changed)

    // Server list.
    Q_PROPERTY(QString fleetHeader READ fleetHeader NOTIFY changed)
    Q_PROPERTY(bool autoPinned READ autoPinned NOTIFY changed)
    Q_PROPERTY(QString autoRoute READ autoRoute NOTIFY changed)
    Q_PROPERTY(QString fleetEmptyState READ fleetEmptyState NOTIFY changed)
    Q_PROPERTY(QObject* fleet READ fleet CONSTANT)

    // Log drawer.
    Q_PROPERTY(QObject* logs READ logs CONSTANT)
    Q_PROPERTY(int logFilter READ logFilter WRITE setLogFilter NOTIFY logViewChanged)
    Q_PROPERTY(QString logSearch READ logSearch WRITE setLogSearch NOTIFY logViewChanged)
    Q_PROPERTY(int logCount READ logCount NOTIFY logViewChanged)
    Q_PROPERTY(QString diagnosticsNote READ diagnosticsNote NOTIFY changed)
    Q_PROPERTY(QString reportPreview READ reportPreview NOTIFY reportPreviewChanged)

    // Tray menu (AppBridgeSetup.cpp).
    Q_PROPERTY(QString trayStatusLine READ trayStatusLine NOTIFY changed)
    Q_PROPERTY(QString trayRoute READ trayRoute NOTIFY changed)
    Q_PROPERTY(QString trayRates READ trayRates NOTIFY changed)
    Q_PROPERTY(QString trayToolTip READ trayToolTip NOTIFY changed)
    Q_PROPERTY(bool connectEnabled READ connectEnabled NOTIFY changed)
    // Why Connect cannot be used now; empty while it can, or while the model works.
    Q_PROPERTY(QString connectReason READ connectReason NOTIFY changed)
    Q_PROPERTY(QString trayNotice READ trayNotice NOTIFY changed)
    // While the window cannot reach the user's agent: why, and that it keeps trying.
    Q_PROPERTY(QString agentNotice READ agentNotice NOTIFY changed)

    // Update dialog.
    Q_PROPERTY(bool updateShown READ updateShown NOTIFY changed)
    Q_PROPERTY(bool updateRequired READ updateRequired NOTIFY changed)
    Q_PROPERTY(QString updateTitle READ updateTitle NOTIFY changed)
    Q_PROPERTY(QString updateMessage READ updateMessage NOTIFY changed)
    Q_PROPERTY(QString updateDetail READ updateDetail NOTIFY changed)
    Q_PROPERTY(bool updateCanDownload READ updateCanDownload NOTIFY changed)

    // Setup checklist: the tunnel service's state.
    Q_PROPERTY(QString extensionState READ extensionState NOTIFY changed)
    Q_PROPERTY(QString checklistTitle READ checklistTitle NOTIFY changed)
    Q_PROPERTY(QString checklistDetail READ checklistDetail NOTIFY changed)
    Q_PROPERTY(QString checklistAction READ checklistAction NOTIFY changed)
    Q_PROPERTY(QString checklistIcon READ checklistIcon NOTIFY changed)
    // The command the step asks the user to run, to select or copy; empty: none.
    Q_PROPERTY(QString checklistCommand READ checklistCommand NOTIFY changed)

    // The desktop: starting at login (the user's autostart entry, kept by the
    // window itself) and desktop notifications (a setting of the model).
    Q_PROPERTY(bool startAtLoginOffered READ startAtLoginOffered NOTIFY changed)
    Q_PROPERTY(bool startAtLogin READ startAtLogin NOTIFY changed)
    Q_PROPERTY(QString startAtLoginNote READ startAtLoginNote NOTIFY changed)
    Q_PROPERTY(bool notifications READ notifications NOTIFY changed)
    // The keyring would not keep the sign-in: offer the owner-only file.
    Q_PROPERTY(bool offerFileCredentialStore READ offerFileCredentialStore NOTIFY changed)

public:
    struct Options {
        std::string appVersion;
        bool previewLogs = false;
        // The deployment's panel address; none: the build's default.
        std::string panelPlaceholder;
        // What ages are measured against; none: the system clock.
        std::function<std::chrono::system_clock::time_point()> clock;
    };

    AppBridge(ModelActions& actions, Options options, QObject* parent = nullptr);
    ~AppBridge() override;

    // Any thread: shows `snapshot` soon on the GUI thread. A burst of snapshots
    // renders once, with the newest.
    void deliver(std::shared_ptr<const AppSnapshot> snapshot);
    // GUI thread: shows `snapshot` now.
    void apply(std::shared_ptr<const AppSnapshot> snapshot);
    const AppSnapshot& snapshot() const noexcept { return *snapshot_; }

    bool stateKnown() const { return stateKnown_; }
    bool signedIn() const { return snapshot_->signedIn; }
    bool busy() const { return snapshot_->busy; }
    bool working() const { return snapshot_->working; }
    bool refreshing() const { return snapshot_->refreshing; }
    QString status() const;
    QString statusWord() const;
    QString errorMessage() const;
    QString panelURL() const { return panelURL_.shown; }
    QString email() const { return email_.shown; }
    QString password() const { return password_.shown; }
    void setPanelURL(const QString& value);
    void setEmail(const QString& value);
    void setPassword(const QString& value);
    QString versionLine() const;
    QString panelPlaceholder() const;
    QString headerSubtitle() const;
    bool previewLogs() const { return options_.previewLogs; }

    QString connectionGlyph() const;
    bool pulsing() const;
    QString connectionSubtitle() const;
    QString connectionSites() const;
    QString connectButtonText() const;
    bool trafficBlocked() const { return snapshot_->trafficBlocked; }
    // The tunnel is down but its block stands: the main button reconnects, this lifts the block.
    bool disconnectOffered() const;

    bool showThroughput() const;
    QString downRate() const;
    QString upRate() const;
    QString downTotal() const;
    QString upTotal() const;
    QVariantList downHistory() const;
    QVariantList upHistory() const;

    bool smartRouting() const { return snapshot_->smartRouting; }
    bool smartRoutingOn() const { return snapshot_->smartRouting && !snapshot_->selectedExitId; }
    QString smartRoutingNote() const;
    bool lockdownOffered() const {
        return snapshot_->lockdown.has_value() &&
               (snapshot_->killSwitch == KillSwitchState::armed || snapshot_->killSwitch == KillSwitchState::blocking);
    }
    bool lockdown() const { return snapshot_->lockdown && snapshot_->lockdown->enabled; }
    bool lockdownAllowsLAN() const { return snapshot_->lockdown && snapshot_->lockdown->allowLAN; }

    QString entryName() const;
    QString exitName() const;
    bool autoEntry() const;
    bool entryPinned() const { return snapshot_->pin.has_value(); }
    QObject* entryChoices() { return &entryChoices_; }
    QObject* exitChoices() { return &exitChoices_; }
    bool meteredSelected() const;
    QString trafficSummary() const;
    QString policyLine() const;
    QString quotaNotice() const;
    QString protocolChoice() const;

    QString sitesSubtitle() const;
    QObject* sites() { return &sites_; }

    bool lanShare() const { return snapshot_->lanShare; }
    QString lanState() const;
    QString lanProxyServer() const;
    QString lanPort() const;
    QString lanUsername() const;
    QString lanPassword() const;
    QString lanURL() const;

    QString fleetHeader() const;
    bool autoPinned() const;
    QString autoRoute() const;
    QString fleetEmptyState() const;
    QObject* fleet() { return &fleet_; }

    QObject* logs() { return &logs_; }
    int logFilter() const { return logFilter_; }
    void setLogFilter(int filter);
    QString logSearch() const { return logSearch_; }
    void setLogSearch(const QString& text);
    int logCount() const { return logs_.count(); }
    QString diagnosticsNote() const;
    QString reportPreview() const { return reportPreview_; }

    // Tray menu, update dialog and setup checklist (AppBridgeSetup.cpp).
    QString trayStatusLine() const;
    QString trayRoute() const;
    QString trayRates() const;
    QString trayToolTip() const;
    bool connectEnabled() const;
    QString connectReason() const;
    bool updateShown() const;
    bool updateRequired() const;
    QString updateTitle() const;
    QString updateMessage() const;
    QString updateDetail() const;
    bool updateCanDownload() const;
    QString extensionState() const;
    QString checklistTitle() const;
    QString checklistDetail() const;
    QString checklistAction() const;
    QString checklistIcon() const;
    QString checklistCommand() const;
    // Any thread: shows the tunnel service's state soon on the GUI thread.
    void deliverExtensionState(SystemExtensionController::State state);
    // GUI thread: shows it now.
    void setExtensionState(SystemExtensionController::State state);
    // Where "Open Help" leads; empty: no help page installed.
    void setHelpURL(const QString& url) { helpURL_ = url; }
    // Why there is no tray item and how to get one; empty: there is one.
    QString trayNotice() const { return trayNotice_; }
    QString agentNotice() const { return agentNotice_; }
    // From any thread.
    void deliverAgentNotice(QString text);
    void setTrayNotice(const QString& text);
    Q_INVOKABLE void dismissTrayNotice() { setTrayNotice({}); }

    Q_INVOKABLE void downloadUpdate();
    Q_INVOKABLE void dismissUpdate();
    Q_INVOKABLE void runChecklistAction();
    // The window was activated or deactivated, shown or hidden.
    Q_INVOKABLE void windowStateChanged(bool active, bool visible);

    // Controls.
    Q_INVOKABLE void windowShown();
    // With CORVANE_REPORT_FIRST_FRAME set, writes "first frame <ns since 1970>" to standard error (start-up benchmark).
    Q_INVOKABLE void firstFrameDrawn();
    Q_INVOKABLE void signIn();
    Q_INVOKABLE void signOut();
    Q_INVOKABLE void toggleConnection();
    Q_INVOKABLE void disconnectTunnel();
    Q_INVOKABLE void refreshServers();
    Q_INVOKABLE void pinTag(const QString& tag);
    Q_INVOKABLE void chooseEntry(qint64 vpsId);  // -1: automatic
    Q_INVOKABLE void chooseExit(qint64 exitId);  // -1: the original VPS exit
    Q_INVOKABLE void chooseProtocol(const QString& choice);  // "auto", "reality", "hysteria2"
    Q_INVOKABLE void dismissQuotaNotice();
    Q_INVOKABLE void setSmartRouting(bool on);
    Q_INVOKABLE void setNotifications(bool on);
    Q_INVOKABLE void setStartAtLogin(bool on);
    // Reads the autostart entry again (another program, corvanectl say, may have changed it).
    Q_INVOKABLE void refreshStartAtLogin();
    // Where the start-at-login switch writes; without one the switch is not shown.
    void setAutostartEntry(AutostartEntry entry);
    bool startAtLoginOffered() const { return autostart_.has_value(); }
    bool startAtLogin() const { return autostartStatus_.enabled; }
    QString startAtLoginNote() const { return startAtLoginNote_; }
    bool notifications() const { return snapshot_->notifications; }
    bool offerFileCredentialStore() const { return snapshot_->offerFileCredentialStore; }
    Q_INVOKABLE void useFileCredentialStore();
    Q_INVOKABLE void setLockdown(bool on, bool allowLAN);
    Q_INVOKABLE void setSiteEnabled(qint64 siteId, bool enabled);
    Q_INVOKABLE void setLanShare(bool on);
    Q_INVOKABLE void regenerateLanSharePassword();
    Q_INVOKABLE void sendReport();
    // Asks the model for the report "Send report" would send; it arrives in reportPreview.
    Q_INVOKABLE void previewReport();
    Q_INVOKABLE void clearLogs();
    Q_INVOKABLE QString shownLogText() const { return logs_.text(); }
    // Puts `text` on the system clipboard.
    Q_INVOKABLE void copyText(const QString& text);

signals:
    void changed();
    void logViewChanged();
    void reportPreviewChanged();

private:
    // A sign-in field: what the user typed is shown until the model has caught up with it.
    struct TypedField {
        QString shown;
        std::optional<QString> pending;
    };
    void type(TypedField& field, const QString& value, void (ModelActions::*write)(std::string));
    static void catchUp(TypedField& field, const std::string& published);

    void rebuildLists();
    QList<QVariantMap> entryRows() const;
    QList<QVariantMap> exitRows() const;
    QList<QVariantMap> siteRows() const;
    QList<QVariantMap> fleetRows() const;
    std::optional<std::int64_t> delayOf(const std::string& tag) const;
    QString delayText(const std::string& tag) const;
    // The engine's outbound in use; none while unknown or while the automatic group names none ("").
    const std::string* activeTag() const;
    QString activeRouteName() const;

    ModelActions& actions_;
    Options options_;
    std::shared_ptr<const AppSnapshot> snapshot_;
    bool stateKnown_ = false;
    bool started_ = false;

    TypedField panelURL_, email_, password_;

    RowListModel entryChoices_;
    RowListModel exitChoices_;
    RowListModel sites_;
    RowListModel fleet_;
    LogListModel logs_;
    int logFilter_ = LogListModel::All;
    QString logSearch_;
    QString reportPreview_;

    SystemExtensionController::State extension_;
    QString helpURL_;
    QString trayNotice_;
    QString agentNotice_;
    std::optional<std::pair<bool, bool>> lastPhase_;
    std::optional<AutostartEntry> autostart_;
    AutostartStatus autostartStatus_;
    QString startAtLoginNote_;

    std::mutex inboxMutex_;
    std::shared_ptr<const AppSnapshot> inbox_;  // the newest snapshot not yet applied
};

}  // namespace corvane
