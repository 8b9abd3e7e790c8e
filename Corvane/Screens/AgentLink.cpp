// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Screens/AgentLink.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <vector>

#include <boost/asio/post.hpp>

#include "Corvane/Agent/SnapshotCoding.hpp"
#include "Corvane/Screens/AppBridge.hpp"
#include "Corvane/Tunnel/SystemExtensionController.hpp"
#include "CorvaneCore/Diagnostics/LogRing.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

namespace json = boost::json;
using namespace std::chrono_literals;

struct AgentLink::Shared {
    explicit Shared(AgentClient::Options o) : options(std::move(o)) { options.interrupt = interrupt.get(); }

    FileDescriptor interrupt{::eventfd(0, EFD_CLOEXEC)};  // readable once the link stops
    AgentClient::Options options;
    std::mutex mutex;
    std::condition_variable wake;
    AppBridge* bridge = nullptr;  // none once the link stops
    bool stopping = false;

    bool stopped() {
        std::lock_guard lock(mutex);
        return stopping;
    }
    // Runs `f(bridge)` unless the link has stopped.
    template <class F>
    void withBridge(F f) {
        std::lock_guard lock(mutex);
        if (bridge && !stopping) f(*bridge);
    }
    void stop() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            bridge = nullptr;
        }
        const std::uint64_t one = 1;
        (void)!::write(interrupt.get(), &one, sizeof one);
        wake.notify_all();
    }
};

