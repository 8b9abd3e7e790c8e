#include "ViewHarness.hpp"

#include <boost/json/parse.hpp>

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>

#include "Corvane/Screens/DesktopAppearance.hpp"
#include "Corvane/Screens/IconProvider.hpp"
#include "Corvane/Screens/NativeTypes.hpp"
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {
namespace {

template <class T>
void read(const boost::json::object& o, std::string_view key, T& out) {
    if (auto* v = o.if_contains(key)) out = decodeValue<T>(*v, CodingContext{"AppSnapshot", std::string(key)});
}

template <class T>
void readShared(const boost::json::object& o, std::string_view key, std::shared_ptr<const T>& out) {
    T value{};
    if (o.if_contains(key)) {
        read(o, key, value);
        out = std::make_shared<const T>(std::move(value));
    } else if (!out) {
        out = std::make_shared<const T>();
    }
}

NEVPNStatus tunnelStatus(std::string_view s) {
    if (s == "disconnected") return NEVPNStatus::disconnected;
    if (s == "connecting") return NEVPNStatus::connecting;
    if (s == "connected") return NEVPNStatus::connected;
    if (s == "reasserting") return NEVPNStatus::reasserting;
    if (s == "disconnecting") return NEVPNStatus::disconnecting;
    return NEVPNStatus::invalid;
}

UiStatus uiStatus(std::string_view s) {
    for (auto st : {UiStatus::disconnected, UiStatus::connecting, UiStatus::connected, UiStatus::reconnecting,
                    UiStatus::failed}) {
        if (rawValue(st) == s) return st;
    }
    return UiStatus::disconnected;
}

}  // namespace

}  // namespace corvane

