// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/any_io_executor.hpp>

#include "Corvane/Model/AppSnapshot.hpp"
#include "Corvane/Model/ModelTypes.hpp"
#include "Corvane/Model/Published.hpp"
#include "Corvane/Model/Subscription.hpp"
#include "Corvane/Model/Timings.hpp"
#include "Corvane/Platform/NetworkPath.hpp"
#include "Corvane/Platform/SettingsStore.hpp"
#include "Corvane/Platform/SleepMonitor.hpp"
#include "Corvane/Tunnel/ClashClient.hpp"
#include "Corvane/Tunnel/TunnelController.hpp"
#include "CorvaneCore/Config/Deployment.hpp"
#include "CorvaneCore/Config/PreparedSite.hpp"
#include "CorvaneCore/Config/SitePrep.hpp"
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"
#include "CorvaneCore/Support/Task.hpp"
#include "CorvaneCore/Tunnel/TunnelHealthPolicy.hpp"

namespace corvane {

class DiagnosticsReporter;
class HttpClient;
class PanelClient;

// What the model is built from: the system's pieces in the app and corvanectl,
// fakes and short timings in tests.
struct AppModelParts {
    std::shared_ptr<TokenStoring> store;
    std::shared_ptr<TunnelPlatform> tunnelPlatform;
    std::shared_ptr<SettingsStore> settings;
    std::shared_ptr<PathMonitor> pathMonitor;
    std::shared_ptr<SleepMonitor> sleepMonitor;        // none: sleep and wake are not followed
    std::shared_ptr<DiagnosticsReporter> diagnostics;  // none: a reporter over the default queue
    HttpClient* http = nullptr;                        // panel requests; none: the shared client
    std::function<std::optional<std::string>()> hostName;    // none: the machine's pretty host name
    std::function<std::optional<std::string>()> lanAddress;  // none: LocalAddresses::lan()
    Timings timings;
    ModelClock clock;              // none: the system clock
    ModelSteadyClock steadyClock;  // none: std::chrono::steady_clock
    std::optional<std::string> appVersion;  // none: AppModel::appVersion()
    std::optional<bool> selfUpdates;        // none: AppModel::selfUpdates()
    // Panel address, probe endpoints, resolvers, rule sets and direct domains.
    Deployment deployment = Deployment::defaults();
    SitePrep::Probe siteProbe;  // none: the site beacon
    // Where the last engine configuration is kept, its secrets masked, so that a
    // report made by another process (corvanectl) describes it too; none: memory only.
    std::filesystem::path configSnapshotFile;

    // The desktop app's and corvanectl's parts: the keychain token store, the
    // tunnel service, the settings file, rtnetlink and logind.
    static AppModelParts system(const boost::asio::any_io_executor& executor);
};

// The app's single central state object. Lives on the model's thread: every
// field, operation and callback is used there only. After each change of a
// published field it publishes an AppSnapshot to its observers (changes made
// in one step are published together).
//
// Tasks the model starts end with it; once it is destroyed its executor must
// not run them again (stop or destroy the loop after the model).
class AppModel final : private PublishedFieldOwner {
public:
    using Time = std::chrono::system_clock::time_point;
    using Instant = std::chrono::steady_clock::time_point;  // for deadlines: never jumps
    static constexpr Time distantPast = Time::min();

