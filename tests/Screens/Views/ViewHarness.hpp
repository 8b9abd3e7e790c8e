// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the view tests and the screenshot renderer put in place of the model:
// snapshots written as JSON (the model's own field names; records in their
// panel keys) and a recorder of the operations the controls call.

#include <set>
#include <memory>
#include <mutex>
#include <string>

#include <QObject>
#include <QSize>
#include <QStringList>
#include <QVariantMap>

#include "Corvane/Model/AppSnapshot.hpp"
#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Screens/ModelActions.hpp"

class QQmlEngine;

namespace corvane {

// A snapshot from JSON text: absent keys keep their initial values, and the
// fleet ("snapshot") is derived as the model derives it unless given.
std::shared_ptr<const AppSnapshot> snapshotFromJson(const std::string& json);

// Writes each call as "name" or "name:arg1,arg2" (absent values as "nil").
class RecordingActions final : public ModelActions {
public:
    QStringList calls;

    void setPanelURL(std::string v) override { add("setPanelURL", {QString::fromStdString(v)}); }
    void setEmail(std::string v) override { add("setEmail", {QString::fromStdString(v)}); }
    void setPassword(std::string v) override { add("setPassword", {QString::fromStdString(v)}); }
    void start() override { add("start"); }
    void signIn() override { add("signIn"); }
    void signOut() override { add("signOut"); }
    void toggleConnection() override { add("toggleConnection"); }
    void disconnect() override { add("disconnect"); }
    void refreshServers() override { add("refreshServers"); }
    void pinTag(std::string tag) override { add("pinTag", {QString::fromStdString(tag)}); }
    void chooseProtocol(std::string protocol) override { add("chooseProtocol", {QString::fromStdString(protocol)}); }
    void applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                    bool quotaFallback) override;
    void setSiteEnabled(std::int64_t id, bool on) override { add("setSiteEnabled", {QString::number(id), b(on)}); }
    void setLanShare(bool on) override { add("setLanShare", {b(on)}); }
    void regenerateLanSharePassword() override { add("regenerateLanSharePassword"); }
    void sendDiagnostics() override { add("sendDiagnostics"); }
    void setSmartRouting(bool on) override { add("setSmartRouting", {b(on)}); }
    void setNotifications(bool on) override { add("setNotifications", {b(on)}); }
    void useFileCredentialStore() override { add("useFileCredentialStore"); }
    void setLockdown(bool on, bool allowLAN) override { add("setLockdown", {b(on), b(allowLAN)}); }
    void dismissQuotaNotice() override { add("dismissQuotaNotice"); }
    void scenePhaseChanged(bool active, bool background) override { add("scenePhaseChanged", {b(active), b(background)}); }
    void dismissUpdate() override { add("dismissUpdate"); }
    void activateExtension() override { add("activateExtension"); }
    // Answers with a report built by the real builder from the shown snapshot's log lines.
    void previewDiagnostics(std::function<void(std::string)> done) override;

    std::shared_ptr<const AppSnapshot> shown;

private:
    static QString b(bool v) { return v ? QStringLiteral("true") : QStringLiteral("false"); }
    void add(const QString& name, const QStringList& args = {});
};

// The harness object the QML tests see as `harness`. Its clock stands still at
// `now` (seconds since 1970), so ages in snapshots ("delayMeasuredAt", in the
// same seconds) read the same on every run.
class ViewHarness : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList calls READ calls NOTIFY callsChanged)
    Q_PROPERTY(QStringList openedUrls READ openedUrls NOTIFY callsChanged)
    Q_PROPERTY(double now READ now CONSTANT)

public:
    explicit ViewHarness(bool previewLogs = false, QObject* parent = nullptr);
    ~ViewHarness() override;

    AppBridge& bridge() { return *bridge_; }
    // Puts the bridge, the harness, the appearance and the icons into `engine`.
    void install(QQmlEngine& engine);

    Q_INVOKABLE void feed(const QVariantMap& snapshot);
    Q_INVOKABLE void feedJson(const QString& json);
    QStringList calls() const { return actions_.calls; }
    static constexpr std::int64_t fixedNow = 1'796'083'200;  // 2026-12-01 00:00 UTC
    double now() const { return static_cast<double>(fixedNow); }
    Q_INVOKABLE void clearCalls();
    Q_INVOKABLE QString clipboardText() const;
    // The tunnel service's state by its case name ("checking", "failed", ...);
    // `text` is the failure's. The harness starts with "active".
    Q_INVOKABLE void setExtension(const QString& kind, const QString& text = {});
    QStringList openedUrls() const { return openedUrls_; }
    // Whether the icon provider drew "<name>/<colour>" with that many pixels.
    Q_INVOKABLE bool iconDrawn(const QString& id, QSize pixels) const;
    // Light or dark from now on, as the desktop would say ("light", "dark").
    Q_INVOKABLE void setColorScheme(const QString& scheme);
    void recordIcon(const QString& id, QSize pixels);

public slots:
    // What QDesktopServices::openUrl was asked to open, in place of the browser.
    void openUrl(const QUrl& url);

signals:
    void callsChanged();

private:
    RecordingActions actions_;
    std::unique_ptr<AppBridge> bridge_;
    QStringList openedUrls_;
    mutable std::mutex iconsMutex_;  // the provider may draw on a loader thread
    std::set<std::pair<QString, std::pair<int, int>>> iconsDrawn_;
    QQmlEngine* engine_ = nullptr;
};

}  // namespace corvane
