// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/AppBridge.hpp"

#include <algorithm>
#include <cstdio>

#include <QClipboard>
#include <QGuiApplication>
#include <QMetaObject>

#include "Corvane/Screens/Formatters.hpp"
#include "Corvane/Model/SnapshotRoutes.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/DeploymentValues.hpp"

namespace corvane {
namespace {

template <class T>
const T& orEmpty(const std::shared_ptr<const T>& p) {
    static const T empty{};
    return p ? *p : empty;
}

QString q(const std::string& s) { return QString::fromStdString(s); }
QString q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Record ids as QML receives them.
QVariant id(std::int64_t value) { return QVariant::fromValue(static_cast<qlonglong>(value)); }

bool tunnelUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

// Values in the model's published units (bytes per second) for the sparkline.
QVariantList history(const AppSnapshot& s, bool down) {
    QVariantList out;
    const auto& samples = orEmpty(s.trafficHistory);
    out.reserve(static_cast<qsizetype>(samples.size()));
    for (const auto& sample : samples) out.append(static_cast<double>(down ? sample.down : sample.up));
    return out;
}

}  // namespace

AppBridge::AppBridge(ModelActions& actions, Options options, QObject* parent)
    : QObject(parent),
      actions_(actions),
      options_(std::move(options)),
      snapshot_(std::make_shared<const AppSnapshot>()),
      entryChoices_({"vpsId", "name", "checked"}),
      exitChoices_({"exitId", "name", "metered", "checked", "enabled", "detail"}),
      sites_({"siteId", "name", "enabled", "detail", "gateway"}),
      fleet_({"vpsId", "name", "latency", "pinned", "active", "switching", "hint", "reconnectToAdd", "tag",
              "protocols"}) {
    connect(&logs_, &LogListModel::countChanged, this, &AppBridge::logViewChanged);
}

AppBridge::~AppBridge() = default;

void AppBridge::deliver(std::shared_ptr<const AppSnapshot> snapshot) {
    {
        std::lock_guard lock(inboxMutex_);
        const bool queued = inbox_ != nullptr;
        inbox_ = std::move(snapshot);
        if (queued) return;
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            std::shared_ptr<const AppSnapshot> next;
            {
                std::lock_guard lock(inboxMutex_);
                next = std::move(inbox_);
                inbox_ = nullptr;
            }
            if (next) apply(std::move(next));
        },
        Qt::QueuedConnection);
}

void AppBridge::apply(std::shared_ptr<const AppSnapshot> snapshot) {
    if (!snapshot) return;
    snapshot_ = std::move(snapshot);
    stateKnown_ = true;
    catchUp(panelURL_, snapshot_->panelURL);
    catchUp(email_, snapshot_->email);
    catchUp(password_, snapshot_->password);
    rebuildLists();
    logs_.setLines(snapshot_->logLines);
    emit changed();
}

// --- Session -----------------------------------------------------------------

QString AppBridge::status() const { return q(rawValue(snapshot_->status)); }

QString AppBridge::statusWord() const {
    return q(statusTitle(snapshot_->status, snapshot_->trafficBlocked, snapshot_->lockdown && snapshot_->lockdown->enabled));
}

QString AppBridge::errorMessage() const { return snapshot_->errorMessage ? q(*snapshot_->errorMessage) : QString(); }

void AppBridge::type(TypedField& field, const QString& value, void (ModelActions::*write)(std::string)) {
    if (value == field.shown) return;
    field.shown = value;
    field.pending = value;
    (actions_.*write)(value.toStdString());
    emit changed();
}

void AppBridge::catchUp(TypedField& field, const std::string& published) {
    const QString value = q(published);
    if (field.pending) {
        if (value != *field.pending) return;  // an older value, published before the last key press
        field.pending.reset();
    }
    field.shown = value;
}

void AppBridge::setPanelURL(const QString& value) { type(panelURL_, value, &ModelActions::setPanelURL); }
void AppBridge::setEmail(const QString& value) { type(email_, value, &ModelActions::setEmail); }
void AppBridge::setPassword(const QString& value) { type(password_, value, &ModelActions::setPassword); }

QString AppBridge::versionLine() const { return QStringLiteral("v") + q(options_.appVersion); }

QString AppBridge::panelPlaceholder() const {
    return options_.panelPlaceholder.empty() ? q(DeploymentValues::defaultPanelURL) : q(options_.panelPlaceholder);
}