// Coding of the model's small types as the tests write them.
namespace corvane {

template <>
struct JSONCoding<TrafficSample> {
    static TrafficSample decode(const boost::json::value& v, const CodingContext& ctx) {
        RecordDecoder d(v, ctx);
        return {.up = d.defaulted<std::int64_t>("up", 0), .down = d.defaulted<std::int64_t>("down", 0)};
    }
};

template <>
struct JSONCoding<SiteStatus> {
    static SiteStatus decode(const boost::json::value& v, const CodingContext& ctx) {
        RecordDecoder d(v, ctx);
        return {.siteId = d.required<std::int64_t>("siteId"),
                .name = d.required<std::string>("name"),
                .mode = SiteStatus::modeFromRawValue(d.required<std::string>("mode")).value_or(SiteStatus::Mode::off),
                .endpoint = d.optional<std::string>("endpoint"),
                .viaLocal = d.defaulted<bool>("viaLocal", false)};
    }
};

template <>
struct JSONCoding<std::set<std::int64_t>> {
    static std::set<std::int64_t> decode(const boost::json::value& v, const CodingContext& ctx) {
        auto ids = decodeValue<std::vector<std::int64_t>>(v, ctx);
        return {ids.begin(), ids.end()};
    }
};

template <>
struct JSONCoding<UpdateStatus> {
    static UpdateStatus decode(const boost::json::value& v, const CodingContext& ctx) {
        RecordDecoder d(v, ctx);
        return {.updateAvailable = d.defaulted<bool>("updateAvailable", false),
                .blocking = d.defaulted<bool>("blocking", false),
                .latest = d.defaulted<std::string>("latest", ""),
                .installed = d.defaulted<std::string>("installed", "")};
    }
};

std::shared_ptr<const AppSnapshot> snapshotFromJson(const std::string& json) {
    const auto root = boost::json::parse(json);
    const auto& o = root.as_object();
    auto s = std::make_shared<AppSnapshot>();
    read(o, "panelURL", s->panelURL);
    read(o, "email", s->email);
    read(o, "password", s->password);
    read(o, "signedIn", s->signedIn);
    read(o, "busy", s->busy);
    read(o, "errorMessage", s->errorMessage);
    readShared(o, "servers", s->servers);
    readShared(o, "exits", s->exits);
    read(o, "selectedExitId", s->selectedExitId);
    read(o, "quotaNotice", s->quotaNotice);
    readShared(o, "sites", s->sites);
    readShared(o, "siteStatuses", s->siteStatuses);
    readShared(o, "disabledSiteIds", s->disabledSiteIds);
    readShared(o, "connectedFleet", s->connectedFleet);
    read(o, "refreshing", s->refreshing);
    read(o, "smartRouting", s->smartRouting);
    read(o, "pin", s->pin);
    read(o, "lanShare", s->lanShare);
    read(o, "sharingOn", s->sharingOn);
    read(o, "lanAddress", s->lanAddress);
    read(o, "lanSharePassword", s->lanSharePassword);
    readShared(o, "delays", s->delays);
    if (o.if_contains("delayMeasuredAt")) {
        std::map<std::string, std::int64_t> seconds;
        read(o, "delayMeasuredAt", seconds);
        std::map<std::string, std::chrono::system_clock::time_point> times;
        for (const auto& [tag, at] : seconds) times[tag] = std::chrono::system_clock::time_point(std::chrono::seconds(at));
        s->delayMeasuredAt = std::make_shared<const decltype(times)>(std::move(times));
    }
    read(o, "activeOutbound", s->activeOutbound);
    read(o, "switchingTo", s->switchingTo);
    read(o, "tunnelReachable", s->tunnelReachable);
    read(o, "trafficNow", s->trafficNow);
    read(o, "trafficTotal", s->trafficTotal);
    readShared(o, "trafficHistory", s->trafficHistory);
    read(o, "update", s->update);
    read(o, "updateDismissed", s->updateDismissed);
    read(o, "updateURL", s->updateURL);
    read(o, "diagnosticsNote", s->diagnosticsNote);
    readShared(o, "logLines", s->logLines);
    read(o, "connectInFlight", s->connectInFlight);
    read(o, "waitingForNetwork", s->waitingForNetwork);
    read(o, "working", s->working);
    read(o, "tunnelLastError", s->tunnelLastError);
    read(o, "trafficBlocked", s->trafficBlocked);
    if (auto* v = o.if_contains("killSwitch")) {
        const std::string state(v->as_string());
        for (auto k : {KillSwitchState::unavailable, KillSwitchState::off, KillSwitchState::armed, KillSwitchState::blocking}) {
            if (rawValue(k) == state) s->killSwitch = k;
        }
    }
    if (auto* v = o.if_contains("lockdown")) {
        const auto& lockdown = v->as_object();
        s->lockdown = LockdownState{.enabled = lockdown.at("enabled").as_bool(), .allowLAN = lockdown.at("allowLAN").as_bool()};
    }
    if (auto* v = o.if_contains("status")) s->status = uiStatus(v->as_string());
    if (auto* v = o.if_contains("tunnelStatus")) {
        s->tunnelStatus = tunnelStatus(v->as_string());
    } else {
        // The tunnel's own status as the shown one implies it.
        switch (s->status) {
        case UiStatus::connecting: s->tunnelStatus = NEVPNStatus::connecting; break;
        case UiStatus::connected: s->tunnelStatus = NEVPNStatus::connected; break;
        case UiStatus::reconnecting: s->tunnelStatus = NEVPNStatus::reasserting; break;
        default: s->tunnelStatus = NEVPNStatus::disconnected; break;
        }
    }
    if (o.if_contains("snapshot")) {
        readShared(o, "snapshot", s->snapshot);
    } else {
        const bool up = s->tunnelStatus == NEVPNStatus::connecting || s->tunnelStatus == NEVPNStatus::connected ||
                        s->tunnelStatus == NEVPNStatus::reasserting;
        if (up && !s->connectedFleet->empty()) {
            s->snapshot = s->connectedFleet;
        } else {
            std::vector<FleetSlot> fleet;
            for (const auto& server : *s->servers) fleet.push_back({.vpsId = server.vpsId, .name = server.name});
            s->snapshot = std::make_shared<const std::vector<FleetSlot>>(std::move(fleet));
        }
    }
    return s;
}

void RecordingActions::applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId,
                                  bool reality, bool quotaFallback) {
    auto n = [](std::optional<std::int64_t> v) { return v ? QString::number(*v) : QStringLiteral("nil"); };
    add("applyRoute", {n(entryId), n(exitId), b(reality), b(quotaFallback)});
}