    AppModel(boost::asio::any_io_executor executor, AppModelParts parts);
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // Fields, in the order of the product's model.
    Published<std::string> panelURL{*this};
    Published<std::string> email{*this};
    Published<std::string> password{*this};
    Published<bool> signedIn{*this, false};
    Published<bool> busy{*this, false};
    Published<std::optional<std::string>> errorMessage{*this};
    // The sign-in could not be kept in the keyring (cancelled, locked, none): the
    // views offer useFileCredentialStore.
    Published<bool> offerFileCredentialStore{*this, false};
    PublishedShared<std::vector<ServerListEntry>> servers{*this};
    PublishedShared<std::vector<ClientExit>> exits{*this};
    Published<std::optional<std::int64_t>> selectedExitId{*this};
    Published<std::optional<std::string>> quotaNotice{*this};
    bool quotaFallbackPending = false;
    std::optional<std::int64_t> quotaFallbackEntryId;
    PublishedShared<std::vector<SiteAccess>> sites{*this};
    PublishedShared<std::vector<SiteStatus>> siteStatuses{*this};
    PublishedShared<std::set<std::int64_t>> disabledSiteIds{*this};
    std::vector<PreparedSite> activeSites;
    // The sites of the running configuration by id, in the order of its switches:
    // a model that finds the session running adopts them by id.
    std::vector<std::int64_t> connectedSiteIds;
    PublishedShared<std::vector<FleetSlot>> connectedFleet{*this};
    Published<bool> refreshing{*this, false};
    Published<bool> smartRouting{*this, true};  // change it with setSmartRouting
    Published<bool> notifications{*this, true};  // desktop notifications; change it with setNotifications
    // User mode: where the running engine offers the tunnel as a local proxy.
    Published<std::optional<std::string>> localProxy{*this};
    Published<std::optional<PinPref>> pin{*this};
    Published<bool> lanShare{*this, false};
    Published<std::optional<std::string>> sharingOn{*this};
    Published<std::optional<std::string>> lanAddress{*this};
    Published<std::string> lanSharePassword{*this};
    PublishedShared<std::map<std::string, std::int64_t>> delays{*this};
    PublishedShared<std::map<std::string, Time>> delayMeasuredAt{*this};  // when each of `delays` was measured
    Published<std::optional<std::string>> activeOutbound{*this};
    Published<std::optional<std::string>> switchingTo{*this};
    Published<std::optional<bool>> tunnelReachable{*this};
    Published<TrafficSample> trafficNow{*this};
    Published<TrafficSample> trafficTotal{*this};
    PublishedShared<std::vector<TrafficSample>> trafficHistory{*this};
    Published<std::optional<UpdateStatus>> update{*this};
    Published<bool> updateDismissed{*this, false};
    std::optional<std::string> updateURL;
    std::optional<TaskHandle> updateLoop;
    std::shared_ptr<DiagnosticsReporter> diagnostics;
    std::optional<std::string> lastConfigJSON;
    Published<std::optional<std::string>> diagnosticsNote{*this};
    PublishedShared<std::vector<TunnelIPC::SequencedLine>> logLines{*this};
    std::int64_t lastLogSeq = 0;
    TunnelController tunnel;
    std::shared_ptr<TokenStoring> store;
    std::shared_ptr<PanelClient> panel;
    std::shared_ptr<ClashClient> clash;
    std::vector<TaskHandle> liveTasks;
    std::optional<TaskHandle> trafficTask;
    std::optional<TaskHandle> healthTask;
    TunnelHealthPolicy healthPolicy;
    bool networkAvailable = true;
    std::optional<std::string> networkSignature;
    bool deviceSleeping = false;
    std::uint64_t selectionGeneration = 0;
    std::optional<Instant> lastSampleAt;
    std::optional<TaskHandle> logPoll;
    std::vector<Subscription> subscriptions;
    Published<bool> connectInFlight{*this, false};
    Published<bool> waitingForNetwork{*this, false};
    std::optional<Recovery> recovery;
    Instant recoveryDeadline = Instant::min();
    bool recoveryRunning = false;
    std::int64_t signInAutoAttempts = 0;
    std::optional<TaskHandle> backoff;
    std::shared_ptr<PathMonitor> pathMonitor;

    // State and start-up: restore(), then resume().
    Async<void> start();
    // What needs no network: the tunnel's state and the stored sign-in.
    Async<void> restore();
    // Signed in: the panel's list, the update checks, the queued reports.
    Async<void> resume();
    UiStatus status() const;
    bool working() const;
    std::vector<FleetSlot> snapshot() const;
    bool updateBlocksConnecting() const;
    static std::string appVersion();
    static bool selfUpdates();
    void scenePhaseChanged(bool active, bool background);
    // Throws SettingsWriteError (and changes nothing) when the setting cannot be saved.
    void setSmartRouting(bool on);
    void setNotifications(bool on);
    // "Always require the tunnel" on the system service, for the whole machine.
    // Throws TunnelPlatformError with the service's reason (user mode cannot block).
    Async<void> setLockdown(bool enabled, bool allowLAN);

    // Sign-in, server refresh and recovery.
    Async<void> signIn(bool automatic);
    // From now on, and in later runs, the sign-in is kept in the owner-only file
    // instead of the keyring.
    void useFileCredentialStore();
    void signOut();
    Async<bool> refreshServers(bool forConnect);
    static std::vector<ServerListEntry> onePerVPS(const std::vector<ServerListEntry>& entries);
    void recoverWhenNetworkReturns(Recovery kind);
    void clearRecovery();
    Async<void> networkMayBeBack();