QString AppBridge::headerSubtitle() const {
    QString panel = q(snapshot_->panelURL);
    for (const auto* scheme : {"https://", "http://"}) {
        if (panel.startsWith(QLatin1String(scheme))) {
            panel.remove(0, static_cast<qsizetype>(qstrlen(scheme)));
            break;
        }
    }
    return panel + QStringLiteral(" \u00b7 v") + q(options_.appVersion);
}

// --- Connection panel -----------------------------------------------------------

QString AppBridge::connectionGlyph() const {
    switch (snapshot_->status) {
    case UiStatus::failed: return QStringLiteral("warning");
    case UiStatus::connected:
        return snapshot_->tunnelReachable == std::optional<bool>(false) ? QStringLiteral("shield-alert")
                                                                       : QStringLiteral("shield");
    default: return QStringLiteral("power");
    }
}

bool AppBridge::pulsing() const {
    return snapshot_->status == UiStatus::connecting || snapshot_->status == UiStatus::reconnecting;
}

std::optional<std::int64_t> AppBridge::delayOf(const std::string& tag) const {
    const auto& delays = orEmpty(snapshot_->delays);
    auto it = delays.find(tag);
    if (it == delays.end()) return std::nullopt;
    return it->second;
}

const std::string* AppBridge::activeTag() const {
    const auto& active = snapshot_->activeOutbound;
    return active && !active->empty() ? &*active : nullptr;
}

// The route in use, else the one chosen: the automatic group names no member
// until its first check.
QString AppBridge::activeRouteName() const {
    const auto& s = *snapshot_;
    const std::string* active = activeTag();
    return q(SnapshotRoutes::prettyTag(s, active ? *active : SnapshotRoutes::pinChoice(s)));
}

QString AppBridge::connectionSubtitle() const {
    const auto& s = *snapshot_;
    if (orEmpty(s.snapshot).empty()) return QStringLiteral("No servers available");
    if (s.status == UiStatus::connected) {
        if (s.tunnelReachable == std::optional<bool>(false)) return QStringLiteral("Connected \u00b7 No internet");
        QString line = activeRouteName();
        if (const std::string* active = activeTag()) {
            if (auto delay = delayOf(*active)) {
                line += QStringLiteral(" \u00b7 %1 ms").arg(*delay);
            } else if (!orEmpty(s.delays).empty()) {
                // Delays were measured, and this outbound's test failed.
                line += QStringLiteral(" \u00b7 proxy unreachable");
            }
        }
        return line;
    }
    if (s.status == UiStatus::failed && s.tunnelLastError) return q(*s.tunnelLastError);
    return QStringLiteral("Will connect via ") + q(SnapshotRoutes::prettyTag(s, SnapshotRoutes::pinChoice(s)));
}

QString AppBridge::connectionSites() const {
    QStringList parts;
    for (const auto& site : orEmpty(snapshot_->siteStatuses)) {
        if (site.mode == SiteStatus::Mode::off) continue;
        parts << q(site.name) + (site.mode == SiteStatus::Mode::onSite ? QStringLiteral(" (on site, direct)")
                                                                        : QStringLiteral(" (inside, via gateway)"));
    }
    if (parts.isEmpty()) return {};
    return QStringLiteral("Private networks: ") + parts.join(QStringLiteral(", "));
}

QString AppBridge::connectButtonText() const {
    switch (snapshot_->status) {
    case UiStatus::connected:
    case UiStatus::connecting:
    case UiStatus::reconnecting: return QStringLiteral("Disconnect");
    default: return QStringLiteral("Connect");
    }
}

bool AppBridge::disconnectOffered() const {
    const auto& s = *snapshot_;
    // With the tunnel always required a disconnect lifts nothing; it still ends a failed session.
    if (s.lockdown && s.lockdown->enabled && s.status != UiStatus::failed) return false;
    return s.trafficBlocked && !tunnelUp(s.tunnelStatus) && s.tunnelStatus != NEVPNStatus::disconnecting &&
           !s.connectInFlight;
}

// --- Throughput -------------------------------------------------------------------