void RecordingActions::previewDiagnostics(std::function<void(std::string)> done) {
    add("previewDiagnostics");
    ReportBuilder::Input input{.trigger = "manual",
                               .appVersion = "1.4.0",
                               .now = std::chrono::system_clock::time_point(std::chrono::seconds(ViewHarness::fixedNow)),
                               .os = "linux",
                               .osVersion = "Debian GNU/Linux 12 (bookworm)",
                               .arch = "x86_64",
                               .locale = "en_US.UTF-8",
                               .timezone = "UTC",
                               .interfaces = {{"eth0", "192.168.1.20"}},
                               .panelHost = "panel.example.com",
                               .activeTag = shown ? shown->activeOutbound : std::nullopt,
                               .tunnelUp = shown && shown->status == UiStatus::connected};
    if (shown && shown->logLines) {
        for (const auto& line : *shown->logLines) input.logs.push_back(line.line);
    }
    done(toJSONText(encodeValue(ReportBuilder::build(input)), 2));
}

void RecordingActions::add(const QString& name, const QStringList& args) {
    calls << (args.isEmpty() ? name : name + ":" + args.join(u','));
}

ViewHarness::ViewHarness(bool previewLogs, QObject* parent)
    : QObject(parent),
      bridge_(std::make_unique<AppBridge>(
          actions_, AppBridge::Options{.appVersion = "1.4.0",
                                       .previewLogs = previewLogs,
                                       .clock = [] {
                                           return std::chrono::system_clock::time_point(std::chrono::seconds(fixedNow));
                                       }})) {
    // Every call is made on this thread: tell the tests after each control.
    connect(bridge_.get(), &AppBridge::changed, this, &ViewHarness::callsChanged);
    bridge_->setHelpURL(QStringLiteral("file:///usr/share/doc/corvane/README.md"));
    bridge_->setExtensionState(SystemExtensionController::State(SystemExtensionController::State::Kind::active));
    for (const auto* scheme : {"https", "http", "file"}) QDesktopServices::setUrlHandler(scheme, this, "openUrl");
}

ViewHarness::~ViewHarness() {
    for (const auto* scheme : {"https", "http", "file"}) QDesktopServices::unsetUrlHandler(scheme);
}

void ViewHarness::setExtension(const QString& kind, const QString& text) {
    using Kind = SystemExtensionController::State::Kind;
    Kind k = Kind::checking;
    if (kind == QLatin1String("failed")) k = Kind::failed;
    else if (kind == QLatin1String("needsApproval")) k = Kind::needsApproval;
    else if (kind == QLatin1String("needsMoveToApplications")) k = Kind::needsMoveToApplications;
    else if (kind == QLatin1String("needsReboot")) k = Kind::needsReboot;
    else if (kind == QLatin1String("active")) k = Kind::active;
    bridge_->setExtensionState(SystemExtensionController::State(k, text.toStdString()));
}

void ViewHarness::openUrl(const QUrl& url) {
    openedUrls_ << url.toString();
    emit callsChanged();
}

void ViewHarness::install(QQmlEngine& engine) {
    registerNativeTypes();
    engine.addImageProvider(QStringLiteral("icon"), new IconProvider);
    engine.addImportPath(QStringLiteral("qrc:/"));
    engine.rootContext()->setContextProperty(QStringLiteral("bridge"), bridge_.get());
    engine.rootContext()->setContextProperty(QStringLiteral("harness"), this);
    engine.rootContext()->setContextProperty(QStringLiteral("appearance"), new DesktopAppearance(&engine));
}

void ViewHarness::feed(const QVariantMap& snapshot) {
    feedJson(QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(snapshot)).toJson(QJsonDocument::Compact)));
}

void ViewHarness::feedJson(const QString& json) {
    actions_.shown = snapshotFromJson(json.toStdString());
    bridge_->apply(actions_.shown);
}

void ViewHarness::clearCalls() {
    actions_.calls.clear();
    openedUrls_.clear();
    emit callsChanged();
}

QString ViewHarness::clipboardText() const {
    auto* clipboard = QGuiApplication::clipboard();
    return clipboard ? clipboard->text() : QString();
}

}  // namespace corvane
