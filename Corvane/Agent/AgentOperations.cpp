// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Agent/AgentOperations.hpp"

#include <unistd.h>

#include <algorithm>
#include <map>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/this_coro.hpp>

#include "Corvane/Agent/AgentProtocol.hpp"
#include "Corvane/Agent/SnapshotCoding.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Model/SnapshotRoutes.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

namespace json = boost::json;

namespace {

// The arguments of one call, read with the operation named in every error.
class Arguments {
public:
    Arguments(const std::string& op, const json::object& args) : op_(op), args_(args) {}

    std::string string(std::string_view key) const {
        const json::value& v = required(key);
        if (!v.is_string()) fail(key, "a text");
        return std::string(v.as_string());
    }
    bool boolean(std::string_view key) const {
        const json::value& v = required(key);
        if (!v.is_bool()) fail(key, "true or false");
        return v.as_bool();
    }
    bool boolean(std::string_view key, bool fallback) const { return args_.contains(key) ? boolean(key) : fallback; }
    std::optional<std::int64_t> optionalInteger(std::string_view key) const {
        const json::value* v = args_.if_contains(key);
        if (!v || v->is_null()) return std::nullopt;
        if (!v->is_int64()) fail(key, "a whole number");
        return v->as_int64();
    }
    std::int64_t integer(std::string_view key) const {
        required(key);
        return *optionalInteger(key);
    }
    // "wait": answer once the outcome is known, within this many seconds.
    std::optional<std::chrono::seconds> wait() const {
        const auto seconds = optionalInteger("wait");
        if (!seconds) return std::nullopt;
        if (*seconds < 0 || *seconds > 24 * 3600) fail("wait", "a number of seconds up to a day");
        return std::chrono::seconds(*seconds);
    }
    bool has(std::string_view key) const { return args_.contains(key); }

private:
    const json::value& required(std::string_view key) const {
        const json::value* v = args_.if_contains(key);
        if (!v) throw AgentError(op_ + " needs \"" + std::string(key) + "\"");
        return *v;
    }
    [[noreturn]] void fail(std::string_view key, std::string_view what) const {
        throw AgentError(op_ + ": \"" + std::string(key) + "\" is " + std::string(what));
    }
    const std::string& op_;
    const json::object& args_;
};

// The model's error after an operation that reports failure through it.
json::value outcome(const AppModel& model) {
    json::object out;
    if (model.errorMessage->has_value()) out["errorMessage"] = **model.errorMessage;
    return out;
}

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

// Lets the model's loops run until `done` holds or `limit` has passed; whether it holds.
Async<bool> until(std::function<bool()> done, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) co_return false;
        co_await sleepFor(std::chrono::milliseconds(20));
    }
    co_return true;
}

// While connected: the engine's answer naming the server in use, so that the
// live values (route, delays) are there. The automatic group names none ("")
// until its first check ends: the engine is asked again meanwhile.
Async<void> liveValues(AppModel& m, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto named = [&m] { return m.activeOutbound->has_value() && !(*m.activeOutbound)->empty(); };
    while (m.tunnel.status() == NEVPNStatus::connected && !named() && std::chrono::steady_clock::now() < deadline) {
        const bool answered = m.clash && m.activeOutbound->has_value();
        co_await sleepFor(std::chrono::milliseconds(answered ? 250 : 20));
        if (answered) co_await m.pollProxies();
    }
}

// Why a connect ended without a tunnel.
std::string failureText(const AppModel& m, std::chrono::seconds waited) {
    if (m.tunnel.lastError()) return *m.tunnel.lastError();
    if (m.errorMessage->has_value()) return **m.errorMessage;
    if (tunnelIsUp(m.tunnel.status())) {
        return "The tunnel did not connect within " + std::to_string(waited.count()) + " seconds.";
    }
    return "The tunnel did not connect.";
}

// After a connect or a change that reconnects: waits (up to `limit`) until it has
// ended, connected or down again. {"connected": true} or {"connected": false, "failure": why}.
Async<json::object> settled(AppModel& m, std::chrono::seconds limit) {
    co_await until(
        [&m] {
            const NEVPNStatus s = m.tunnel.status();
            return s == NEVPNStatus::connected ||
                   (!m.connectInFlight && s != NEVPNStatus::connecting && s != NEVPNStatus::reasserting);
        },
        limit);
    const bool connected = m.tunnel.status() == NEVPNStatus::connected;
    json::object out{{"connected", connected}};
    if (!connected) {
        out["failure"] = failureText(m, limit);
        co_return out;
    }
    co_await liveValues(m, std::chrono::seconds(3));
    co_return out;
}

}  // namespace