bool AppBridge::showThroughput() const { return snapshot_->status == UiStatus::connected; }
QString AppBridge::downRate() const { return q(Formatters::rate(snapshot_->trafficNow.down)); }
QString AppBridge::upRate() const { return q(Formatters::rate(snapshot_->trafficNow.up)); }
QString AppBridge::downTotal() const { return q(Formatters::bytes(snapshot_->trafficTotal.down)) + " this session"; }
QString AppBridge::upTotal() const { return q(Formatters::bytes(snapshot_->trafficTotal.up)) + " this session"; }
QVariantList AppBridge::downHistory() const { return history(*snapshot_, true); }
QVariantList AppBridge::upHistory() const { return history(*snapshot_, false); }

// --- Route selector -------------------------------------------------------------------

QString AppBridge::entryName() const { return q(SnapshotRoutes::entryName(*snapshot_)); }
QString AppBridge::exitName() const { return q(SnapshotRoutes::exitName(*snapshot_)); }
bool AppBridge::autoEntry() const { return !snapshot_->pin && !snapshot_->selectedExitId; }

bool AppBridge::meteredSelected() const { return snapshot_->selectedExitId.has_value(); }

QString AppBridge::trafficSummary() const {
    auto exit = SnapshotRoutes::selectedExit(*snapshot_);
    if (!exit || !exit->metered) return {};
    if (!exit->traffic) return QStringLiteral("Balance unavailable");
    return q(exit->traffic->summary());
}

QString AppBridge::policyLine() const {
    auto exit = SnapshotRoutes::selectedExit(*snapshot_);
    if (!exit || !exit->metered) return {};
    if (exit->traffic && exit->traffic->fallbackOnExhaustion) {
        return QStringLiteral(
            "Shared allowance \u00b7 switches to Original VPS exit when used up \u00b7 no automatic purchases");
    }
    return QStringLiteral("Shared allowance \u00b7 no automatic purchases");
}

QString AppBridge::quotaNotice() const { return snapshot_->quotaNotice ? q(*snapshot_->quotaNotice) : QString(); }

QString AppBridge::smartRoutingNote() const {
    // A connection through an exit is built with smart routing off (the exit takes everything).
    if (!snapshot_->selectedExitId) return {};
    return QStringLiteral("Off while a metered exit is in use: all public traffic and DNS use the exit.");
}

QString AppBridge::protocolChoice() const {
    if (!snapshot_->pin || snapshot_->pin->anyProtocol) return QStringLiteral("auto");
    return snapshot_->pin->reality ? QStringLiteral("reality") : QStringLiteral("hysteria2");
}

// --- Sites ------------------------------------------------------------------------------

QString AppBridge::sitesSubtitle() const {
    const auto& s = *snapshot_;
    const auto& sites = orEmpty(s.sites);
    if (sites.empty()) return QStringLiteral("no networks configured yet");
    const auto onTunnel = std::count_if(orEmpty(s.siteStatuses).begin(), orEmpty(s.siteStatuses).end(),
                                        [](const SiteStatus& st) { return st.mode != SiteStatus::Mode::off; });
    if (onTunnel > 0) return QStringLiteral("%1 on this tunnel").arg(onTunnel);
    const auto available = std::count_if(sites.begin(), sites.end(), [&](const SiteAccess& site) {
        return !orEmpty(s.disabledSiteIds).contains(site.siteId);
    });
    return QStringLiteral("%1 available \u00b7 none on this tunnel").arg(available);
}

// --- LAN sharing --------------------------------------------------------------------------

QString AppBridge::lanState() const {
    const auto& s = *snapshot_;
    if (!s.lanShare) return QStringLiteral("off");
    if (s.status != UiStatus::connected) return QStringLiteral("waiting");
    if (!s.sharingOn) return QStringLiteral("noAddressAtStart");
    if (!s.lanAddress) return QStringLiteral("noAddressNow");
    return QStringLiteral("sharing");
}

QString AppBridge::lanProxyServer() const { return snapshot_->sharingOn ? q(*snapshot_->sharingOn) : QString(); }
QString AppBridge::lanPort() const { return QString::number(ConfigBuilder::LanShare::port); }
QString AppBridge::lanUsername() const { return q(ConfigBuilder::LanShare::username); }
QString AppBridge::lanPassword() const { return q(snapshot_->lanSharePassword); }

QString AppBridge::lanURL() const {
    if (!snapshot_->sharingOn) return {};
    return q(ConfigBuilder::LanShare::proxyURL("socks5", *snapshot_->sharingOn, snapshot_->lanSharePassword));
}

