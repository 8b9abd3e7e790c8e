// SPDX-License-Identifier: GPL-3.0-or-later
#include "ViewHarness.hpp"

#include <boost/json/parse.hpp>

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlContext>
#include <QQmlEngine>

#include "Corvane/Agent/SnapshotCoding.hpp"
#include "Corvane/Screens/DesktopAppearance.hpp"
#include "Corvane/Screens/IconProvider.hpp"
#include "Corvane/Screens/NativeTypes.hpp"
#include "CorvaneCore/Config/Deployment.hpp"
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

namespace {

// The app's icon provider, telling the harness what it drew.
class WatchedIconProvider final : public IconProvider {
public:
    explicit WatchedIconProvider(ViewHarness& harness) : harness_(harness) {}
    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override {
        QImage image = IconProvider::requestImage(id, size, requestedSize);
        harness_.recordIcon(id, image.size());
        return image;
    }

private:
    ViewHarness& harness_;
};

}  // namespace

std::shared_ptr<const AppSnapshot> snapshotFromJson(const std::string& json) {
    const auto root = boost::json::parse(json);
    const auto& o = root.as_object();
    auto s = std::make_shared<AppSnapshot>(*SnapshotCoding::decode(o));
    // A state file may leave out what the shown status implies.
    if (!o.if_contains("tunnelStatus")) {
        switch (s->status) {
        case UiStatus::connecting: s->tunnelStatus = NEVPNStatus::connecting; break;
        case UiStatus::connected: s->tunnelStatus = NEVPNStatus::connected; break;
        case UiStatus::reconnecting: s->tunnelStatus = NEVPNStatus::reasserting; break;
        default: s->tunnelStatus = NEVPNStatus::disconnected; break;
        }
    }
    if (!o.if_contains("snapshot")) {
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
                                       // As the app does: the operator's files under the test's folders.
                                       .panelPlaceholder = Deployment::load(Deployment::standardFiles()).values.panelURL,
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
    engine_ = &engine;
    registerNativeTypes();
    engine.addImageProvider(QStringLiteral("icon"), new WatchedIconProvider(*this));
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

void ViewHarness::setColorScheme(const QString& scheme) {
    // A new appearance under the old name: the theme's bindings follow it.
    qputenv("CORVANE_COLOR_SCHEME", scheme.toUtf8());
    engine_->rootContext()->setContextProperty(QStringLiteral("appearance"), new DesktopAppearance(engine_));
}

bool ViewHarness::iconDrawn(const QString& id, QSize pixels) const {
    std::lock_guard lock(iconsMutex_);
    return iconsDrawn_.count({id, {pixels.width(), pixels.height()}}) > 0;
}

void ViewHarness::recordIcon(const QString& id, QSize pixels) {
    std::lock_guard lock(iconsMutex_);
    iconsDrawn_.insert({id, {pixels.width(), pixels.height()}});
}

QString ViewHarness::clipboardText() const {
    auto* clipboard = QGuiApplication::clipboard();
    return clipboard ? clipboard->text() : QString();
}

}  // namespace corvane