AgentOperations::AgentOperations(AppModel& model, std::function<void(bool)> stop)
    : model_(model), stop_(std::move(stop)), readyTimer_(model.executor()) {
    readyTimer_.expires_at(boost::asio::steady_timer::time_point::max());
}

void AgentOperations::markReady() {
    ready_ = true;
    readyTimer_.cancel();
}

Async<void> AgentOperations::ready() {
    while (!ready_) {
        boost::system::error_code ignored;
        co_await readyTimer_.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
    }
}

Async<json::value> AgentOperations::call(std::string op, json::object args) {
    // A window's control has nobody to read the reply: with "showError" the model's error says why it failed.
    const json::value* show = args.if_contains("showError");
    const bool showError = show && show->is_bool() && show->as_bool();
    std::optional<std::string> failure;
    try {
        co_return co_await dispatch(op, std::move(args));
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (showError && !model_.errorMessage->has_value()) model_.errorMessage = *failure;
    throw AgentError(*failure);
}

Async<json::value> AgentOperations::dispatch(std::string op, json::object args) {
    AppModel& m = model_;
    const Arguments a(op, args);
    if (op == "hello") {
        co_return json::object{{"version", AppModel::appVersion()}, {"pid", static_cast<std::int64_t>(::getpid())}};
    }
    if (op == "snapshot") {
        json::object whole = SnapshotCoding::encode(*m.published());
        whole.erase("logLines");
        whole.erase("password");
        co_return whole;
    }
    // Typed as in the window, then the sign-in: one step, so no other client's edit lands between.
    const auto typed = [&] {
        m.panelURL = a.string("panelURL");
        m.email = a.string("email");
        m.password = a.string("password");
    };
    const auto signedIn = [&m]() -> Async<json::value> {
        co_await m.signIn(false);
        json::object out = outcome(m).as_object();
        // The panel could not be reached: the model tries again when the network returns.
        out["recovering"] = m.recovery.has_value() || m.recoveryRunning;
        co_return out;
    };
    if (op == "signIn") {
        typed();
        co_return co_await signedIn();
    }
    if (op == "useFileCredentialStore") {
        // The keyring would not keep the sign-in: keep it in the private file, and sign in with what was typed.
        m.useFileCredentialStore();
        if (!a.boolean("signIn", true)) co_return json::object{};
        if (a.has("password")) typed();
        co_return co_await signedIn();
    }
    if (op == "awaitRecovery") {
        co_await until([&m] { return !m.recovery && !m.recoveryRunning && !m.busy; }, a.wait().value_or(std::chrono::seconds(0)));
        co_return outcome(m);
    }
    if (op == "signOut") {
        m.signOut();
        json::object out;
        // Signing out removes the tunnel's profile; the service may take a moment.
        if (const auto wait = a.wait()) out["profileRemoved"] = co_await until([&m] { return !m.tunnel.hasProfile(); }, *wait);
        if (m.errorMessage->has_value()) out["errorMessage"] = **m.errorMessage;
        co_return out;
    }
    if (op == "connect") {
        const auto wait = a.wait();
        if (!wait) {
            co_await m.connect();
            co_return outcome(m);
        }
        if (m.tunnel.status() == NEVPNStatus::connected) {
            co_await liveValues(m, std::chrono::seconds(3));
            co_return json::object{{"connected", true}, {"already", true}};
        }
        co_await m.connect();
        json::object out = co_await settled(m, *wait);
        // A warning (a stale list, say) does not stop a connect; it is worth seeing.
        if (out.at("connected").as_bool() && m.errorMessage->has_value()) out["warning"] = **m.errorMessage;
        co_return out;
    }
    if (op == "toggleConnection") {
        co_await m.toggleConnection();
        co_return outcome(m);
    }
    if (op == "disconnect") {
        const auto wait = a.wait();
        if (!wait) {
            co_await m.disconnect();
            co_return outcome(m);
        }
        const NEVPNStatus before = m.tunnel.status();
        const bool up = tunnelIsUp(before) || before == NEVPNStatus::disconnecting;
        const bool blocked = m.tunnel.trafficBlocked();
        const auto lockdown = m.tunnel.lockdown();
        const bool required = lockdown && lockdown->enabled;  // the block stays; only the tunnel goes
        json::object out{{"wasUp", up}, {"wasBlocked", blocked}, {"required", required}};
        // A session that failed is over once the user says so.
        if (!up && !blocked && !m.tunnel.lastError()) co_return out;
        m.errorMessage = std::nullopt;
        co_await m.disconnect();
        if (m.errorMessage->has_value()) throw AgentError(**m.errorMessage);
        out["down"] = co_await until(
            [&m, required] {
                const NEVPNStatus s = m.tunnel.status();
                return !tunnelIsUp(s) && s != NEVPNStatus::disconnecting && (required || !m.tunnel.trafficBlocked());
            },
            *wait);
        out["trafficBlocked"] = m.tunnel.trafficBlocked();
        co_return out;
    }
    if (op == "refreshServers") {
        const bool loaded = co_await m.refreshServers(false);
        json::object out = outcome(m).as_object();
        out["loaded"] = loaded;
        co_return out;
    }
    if (op == "checkForUpdate") {
        const bool answered = co_await m.checkForUpdate();
        co_return json::object{{"answered", answered}};
    }
    if (op == "pinTag") {
        std::string tag;
        if (a.has("vpsId")) {
            // By server, so that a fleet that changed since the client looked pins the right one.
            const std::int64_t vpsId = a.integer("vpsId");
            const auto fleet = m.snapshot();
            const auto slot = std::find_if(fleet.begin(), fleet.end(), [&](const FleetSlot& f) { return f.vpsId == vpsId; });
            if (slot == fleet.end()) throw AgentError("no server " + std::to_string(vpsId) + " in the fleet");
            tag = SnapshotRoutes::shareTag(static_cast<std::size_t>(slot - fleet.begin()), a.boolean("reality", false));
        } else {
            tag = a.string("tag");
        }
        const auto wait = a.wait();
        if (!wait) {
            m.pinTag(tag);
            co_return json::object{};
        }
        co_await liveValues(m, std::chrono::seconds(5));  // a running engine switches in place once its client is there
        const bool reroutes = m.selectedExitId->has_value() || m.quotaFallbackEntryId.has_value();
        m.errorMessage = std::nullopt;
        m.pinTag(tag);
        if (reroutes) {
            // Leaving a metered exit builds a new route, which reconnects.
            co_await until([&m] { return m.connectInFlight.get() || m.errorMessage->has_value(); }, std::chrono::seconds(2));
            if (m.errorMessage->has_value() && !m.connectInFlight) throw AgentError(**m.errorMessage);
            json::object out = co_await settled(m, *wait);
            out["applied"] = "reconnected";
            co_return out;
        }
        if (!tunnelIsUp(m.tunnel.status())) co_return json::object{{"applied", "nextConnect"}};
        // Only once the running engine uses it: after the session's start and any
        // switch under way, whichever of them set the selector last.
        const bool live = co_await until(
            [&m] {
                return m.errorMessage->has_value() || !tunnelIsUp(m.tunnel.status()) ||
                       (m.tunnel.status() == NEVPNStatus::connected && m.clash && !m.switchingTo->has_value());
            },
            *wait);
        if (m.errorMessage->has_value()) throw AgentError(**m.errorMessage);
        if (!tunnelIsUp(m.tunnel.status())) {
            throw AgentError("The tunnel went down before the engine took the choice; it applies from the next connect.");
        }
        if (!live) throw AgentError("The tunnel's engine did not answer in time; the choice applies from the next connect.");
        if (const auto failure = co_await m.selectInEngine(m.clash, tag)) throw AgentError("Could not switch server: " + *failure);
        co_return json::object{{"applied", "now"}};
    }
    if (op == "chooseProtocol") {
        const std::string protocol = a.string("protocol");
        if (protocol != "auto" && protocol != "reality" && protocol != "hysteria2") {
            throw AgentError("protocol must be auto, reality or hysteria2");
        }
        m.chooseProtocol(protocol == "auto" ? std::nullopt : std::optional(protocol == "reality"));
        co_return json::object{};
    }
    if (op == "applyRoute") {
        m.errorMessage = std::nullopt;
        co_await m.applyRoute(a.optionalInteger("entryId"), a.optionalInteger("exitId"), a.boolean("reality"),
                              a.boolean("quotaFallback", false));
        const auto wait = a.wait();
        if (!wait) co_return outcome(m);
        const NEVPNStatus s = m.tunnel.status();
        if (m.errorMessage->has_value() && !m.connectInFlight && s != NEVPNStatus::connecting && s != NEVPNStatus::connected) {
            throw AgentError(**m.errorMessage);
        }
        co_return co_await settled(m, *wait);
    }
    if (op == "setSiteEnabled") {
        const std::int64_t siteId = a.integer("siteId");
        const bool enabled = a.boolean("enabled");
        const auto wait = a.wait();
        if (!wait) {
            m.setSiteEnabled(siteId, enabled);
            co_return json::object{};
        }
        // A running tunnel is switched at once, as long as the engine has one switch per listed site.
        if (m.tunnel.status() == NEVPNStatus::connected && m.activeSites.empty()) {
            co_await liveValues(m, std::chrono::seconds(5));
            co_await m.adoptRunningSites();
        }
        const bool running = !m.activeSites.empty();
        m.errorMessage = std::nullopt;
        m.setSiteEnabled(siteId, enabled);
        co_await until([&m] { return m.siteSwitchesRunning == 0; }, *wait);
        if (m.errorMessage->has_value()) throw AgentError(**m.errorMessage);
        co_return json::object{{"running", running}};
    }
    if (op == "setLanShare" || op == "regenerateLanSharePassword") {
        const bool wasUp = tunnelIsUp(m.tunnel.status());
        if (op == "setLanShare") {
            m.setLanShare(a.boolean("on"));
        } else {
            m.regenerateLanSharePassword();
        }
        const auto wait = a.wait();
        // A running tunnel reconnects so that the listener and password take effect.
        if (wait && wasUp && co_await until([&m] { return m.connectInFlight.get(); }, std::chrono::seconds(2))) {
            json::object out = co_await settled(m, *wait);
            if (!out.at("connected").as_bool()) {
                throw AgentError(m.errorMessage->value_or(m.tunnel.lastError().value_or("The tunnel did not reconnect.")));
            }
        }
        co_return json::object{};
    }
    if (op == "setNotifications") {
        m.setNotifications(a.boolean("on"));
        co_return json::object{};
    }
    if (op == "setSmartRouting") {
        m.setSmartRouting(a.boolean("on"));
        const auto wait = a.wait();
        if (!wait || !tunnelIsUp(m.tunnel.status())) co_return json::object{{"restarted", false}};
        // The running configuration was built with the old setting.
        co_await m.restartTunnel();
        json::object out = co_await settled(m, *wait);
        out["restarted"] = true;
        co_return out;
    }
    if (op == "setLockdown") {
        std::optional<std::string> failure;
        try {
            co_await m.setLockdown(a.boolean("enabled"), a.boolean("allowLAN", false));
        } catch (const std::exception& e) {
            failure = e.what();
        }
        if (failure && a.boolean("showError", false)) m.errorMessage = "The tunnel could not be made required: " + *failure;
        if (failure) throw AgentError(*failure);
        co_return json::object{};
    }
    if (op == "sendDiagnostics") {
        const auto wait = a.wait();
        if (!wait) {
            co_await m.sendDiagnostics("manual", std::nullopt);
            co_return json::object{};
        }
        // The answer is the note the window shows; a slow panel keeps the report queued, and the agent sends it later.
        m.diagnosticsNote = std::nullopt;
        const TaskHandle sending = spawnTask(m.executor(), m.sendDiagnostics("manual", std::nullopt));
        co_await until([&] { return m.diagnosticsNote->has_value() || sending.isFinished(); }, *wait);
        json::object out;
        if (m.diagnosticsNote->has_value()) out["note"] = **m.diagnosticsNote;
        co_return out;
    }
    if (op == "previewDiagnostics") {
        co_await m.pollLogs();
        co_return json::object{{"report", m.diagnosticsPreview()}};
    }
    if (op == "logLines") {
        co_await m.pollLogs();
        co_return json::object{{"lines", encodeValue(*m.logLines)}};
    }
    if (op == "dismissQuotaNotice") {
        m.quotaNotice = std::nullopt;
        co_return json::object{};
    }
    if (op == "dismissUpdate") {
        m.updateDismissed = true;
        co_return json::object{};
    }
    if (op == "scenePhaseChanged") {
        m.scenePhaseChanged(a.boolean("active"), a.boolean("background"));
        co_return json::object{};
    }
    if (op == "stopAgent") {
        const bool disconnect = a.boolean("disconnect", false);
        // After this reply is on its way.
        boost::asio::post(co_await boost::asio::this_coro::executor, [stop = stop_, disconnect] { stop(disconnect); });
        co_return json::object{};
    }
    throw AgentError("unknown operation \"" + op + "\"");
}

}  // namespace corvane