// --- Server list ------------------------------------------------------------------------------

QString AppBridge::fleetHeader() const {
    return QStringLiteral("Fleet \u00b7 %1").arg(orEmpty(snapshot_->snapshot).size());
}

bool AppBridge::autoPinned() const { return SnapshotRoutes::pinChoice(*snapshot_) == "proxy-auto"; }

QString AppBridge::autoRoute() const {
    const auto& s = *snapshot_;
    const std::string* active = activeTag();
    if (!autoPinned() || !active || *active == "proxy-auto") return {};
    return q(SnapshotRoutes::prettyTag(s, *active));
}

QString AppBridge::fleetEmptyState() const {
    const auto& s = *snapshot_;
    if (!orEmpty(s.snapshot).empty()) return {};
    if (s.waitingForNetwork) return QStringLiteral("waiting");
    if (s.errorMessage) return QStringLiteral("failed");
    return QStringLiteral("none");
}

QString AppBridge::delayText(const std::string& tag) const {
    if (auto delay = delayOf(tag)) {
        QString text = QStringLiteral("%1 ms").arg(*delay);
        const auto& times = orEmpty(snapshot_->delayMeasuredAt);
        if (auto at = times.find(tag); at != times.end()) {
            const auto now = options_.clock ? options_.clock() : std::chrono::system_clock::now();
            const std::string age = Formatters::age(std::chrono::duration_cast<std::chrono::seconds>(now - at->second));
            if (!age.empty()) text += QStringLiteral(" \u00b7 ") + q(age);
        }
        return text;
    }
    return snapshot_->status == UiStatus::connected ? QStringLiteral("probing latency\u2026")
                                                    : QStringLiteral("not measured yet");
}

void AppBridge::rebuildLists() {
    entryChoices_.setRows(entryRows());
    exitChoices_.setRows(exitRows());
    sites_.setRows(siteRows());
    fleet_.setRows(fleetRows());
}

QList<QVariantMap> AppBridge::entryRows() const {
    const auto& s = *snapshot_;
    QList<QVariantMap> rows;
    for (const auto& server : orEmpty(s.servers)) {
        rows.append({{"vpsId", id(server.vpsId)},
                     {"name", q(server.name)},
                     {"checked", s.pin && s.pin->vpsId == server.vpsId}});
    }
    return rows;
}

QList<QVariantMap> AppBridge::exitRows() const {
    const auto& s = *snapshot_;
    QList<QVariantMap> rows;
    if (!s.pin) return rows;
    for (const auto& exit : orEmpty(s.exits)) {
        const bool exhausted = exit.traffic && exit.traffic->status == "exhausted";
        if (exit.vpsId != s.pin->vpsId || !(exit.ready || exhausted)) continue;
        rows.append({{"exitId", id(exit.exitId)},
                     {"name", q(exit.name)},
                     {"metered", exit.metered},
                     {"checked", s.selectedExitId == exit.exitId},
                     {"enabled", exit.ready && !exhausted},
                     {"detail", exit.traffic ? q(exit.traffic->summary()) : QString()}});
    }
    return rows;
}

QList<QVariantMap> AppBridge::siteRows() const {
    const auto& s = *snapshot_;
    QList<QVariantMap> rows;
    const auto& statuses = orEmpty(s.siteStatuses);
    const auto& disabled = orEmpty(s.disabledSiteIds);
    for (const auto& site : orEmpty(s.sites)) {
        const bool enabled = !disabled.contains(site.siteId);
        QString detail;
        auto status = std::find_if(statuses.begin(), statuses.end(),
                                   [&](const SiteStatus& st) { return st.siteId == site.siteId; });
        if (!enabled || (status != statuses.end() && status->mode == SiteStatus::Mode::off)) {
            detail = QStringLiteral(" \u00b7 off");
        } else if (status != statuses.end() && status->mode == SiteStatus::Mode::onSite) {
            detail = QStringLiteral(" \u00b7 you are on site, reached directly");
        } else {
            const std::string endpoint = status != statuses.end() && status->endpoint
                                             ? *status->endpoint
                                             : site.endpointHost + ":" + std::to_string(site.endpointPort);
            detail = QStringLiteral(" \u00b7 via ") + q(endpoint);
            if (status != statuses.end()) {
                const auto index = static_cast<std::int64_t>(status - statuses.begin());
                if (auto delay = delayOf(ConfigBuilder::siteTag(index))) {
                    detail += QStringLiteral(" \u00b7 %1 ms").arg(*delay);
                } else {
                    detail += QStringLiteral(" \u00b7 probing latency\u2026");
                }
            }
        }
        rows.append({{"siteId", id(site.siteId)},
                     {"name", q(site.name)},
                     {"enabled", enabled},
                     {"detail", detail},
                     {"gateway", site.gatewayOverlayIp
                                     ? q(*site.gatewayOverlayIp) + QStringLiteral(" \u2014 the gateway itself")
                                     : QString()}});
    }
    return rows;
}