    // Update checks.
    void startUpdateChecks();
    // True when the panel answered (also when it offers nothing newer).
    Async<bool> checkForUpdate();

    // Connecting.
    Async<void> toggleConnection();
    // Stops the tunnel and lifts a block of traffic outside it, also when the
    // tunnel is already down (after a failure the block stays until this).
    // When the service refuses the stop, errorMessage says so.
    Async<void> disconnect();
    Async<void> connect();
    Async<void> restartTunnel();

    // Tunnel status and health.
    void tunnelStatusChanged(NEVPNStatus status);
    void restartHealthChecks(bool newSession);
    Async<void> checkTunnelHealth();

    // Routes, pins and exits.
    std::string pinChoice() const;
    std::string prettyTag(const std::string& tag) const;
    std::optional<ClientExit> selectedExit() const;
    std::string entryName() const;
    std::string exitName() const;
    // Throws SettingsWriteError (and changes nothing) when the pin cannot be saved.
    void pinTag(const std::string& tag);
    // The protocol of the pinned entry node (none: the faster of its two). The
    // entry and any metered exit stay; through an exit the choice waits for the
    // route back to the node's own exit. Throws SettingsWriteError as pinTag does.
    void chooseProtocol(std::optional<bool> reality);
    // Makes the running engine's selector use `tag`, then reads it back: nothing once the
    // engine uses it, else why not (the user's text). Only a cancelled task throws.
    // `unreachable`, when given, tells a failure to reach the engine at all apart.
    Async<std::optional<std::string>> selectInEngine(std::shared_ptr<ClashClient> client, std::string tag,
                                                     bool* unreachable = nullptr);
    Async<void> applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                           bool quotaFallback);
    void handleQuotaFallback(const ServerListResponse& response, bool duringConnect);

    // The session's live part, started when the status becomes connected.
    Async<void> runLiveState();
    Async<void> runSiteWatch();
    // Starts the site watch of a connected session that has sites or exits to
    // follow, once: also when the list arrives after the session was found running.
    void startSiteWatchIfNeeded();
    bool siteWatchRunning = false;
    // Site switches sent to the running engine and not yet answered.
    std::size_t siteSwitchesRunning = 0;
    Async<void> pollProxies();

    // The extension's log.
    void startLogPolling();
    Async<void> pollLogs();

    // Live state of a connected session: traffic, proxies and the engine's endpoint.
    void startTrafficStream();
    void record(const ClashClient::Traffic& sample);
    Async<void> resyncTotals();
    Async<void> refreshClashEndpointIfChanged();

    // Private sites. Throws SettingsWriteError (and changes nothing) when the setting cannot be saved.
    void setSiteEnabled(std::int64_t id, bool enabled);
    // Throws what setting the selector throws.
    Async<void> setSiteSwitch(std::int64_t index, PreparedSite site, std::shared_ptr<ClashClient> via);
    Async<void> applySiteSwitches(std::vector<PreparedSite> sites, std::shared_ptr<ClashClient> via);
    // In a session another process started (no sites of this model's own connect):
    // the listed sites as the running engine has them, when it has one switch per site.
    Async<void> adoptRunningSites();

    // LAN sharing. Both throw SettingsWriteError (and change nothing) when the setting cannot be saved.
    void setLanShare(bool on);
    void regenerateLanSharePassword();
    void restartIfSharing();

    // Diagnostics.
    Async<void> sendDiagnostics(std::string trigger, std::optional<std::string> error);
    // What a report made now would be built from.
    ReportBuilder::Input diagnosticsInput(std::string trigger, std::optional<std::string> error) const;
    // The sanitised report a manual send would queue now, as indented JSON; nothing is written.
    std::string diagnosticsPreview() const;

    // Publishing.
    using Observer = std::function<void(const std::shared_ptr<const AppSnapshot>&)>;
    // `observer` runs on the model's thread after each publication.
    Subscription observe(Observer observer);
    // The published state as of now (also before the next publication).
    std::shared_ptr<const AppSnapshot> published();

