// SPDX-License-Identifier: GPL-3.0-or-later
// The model's state: construction, settings, start-up, derived values and publishing.
#include "Corvane/Model/AppModel.hpp"

#include <filesystem>

#include <boost/asio/post.hpp>
#include <boost/json/array.hpp>
#include <boost/url/parse.hpp>

#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "Corvane/Platform/AppLog.hpp"
#include "Corvane/Platform/HostName.hpp"
#include "Corvane/Tunnel/ClashClient.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/LocalAddresses.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"

namespace corvane {

namespace {

namespace json = boost::json;

std::optional<std::int64_t> integerSetting(const json::object& settings, std::string_view key) {
    const json::value* v = settings.if_contains(key);
    if (!v) return std::nullopt;
    if (v->is_int64()) return v->as_int64();
    if (v->is_uint64() && v->as_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        return static_cast<std::int64_t>(v->as_uint64());
    }
    return std::nullopt;
}

std::optional<bool> boolSetting(const json::object& settings, std::string_view key) {
    const json::value* v = settings.if_contains(key);
    if (v && v->is_bool()) return v->as_bool();
    return std::nullopt;
}

std::optional<std::string> stringSetting(const json::object& settings, std::string_view key) {
    const json::value* v = settings.if_contains(key);
    if (v && v->is_string()) return std::string(v->as_string());
    return std::nullopt;
}

// A list of site ids; nothing when it is absent or holds anything else.
std::optional<std::set<std::int64_t>> siteIdsSetting(const json::object& settings, std::string_view key) {
    const json::value* ids = settings.if_contains(key);
    if (!ids || !ids->is_array()) return std::nullopt;
    std::set<std::int64_t> set;
    for (const auto& element : ids->as_array()) {
        if (element.is_int64()) {
            set.insert(element.as_int64());
        } else if (element.is_uint64() && element.as_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
            set.insert(static_cast<std::int64_t>(element.as_uint64()));
        } else {
            return std::nullopt;
        }
    }
    return set;
}

// A value kept as the JSON text of a record or list; nothing when it does not decode.
template <class T>
std::optional<T> encodedSetting(const json::object& settings, std::string_view key) {
    auto text = stringSetting(settings, key);
    if (!text) return std::nullopt;
    try {
        json::value v = parseJSONText(*text, key);
        return decodeValue<T>(v, CodingContext{key, {}});
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace

AppModel::AppModel(boost::asio::any_io_executor executor, AppModelParts parts)
    : diagnostics(parts.diagnostics ? parts.diagnostics : std::make_shared<DiagnosticsReporter>()),
      tunnel(executor, parts.tunnelPlatform),
      store(std::move(parts.store)),
      pathMonitor(std::move(parts.pathMonitor)),
      executor_(std::move(executor)),
      timings_(std::move(parts.timings)),
      clock_(parts.clock ? std::move(parts.clock) : ModelClock(&std::chrono::system_clock::now)),
      steadyClock_(parts.steadyClock ? std::move(parts.steadyClock) : ModelSteadyClock(&std::chrono::steady_clock::now)),
      settings_(std::move(parts.settings)),
      sleepMonitor_(std::move(parts.sleepMonitor)),
      http_(parts.http),
      hostName_(parts.hostName ? std::move(parts.hostName) : &localizedHostName),
      lanAddressSource_(parts.lanAddress ? std::move(parts.lanAddress)
                                         : [] { return LocalAddresses::lan(); }),
      appVersion_(parts.appVersion ? std::move(*parts.appVersion) : appVersion()),
      selfUpdates_(parts.selfUpdates.value_or(selfUpdates())),
      deployment_(std::move(parts.deployment)),
      siteProbe_(std::move(parts.siteProbe)),
      configSnapshotFile_(std::move(parts.configSnapshotFile)),
      self_(std::make_shared<AppModel*>(this)) {
    if (settings_ && stringSetting(settings_->values(), "credential_store") == "file") adoptFileCredentialStore();
    try {
        panelURL = store->panelURL().value_or("https://");
    } catch (const std::exception&) {
        panelURL = "https://";
    }
    readSettings();

    // The controller's changes are the model's (derived values read them); its status
    // drives the session, with consecutive duplicates dropped.
    std::weak_ptr<AppModel*> weak = self_;
    lastTunnelStatus_ = tunnel.status();
    lastSeenError_ = tunnel.lastError();
    tunnel.setOnChange([weak] {
        auto self = weak.lock();
        if (!self) return;
        AppModel& model = **self;
        model.publishedFieldChanged();
        if (model.tunnel.status() != model.lastTunnelStatus_) {
            model.lastTunnelStatus_ = model.tunnel.status();
            model.tunnelStatusChanged(model.lastTunnelStatus_);
        }
        model.lastErrorChanged();  // an unexpected drop sends a report
    });
    subscriptions.emplace_back([this] { tunnel.setOnChange(nullptr); });

    // Another process of this user (corvanectl beside the app, say) changes settings
    // as this model's own operations would; the model follows.
    if (settings_) {
        if (auto watch = settings_->observeChanges(executor_, [weak] {
                if (auto self = weak.lock()) (*self)->storedSettingsChanged();
            })) {
            subscriptions.emplace_back([watch = std::move(watch)]() mutable { watch.reset(); });
        }
    }

    // Both monitors call from their own threads; the work is handed to the model's thread.
    if (pathMonitor) {
        pathMonitor->start([weak, executor = executor_](const NetworkPath& path) {
            boost::asio::post(executor, [weak, path] {
                if (auto self = weak.lock()) (*self)->pathChanged(path);
            });
        });
        subscriptions.emplace_back([monitor = pathMonitor] { monitor->cancel(); });
    }
    if (sleepMonitor_) {
        auto onModelThread = [weak, executor = executor_](void (AppModel::*handler)()) {
            return [weak, executor, handler] {
                boost::asio::post(executor, [weak, handler] {
                    if (auto self = weak.lock()) ((**self).*handler)();
                });
            };
        };
        sleepMonitor_->start(onModelThread(&AppModel::willSleep), onModelThread(&AppModel::didWake));
        subscriptions.emplace_back([monitor = sleepMonitor_] { monitor->cancel(); });
    }
}

AppModel::~AppModel() {
    subscriptions.clear();  // the monitors' threads end before anything else goes
    self_.reset();
    for (auto& task : tasks_) task.cancel();
}

void AppModel::readSettings() {
    json::object s = settings_ ? settings_->values() : json::object{};
    storedSettings_ = s;
    selectedExitId = integerSetting(s, "selected_exit_id");
    quotaFallbackEntryId = integerSetting(s, "quota_fallback_entry_id");
    smartRouting = boolSetting(s, "smart_routing").value_or(true);
    notifications = boolSetting(s, "notifications").value_or(true);
    lanShare = boolSetting(s, "lan_share").value_or(false);
    if (auto ids = siteIdsSetting(s, "disabled_site_ids")) disabledSiteIds = std::move(*ids);
    sharingOn = stringSetting(s, "lan_share_address");
    lanAddress = lanAddressSource_();
    auto password = stringSetting(s, "lan_share_password");
    if (!password || password->empty()) {
        const std::string generated = ConfigBuilder::LanShare::generatePassword();
        password = generated;
        try {
            // Another process starting at the same moment may store its own first; both then use that one.
            if (settings_) {
                settings_->update([&](json::object& stored) {
                    if (auto kept = stringSetting(stored, "lan_share_password"); kept && !kept->empty()) {
                        password = std::move(kept);
                    } else {
                        stored.insert_or_assign("lan_share_password", generated);
                    }
                });
                storedSettings_.insert_or_assign("lan_share_password", *password);
            }
        } catch (const std::exception& e) {
            // Nobody asked for this: the password holds for this run, and the next run makes another.
            appLog("ERROR", "settings", e.what());
        }
    }
    lanSharePassword = *password;
    pin = encodedSetting<PinPref>(s, "pin_pref");
    connectedFleet = encodedSetting<std::vector<FleetSlot>>(s, "connected_fleet").value_or(std::vector<FleetSlot>{});
    connectedSiteIds = encodedSetting<std::vector<std::int64_t>>(s, "connected_site_ids").value_or(std::vector<std::int64_t>{});
}

void AppModel::storedSettingsChanged() {
    if (!settings_) return;
    json::object s = settings_->values();
    // Only keys whose stored value changed since this model last read or wrote them:
    // what this model wrote itself reads back unchanged, so nothing runs twice.
    const json::object known = std::exchange(storedSettings_, s);
    auto changed = [&](std::string_view key) {
        const json::value* now = s.if_contains(key);
        const json::value* before = known.if_contains(key);
        return now ? !before || *now != *before : before != nullptr;
    };
    if (changed("selected_exit_id")) selectedExitId = integerSetting(s, "selected_exit_id");
    if (changed("quota_fallback_entry_id")) quotaFallbackEntryId = integerSetting(s, "quota_fallback_entry_id");
    if (changed("smart_routing")) smartRouting = boolSetting(s, "smart_routing").value_or(true);
    if (changed("notifications")) notifications = boolSetting(s, "notifications").value_or(true);
    if (changed("lan_share")) lanShare = boolSetting(s, "lan_share").value_or(false);
    if (changed("lan_share_address")) sharingOn = stringSetting(s, "lan_share_address");
    if (changed("lan_share_password")) {
        if (auto password = stringSetting(s, "lan_share_password"); password && !password->empty()) {
            lanSharePassword = *password;
        }
    }
    if (changed("pin_pref")) pin = encodedSetting<PinPref>(s, "pin_pref");
    if (changed("connected_fleet")) {
        connectedFleet = encodedSetting<std::vector<FleetSlot>>(s, "connected_fleet").value_or(std::vector<FleetSlot>{});
    }
    if (changed("disabled_site_ids")) {
        adoptDisabledSites(siteIdsSetting(s, "disabled_site_ids").value_or(std::set<std::int64_t>{}));
    }
}

void AppModel::writeSettings(SettingValues values) {
    if (!settings_) return;
    try {
        settings_->update([&](json::object& stored) {
            for (const auto& [key, value] : values) {
                if (value) {
                    stored.insert_or_assign(key, *value);
                } else {
                    stored.erase(key);
                }
            }
        });
    } catch (const std::exception& e) {
        appLog("ERROR", "settings", e.what());
        throw;
    }
    for (auto& [key, value] : values) {
        if (value) {
            storedSettings_.insert_or_assign(key, std::move(*value));
        } else {
            storedSettings_.erase(key);
        }
    }
}

void AppModel::writeSetting(std::string_view key, std::optional<json::value> value) {
    SettingValues values;
    values.emplace_back(key, std::move(value));
    writeSettings(std::move(values));
}

bool AppModel::storeOrReport(SettingValues values) {
    try {
        writeSettings(std::move(values));
        return true;
    } catch (const std::exception& e) {
        errorMessage = std::string(e.what());
        return false;
    }
}

std::set<std::int64_t> AppModel::storeSiteEnabled(std::int64_t id, bool enabled) {
    static constexpr std::string_view key = "disabled_site_ids";
    std::set<std::int64_t> ids = disabledSiteIds;
    auto change = [&] {
        if (enabled) {
            ids.erase(id);
        } else {
            ids.insert(id);
        }
    };
    if (!settings_) {
        change();
        return ids;
    }
    json::array list;
    try {
        settings_->update([&](json::object& stored) {
            // What another process stored meanwhile counts; a list that does not read as one
            // is replaced by the one this model shows.
            if (auto current = siteIdsSetting(stored, key)) ids = std::move(*current);
            change();
            for (std::int64_t siteId : ids) list.emplace_back(siteId);
            stored.insert_or_assign(key, list);
        });
    } catch (const std::exception& e) {
        appLog("ERROR", "settings", e.what());
        throw;
    }
    storedSettings_.insert_or_assign(key, std::move(list));
    return ids;
}

void AppModel::setSmartRouting(bool on) {
    writeSetting("smart_routing", json::value(on));
    smartRouting = on;
}

void AppModel::adoptFileCredentialStore() {
    // A store of another kind (a test's, in memory) is kept as it is.
    if (const auto* keychain = dynamic_cast<const KeychainTokenStore*>(store.get())) {
        store = std::make_shared<KeychainTokenStore>(
            keychain->accessGroup(), std::make_shared<FileCredentialBackend>(FileCredentialBackend::defaultPath()));
    }
}

void AppModel::useFileCredentialStore() {
    writeSetting("credential_store", json::value("file"));
    adoptFileCredentialStore();
    offerFileCredentialStore = false;
}

void AppModel::setNotifications(bool on) {
    writeSetting("notifications", json::value(on));
    notifications = on;
}

Async<void> AppModel::setLockdown(bool enabled, bool allowLAN) {
    co_await tunnel.setLockdown(LockdownState{.enabled = enabled, .allowLAN = allowLAN});
    publishedFieldChanged();
}

Async<void> AppModel::start() {
    co_await restore();
    co_await resume();
}

Async<void> AppModel::restore() {
    // The HTTP client keeps no response cache, so there are no cached responses to drop.
    co_await tunnel.load();
    std::optional<std::string> token;
    bool parses = boost::urls::parse_uri(panelURL.get()).has_value();
    if (parses) {
        try {
            token = store->token(panelURL);
        } catch (const std::exception&) {
        }
    }
    if (token) {
        panel = std::make_shared<PanelClient>(panelURL.get(), *token, http_);
        signedIn = true;
    }
    startLogPolling();
}

Async<void> AppModel::resume() {
    if (!panel) co_return;
    co_await refreshServers(false);
    startUpdateChecks();
    if (panel) co_await diagnostics->drain(panel);
}

UiStatus AppModel::status() const {
    if (connectInFlight) return UiStatus::connecting;
    switch (tunnel.status()) {
    case NEVPNStatus::connecting: return UiStatus::connecting;
    case NEVPNStatus::connected: return UiStatus::connected;
    case NEVPNStatus::reasserting: return UiStatus::reconnecting;
    case NEVPNStatus::disconnecting: return UiStatus::disconnected;
    case NEVPNStatus::invalid:
    case NEVPNStatus::disconnected: break;
    }
    return tunnel.lastError() ? UiStatus::failed : UiStatus::disconnected;
}

bool AppModel::working() const { return connectInFlight || tunnel.status() == NEVPNStatus::disconnecting; }

namespace {

bool sessionStatus(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

}  // namespace

std::vector<FleetSlot> AppModel::snapshot() const {
    if (sessionStatus(tunnel.status()) && !connectedFleet->empty()) return connectedFleet;
    std::vector<FleetSlot> slots;
    slots.reserve(servers->size());
    for (const auto& s : *servers) slots.push_back({s.vpsId, s.name});
    return slots;
}

bool AppModel::updateBlocksConnecting() const { return update->has_value() && (*update)->blocking; }

std::string AppModel::appVersion() { return CORVANE_VERSION; }

bool AppModel::selfUpdates() {
#ifdef CORVANE_PACKAGE_MANAGED
    return false;  // the distribution's package manager updates the app
#else
    // The Debian package marks its installation (the build it is made from is the one the tests run):
    // its package manager updates the app there.
    static const bool packaged = [] {
        std::error_code ec;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
        return !ec && std::filesystem::exists(self.parent_path() / CORVANE_PACKAGE_MARKER_FROM_BIN, ec);
    }();
    return !packaged;
#endif
}

void AppModel::scenePhaseChanged(bool active, bool /*background*/) {
    if (active) spawn(networkMayBeBack());
}

void AppModel::pathChanged(const NetworkPath& path) {
    networkAvailable = path.satisfied;
    std::string signature = path.signature();
    if (signature != networkSignature) {
        networkSignature = std::move(signature);
        restartHealthChecks(false);
    }
    if (path.satisfied) spawn(networkMayBeBack());
}

void AppModel::willSleep() {
    deviceSleeping = true;
    restartHealthChecks(false);
    cancelTask(trafficTask);
}

void AppModel::didWake() {
    deviceSleeping = false;
    restartHealthChecks(false);
    if (tunnel.status() == NEVPNStatus::connected && clash) {
        trafficHistory = {};
        startTrafficStream();
    }
}

std::string AppModel::deviceName() const { return hostName_().value_or("Linux"); }

TaskHandle AppModel::spawn(Async<void> work) {
    std::erase_if(tasks_, [](const TaskHandle& t) { return t.isFinished(); });
    TaskHandle handle = spawnTask(executor_, std::move(work));
    tasks_.push_back(handle);
    return handle;
}

void AppModel::cancelTask(std::optional<TaskHandle>& task) {
    if (task) task->cancel();
    task.reset();
}

}  // namespace corvane