// One card per server of the fleet; while connected, servers the panel added
// since then follow, marked as needing a reconnect.
QList<QVariantMap> AppBridge::fleetRows() const {
    const auto& s = *snapshot_;
    const auto& servers = orEmpty(s.servers);
    const auto& fleet = orEmpty(s.snapshot);
    const std::string choice = SnapshotRoutes::pinChoice(s);
    auto card = [](std::int64_t vpsId, const QString& name) {
        return QVariantMap{{"vpsId", id(vpsId)}, {"name", name}, {"latency", QString()}, {"pinned", false},
                           {"active", false},    {"switching", false}, {"hint", QString()}, {"reconnectToAdd", false},
                           {"tag", QString()},   {"protocols", QVariantList{}}};
    };
    auto serverFor = [&](std::int64_t vpsId) -> const ServerListEntry* {
        auto it = std::find_if(servers.begin(), servers.end(), [&](const auto& e) { return e.vpsId == vpsId; });
        return it == servers.end() ? nullptr : &*it;
    };

    QList<QVariantMap> cards;
    const bool noExit = !s.selectedExitId;
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        const auto& slot = fleet[i];
        const ServerListEntry* server = serverFor(slot.vpsId);
        QVariantList protocols;
        std::optional<std::int64_t> best;
        bool active = false, switching = false;
        std::string preferred = noExit ? SnapshotRoutes::shareTag(i, true) : std::string("proxy-0");
        for (bool reality : {true, false}) {
            // Through a metered exit the engine has one share, "proxy-0", over Reality.
            if (!noExit && (!reality || i > 0)) continue;
            // A server missing from the list still had both protocols when it was connected.
            if (noExit && server && (reality ? server->realityUrl : server->hysteria2Url).empty()) continue;
            const std::string tag = noExit ? SnapshotRoutes::shareTag(i, reality) : std::string("proxy-0");
            auto delay = delayOf(tag);
            if (delay && (!best || *delay < *best)) {
                best = delay;
                preferred = tag;
            }
            const bool isActive = s.activeOutbound == tag;
            active = active || isActive;
            switching = switching || s.switchingTo == tag;
            protocols.append(QVariantMap{{"label", reality ? "RT" : "HY2"},
                                         {"name", reality ? "Reality" : "Hysteria2"},
                                         {"tag", q(tag)},
                                         {"latency", delayText(tag)},
                                         {"active", isActive},
                                         {"pinned", noExit && choice == tag}});
        }
        const bool pinned = noExit && s.pin && s.pin->vpsId == slot.vpsId;
        QVariantMap row = card(slot.vpsId, q(slot.name));
        row["latency"] = best ? QStringLiteral("%1 ms").arg(*best) : QString();
        row["pinned"] = pinned;
        row["active"] = active;
        row["switching"] = switching;
        row["hint"] = pinned ? QStringLiteral("Pinned \u2014 currently routing via ") + activeRouteName()
                             : QStringLiteral("Click to pin ") + q(SnapshotRoutes::prettyTag(s, preferred));
        row["tag"] = q(preferred);
        row["protocols"] = protocols;
        cards.append(std::move(row));
    }
    // (Through a metered exit the fleet is the entry node alone, by design.)
    if (tunnelUp(s.tunnelStatus) && noExit) {
        for (const auto& server : servers) {
            if (std::any_of(fleet.begin(), fleet.end(), [&](const auto& f) { return f.vpsId == server.vpsId; })) continue;
            QVariantMap row = card(server.vpsId, q(server.name));
            row["hint"] = q(server.name) + QStringLiteral(" was added in the panel after this connect "
                                                          "\u2014 reconnect to start using it");
            row["reconnectToAdd"] = true;
            cards.append(std::move(row));
        }
    }
    return cards;
}

