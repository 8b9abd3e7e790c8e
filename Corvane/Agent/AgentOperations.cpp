#include "Corvane/Agent/AgentOperations.hpp"

#include <unistd.h>

#include <map>

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include "Corvane/Agent/AgentProtocol.hpp"
#include "Corvane/Agent/SnapshotCoding.hpp"
#include "Corvane/Model/AppModel.hpp"

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

}  // namespace

AgentOperations::AgentOperations(AppModel& model, std::function<void(bool)> stop) : model_(model), stop_(std::move(stop)) {}

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
    if (op == "signIn") {
        // Typed as in the window, then the sign-in: one step, so no other client's edit lands between.
        m.panelURL = a.string("panelURL");
        m.email = a.string("email");
        m.password = a.string("password");
        co_await m.signIn(false);
        co_return outcome(m);
    }
    if (op == "signOut") {
        m.signOut();
        co_return json::object{};
    }
    if (op == "connect") {
        co_await m.connect();
        co_return outcome(m);
    }
    if (op == "toggleConnection") {
        co_await m.toggleConnection();
        co_return outcome(m);
    }
    if (op == "disconnect") {
        co_await m.disconnect();
        co_return outcome(m);
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
        m.pinTag(a.string("tag"));
        co_return json::object{};
    }
    if (op == "applyRoute") {
        co_await m.applyRoute(a.optionalInteger("entryId"), a.optionalInteger("exitId"), a.boolean("reality"),
                              a.boolean("quotaFallback", false));
        co_return outcome(m);
    }
    if (op == "setSiteEnabled") {
        m.setSiteEnabled(a.integer("siteId"), a.boolean("enabled"));
        co_return json::object{};
    }
    if (op == "setLanShare") {
        m.setLanShare(a.boolean("on"));
        co_return json::object{};
    }
    if (op == "regenerateLanSharePassword") {
        m.regenerateLanSharePassword();
        co_return json::object{};
    }
    if (op == "setSmartRouting") {
        m.setSmartRouting(a.boolean("on"));
        co_return json::object{};
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
        co_await m.sendDiagnostics("manual", std::nullopt);
        co_return json::object{};
    }
    if (op == "previewDiagnostics") {
        co_return json::object{{"report", m.diagnosticsPreview()}};
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