namespace {

void tell(AgentLink::Shared& shared, const std::string& notice) {
    shared.withBridge([&](AppBridge& b) { b.deliverAgentNotice(QString::fromStdString(notice)); });
}

// The watch stream, followed until the link stops: each connection starts from
// a whole snapshot, and a lost one is made again (the agent started anew when
// it is gone, unless it was stopped on purpose: then it waits for whatever
// starts it next, the window's next action say). Touches nothing of the link
// but `shared`.
void follow(const std::shared_ptr<AgentLink::Shared>& shared) {
    bool stoppedOnPurpose = false;
    while (!shared->stopped()) {
        std::optional<std::string> trouble;
        bool missed = false;
        try {
            AgentClient::Options options = shared->options;
            options.start = !stoppedOnPurpose;
            AgentClient client(options);
            stoppedOnPurpose = false;
            // A starting agent answers once it has read what it stored.
            client.call("watch", {{"logs", true}});
            std::shared_ptr<const AppSnapshot> held;
            std::int64_t seq = 0;
            std::vector<TunnelIPC::SequencedLine> log;
            auto logShared = std::make_shared<const std::vector<TunnelIPC::SequencedLine>>();
            while (!shared->stopped()) {
                auto event = client.nextEvent(60s);
                if (!event) continue;
                const std::string kind(event->at("event").as_string());
                if (kind == "snapshot") {
                    held = SnapshotCoding::decode(event->at("snapshot").as_object());
                    seq = event->at("seq").as_int64();
                    log.clear();
                    logShared = std::make_shared<const std::vector<TunnelIPC::SequencedLine>>();
                    tell(*shared, {});
                } else if (kind == "changes") {
                    // A gap means a change was missed: start again from a whole snapshot.
                    if (!held || event->at("seq").as_int64() != seq + 1) {
                        missed = true;
                        break;
                    }
                    held = SnapshotCoding::decode(event->at("changes").as_object(), held.get());
                    seq = event->at("seq").as_int64();
                } else if (kind == "stopping") {
                    stoppedOnPurpose = true;
                    break;
                } else if (kind == "log") {
                    auto lines = decodeValue<std::vector<TunnelIPC::SequencedLine>>(event->at("lines"), CodingContext{"AgentLog", "lines"});
                    log.insert(log.end(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
                    if (log.size() > static_cast<std::size_t>(LogRing::appCapacity)) {
                        log.erase(log.begin(), log.end() - LogRing::appCapacity);
                    }
                    logShared = std::make_shared<const std::vector<TunnelIPC::SequencedLine>>(log);
                    if (!held) continue;
                } else {
                    continue;
                }
                auto shown = std::make_shared<AppSnapshot>(*held);
                shown->logLines = logShared;
                shared->withBridge([&](AppBridge& b) { b.deliver(std::move(shown)); });
            }
        } catch (const std::exception& e) {
            trouble = e.what();
        }
        if (shared->stopped()) break;
        if (missed) continue;
        // What the window shows may be old meanwhile.
        tell(*shared, stoppedOnPurpose ? std::string("The Corvane agent was stopped; it starts again with your next action.")
                                       : "Waiting for the Corvane agent" + (trouble ? ": " + *trouble : std::string("…")));
        std::unique_lock lock(shared->mutex);
        shared->wake.wait_for(lock, 1s, [&] { return shared->stopping; });
    }
}

}  // namespace

AgentLink::AgentLink(AgentClient::Options options, SystemExtensionController& extension, boost::asio::any_io_executor executor)
    : extension_(extension), executor_(std::move(executor)), shared_(std::make_shared<Shared>(std::move(options))) {}

AgentLink::~AgentLink() { stopObserving(); }

void AgentLink::observe(AppBridge& bridge) {
    if (follower_.joinable()) return;
    if (shared_->stopped()) shared_ = std::make_shared<Shared>(shared_->options);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->bridge = &bridge;
    }
    tell(*shared_, "Connecting to the Corvane agent…");
    boost::asio::post(executor_, [this, &bridge] {
        extension_.setOnChange([this, &bridge] { bridge.deliverExtensionState(extension_.state()); });
        bridge.deliverExtensionState(extension_.state());
    });
    follower_ = std::thread([shared = shared_] { follow(shared); });
}

void AgentLink::stopObserving() {
    if (!follower_.joinable()) return;
    shared_->stop();
    follower_.join();
    boost::asio::post(executor_, [&extension = extension_] { extension.setOnChange({}); });
}

void AgentLink::request(std::string op, json::object args, std::function<void(std::optional<json::value>)> done) {
    args["showError"] = true;  // what fails shows in the window
    std::thread([shared = shared_, op = std::move(op), args = std::move(args), done = std::move(done)]() mutable {
        std::optional<json::value> result;
        try {
            AgentClient client(shared->options);
            result = client.call(op, std::move(args));
        } catch (const std::exception&) {
            // The window shows what the agent made of it; a refused request changes nothing there.
        }
        if (done) {
            std::lock_guard lock(shared->mutex);
            if (!shared->stopping) done(std::move(result));
        }
    }).detach();
}

void AgentLink::setPanelURL(std::string value) {
    std::lock_guard lock(typedMutex_);
    panelURL_ = std::move(value);
}
void AgentLink::setEmail(std::string value) {
    std::lock_guard lock(typedMutex_);
    email_ = std::move(value);
}
void AgentLink::setPassword(std::string value) {
    std::lock_guard lock(typedMutex_);
    password_ = std::move(value);
}
void AgentLink::signIn() {
    json::object args;
    {
        std::lock_guard lock(typedMutex_);
        args = {{"panelURL", panelURL_}, {"email", email_}, {"password", password_}};
    }
    request("signIn", std::move(args));
}
void AgentLink::useFileCredentialStore() {
    json::object args;
    {
        std::lock_guard lock(typedMutex_);
        args = {{"panelURL", panelURL_}, {"email", email_}, {"password", password_}};
    }
    request("useFileCredentialStore", std::move(args));
}
void AgentLink::signOut() { request("signOut"); }
void AgentLink::toggleConnection() { request("toggleConnection"); }
void AgentLink::disconnect() { request("disconnect"); }
void AgentLink::refreshServers() { request("refreshServers"); }
void AgentLink::pinTag(std::string tag) { request("pinTag", {{"tag", std::move(tag)}}); }
void AgentLink::chooseProtocol(std::string protocol) { request("chooseProtocol", {{"protocol", std::move(protocol)}}); }
void AgentLink::applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                           bool quotaFallback) {
    json::object args{{"reality", reality}, {"quotaFallback", quotaFallback}};
    args["entryId"] = entryId ? json::value(*entryId) : json::value(nullptr);
    args["exitId"] = exitId ? json::value(*exitId) : json::value(nullptr);
    request("applyRoute", std::move(args));
}
void AgentLink::setSiteEnabled(std::int64_t siteId, bool enabled) {
    request("setSiteEnabled", {{"siteId", siteId}, {"enabled", enabled}});
}
void AgentLink::setLanShare(bool on) { request("setLanShare", {{"on", on}}); }
void AgentLink::regenerateLanSharePassword() { request("regenerateLanSharePassword"); }
void AgentLink::sendDiagnostics() { request("sendDiagnostics"); }
void AgentLink::previewDiagnostics(std::function<void(std::string)> done) {
    request("previewDiagnostics", {}, [done = std::move(done)](std::optional<json::value> result) {
        const json::value* report = result && result->is_object() ? result->as_object().if_contains("report") : nullptr;
        done(report && report->is_string() ? std::string(report->as_string()) : std::string());
    });
}
void AgentLink::setSmartRouting(bool on) { request("setSmartRouting", {{"on", on}}); }
void AgentLink::setNotifications(bool on) { request("setNotifications", {{"on", on}}); }
void AgentLink::setLockdown(bool enabled, bool allowLAN) {
    request("setLockdown", {{"enabled", enabled}, {"allowLAN", allowLAN}});
}
void AgentLink::dismissQuotaNotice() { request("dismissQuotaNotice"); }
void AgentLink::scenePhaseChanged(bool active, bool background) {
    request("scenePhaseChanged", {{"active", active}, {"background", background}});
}
void AgentLink::dismissUpdate() { request("dismissUpdate"); }
void AgentLink::activateExtension() {
    boost::asio::post(executor_, [&extension = extension_] { extension.activate(); });
}

}  // namespace corvane