// --- Logs -------------------------------------------------------------------------------

void AppBridge::setLogFilter(int filter) {
    filter = std::clamp(filter, 0, 2);
    if (filter == logFilter_) return;
    logFilter_ = filter;
    logs_.setFilter(filter);
    emit logViewChanged();
}

void AppBridge::setLogSearch(const QString& text) {
    if (text == logSearch_) return;
    logSearch_ = text;
    logs_.setSearch(text);
    emit logViewChanged();
}

QString AppBridge::diagnosticsNote() const {
    return snapshot_->diagnosticsNote ? q(*snapshot_->diagnosticsNote) : QString();
}

// --- Controls ---------------------------------------------------------------------------

void AppBridge::windowShown() {
    if (started_) return;
    started_ = true;
    actions_.activateExtension();
    actions_.start();
}

void AppBridge::firstFrameDrawn() {
    if (qEnvironmentVariableIsEmpty("CORVANE_REPORT_FIRST_FRAME")) return;
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    std::fprintf(stderr, "first frame %lld\n",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()));
}

void AppBridge::signIn() {
    // The fields' last edits were posted before this call; from here on the
    // model's values (perhaps tidied up) are the ones to show.
    for (TypedField* field : {&panelURL_, &email_, &password_}) field->pending.reset();
    actions_.signIn();
}

void AppBridge::signOut() { actions_.signOut(); }
void AppBridge::toggleConnection() { actions_.toggleConnection(); }
void AppBridge::disconnectTunnel() { actions_.disconnect(); }
void AppBridge::refreshServers() { actions_.refreshServers(); }
void AppBridge::pinTag(const QString& tag) { actions_.pinTag(tag.toStdString()); }

void AppBridge::chooseEntry(qint64 vpsId) {
    const auto& s = *snapshot_;
    if (vpsId < 0) {
        actions_.applyRoute(std::nullopt, std::nullopt, false, false);
        return;
    }
    // Keep the pinned protocol; a new entry starts on Reality when it offers it.
    bool reality = true;
    if (s.pin) {
        reality = s.pin->reality;
    } else {
        for (const auto& server : orEmpty(s.servers)) {
            if (server.vpsId == vpsId) reality = !server.realityUrl.empty();
        }
    }
    actions_.applyRoute(vpsId, std::nullopt, reality, false);
}

void AppBridge::chooseExit(qint64 exitId) {
    const auto& s = *snapshot_;
    if (!s.pin) return;  // exits belong to a chosen entry node
    if (exitId < 0) {
        actions_.applyRoute(s.pin->vpsId, std::nullopt, s.pin->reality, false);
    } else {
        actions_.applyRoute(s.pin->vpsId, exitId, true, false);  // metered exits are reached over Reality
    }
}

void AppBridge::chooseProtocol(const QString& choice) {
    if (!snapshot_->pin) return;  // the automatic entry has no protocol of its own
    actions_.chooseProtocol(choice.toStdString());
}

void AppBridge::dismissQuotaNotice() { actions_.dismissQuotaNotice(); }
void AppBridge::setSmartRouting(bool on) { actions_.setSmartRouting(on); }
void AppBridge::setLockdown(bool on, bool allowLAN) { actions_.setLockdown(on, allowLAN); }
void AppBridge::setSiteEnabled(qint64 siteId, bool enabled) { actions_.setSiteEnabled(siteId, enabled); }
void AppBridge::setLanShare(bool on) { actions_.setLanShare(on); }
void AppBridge::regenerateLanSharePassword() { actions_.regenerateLanSharePassword(); }
void AppBridge::sendReport() { actions_.sendDiagnostics(); }

void AppBridge::previewReport() {
    reportPreview_.clear();
    emit reportPreviewChanged();
    // The answer comes on another thread; the link stops before this bridge goes.
    actions_.previewDiagnostics([this](std::string text) {
        QMetaObject::invokeMethod(
            this,
            [this, text = q(text)] {
                reportPreview_ = text;
                emit reportPreviewChanged();
            },
            Qt::QueuedConnection);
    });
}

void AppBridge::clearLogs() {
    logs_.clearShown();
    emit logViewChanged();
}

void AppBridge::copyText(const QString& text) {
    if (auto* clipboard = QGuiApplication::clipboard()) clipboard->setText(text);
}

}  // namespace corvane