    const boost::asio::any_io_executor& executor() const noexcept { return executor_; }
    const Timings& timings() const noexcept { return timings_; }
    const Deployment& deployment() const noexcept { return deployment_; }
    // Where the engine client's latency tests and reachability probes go.
    ClashClient::Endpoints clashEndpoints() const;
    Time now() const { return clock_(); }
    Instant steadyNow() const { return steadyClock_(); }

private:
    void publishedFieldChanged() override;
    void publish();
    void readSettings();
    // Follows a change of the settings file that another process made.
    void storedSettingsChanged();
    void adoptDisabledSites(std::set<std::int64_t> ids);
    // Stores each value (nothing: removes the key) in one write. Throws SettingsWriteError,
    // and then nothing is stored.
    using SettingValues = std::vector<std::pair<std::string_view, std::optional<boost::json::value>>>;
    void writeSettings(SettingValues values);
    void writeSetting(std::string_view key, std::optional<boost::json::value> value);
    void adoptFileCredentialStore();
    // writeSettings for a change the model makes on its own: a failure is logged and
    // shown as the error. False when nothing was stored.
    bool storeOrReport(SettingValues values);
    // Turns one site off or on in the stored list, read and written under the settings
    // file's lock, so that a site another process switches at the same time stays
    // switched too. Returns the list as stored now. Throws SettingsWriteError.
    std::set<std::int64_t> storeSiteEnabled(std::int64_t id, bool enabled);
    void pathChanged(const NetworkPath& path);
    void willSleep();
    void didWake();
    // Starts `work` on the model's thread; it is cancelled with the model.
    TaskHandle spawn(Async<void> work);
    void cancelTask(std::optional<TaskHandle>& task);
    Async<void> trafficLoop(std::shared_ptr<ClashClient> client);
    Async<void> siteSwitchTask(std::int64_t index, PreparedSite site, std::shared_ptr<ClashClient> via);
    void lastErrorChanged();
    std::shared_ptr<ClashClient> makeClashClient(const TunnelIPC::StatusReply& reply) const;
    Async<void> recoveryTimer(Recovery kind);
    Async<void> updateCheckLoop();
    Async<void> logPollLoop();
    Async<void> healthLoop();
    std::string deviceName() const;
    // Keeps the configuration's masked form for reports made by other processes.
    void storeConfigSnapshot(const std::string& config);
    Async<void> connectSequence();
    // The sharing address and sites of a session that is over.
    void dropSessionValues();
    // Asks the held profile to stop and waits until it is down; false when it stays up.
    Async<bool> stopAndWait();
    // Writes the current pick to the running engine's selector; an error when the engine does not take it.
    Async<void> switchSelector();
    // Sets the running engine's selector and site switches to the current choices.
    Async<void> applyChoices();
    Async<void> quotaFallbackTask(ClientExit exit, std::string notice);

    boost::asio::any_io_executor executor_;
    Timings timings_;
    ModelClock clock_;
    ModelSteadyClock steadyClock_;
    std::shared_ptr<SettingsStore> settings_;
    std::shared_ptr<SleepMonitor> sleepMonitor_;
    HttpClient* http_;
    std::function<std::optional<std::string>()> hostName_;
    std::function<std::optional<std::string>()> lanAddressSource_;
    std::string appVersion_;
    bool selfUpdates_;
    Deployment deployment_;
    SitePrep::Probe siteProbe_;
    std::filesystem::path configSnapshotFile_;
    boost::json::object storedSettings_;  // the settings as this model last read or wrote them

    NEVPNStatus lastTunnelStatus_ = NEVPNStatus::invalid;
    std::optional<std::string> lastSeenError_;  // the controller's lastError as last seen
    std::optional<std::uint64_t> selectorWriter_;  // the selection generation whose selector writer runs
    // The session's traffic samples summed. The engine's counters run ahead of
    // the samples, so the total is the larger of the two, never their sum.
    TrafficSample sampledTotal_;
    std::map<std::uint64_t, Observer> observers_;
    std::uint64_t nextObserver_ = 0;
    bool publishScheduled_ = false;
    std::uint64_t version_ = 0;
    std::shared_ptr<const AppSnapshot> lastPublished_;
    std::vector<TaskHandle> tasks_;  // everything spawned, so the destructor can cancel it
    // Callbacks from other threads and tasks hold this weakly.
    std::shared_ptr<AppModel*> self_;
};

}  // namespace corvane
