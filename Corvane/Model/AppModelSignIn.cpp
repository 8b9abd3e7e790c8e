// SPDX-License-Identifier: GPL-3.0-or-later
// Sign-in, sign-out, the server list and the recovery that retries them when the network returns.
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/url/parse.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Model/ModelErrors.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/Text.hpp"

namespace corvane {

namespace {

namespace asio = boost::asio;

// Runs `work` to its end even if the awaiting task is cancelled meanwhile: a
// recovery attempt that succeeds ends its own recovery timer, and must not be
// cut short by that.
Async<void> runToItsEnd(Async<void> work) {
    auto executor = co_await asio::this_coro::executor;
    co_await asio::co_spawn(executor, std::move(work),
                            asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}

}  // namespace

Async<void> AppModel::signIn(bool automatic) {
    if (!automatic) signInAutoAttempts = 0;
    errorMessage = std::nullopt;
    offerFileCredentialStore = false;
    const std::string trimmed(trimWhitespace(panelURL.get()));
    auto parsed = boost::urls::parse_uri(trimmed);
    if (!parsed || parsed->scheme() != "https" || !parsed->has_authority() || parsed->host().empty()) {
        errorMessage = "The panel address must be an https:// URL.";
        co_return;
    }
    busy = true;
    auto client = std::make_shared<PanelClient>(trimmed, std::nullopt, http_);
    const std::string device = deviceName();
    std::exception_ptr failure;
    std::string token;
    try {
        std::string e = email, p = password;
        LoginResponse reply = co_await client->login(std::move(e), std::move(p), device);
        store->save(reply.token, trimmed);
        token = std::move(reply.token);
    } catch (const std::exception&) {
        failure = std::current_exception();
    }
    if (failure) {
        if (panelUnreachable(failure)) {
            if (signInAutoAttempts > 1) {
                clearRecovery();
                errorMessage = "Can't reach the panel. Check the address and your connection, then try again.";
            } else {
                errorMessage = "Can't reach the panel. Signing in continues by itself when the network returns.";
                recoverWhenNetworkReturns(Recovery::signIn);
            }
        } else {
            clearRecovery();
            try {
                std::rethrow_exception(failure);
            } catch (const PanelError& e) {
                errorMessage = e.kind() == PanelError::Case::unauthorized ? "Wrong email or password."
                                                                          : e.description();
            } catch (...) {
                errorMessage = userText(failure);
                offerFileCredentialStore = keyringRefused(failure);
            }
        }
        busy = false;
        co_return;
    }
    client->setToken(token);
    panel = std::move(client);
    panelURL = trimmed;
    password = "";
    signedIn = true;
    clearRecovery();
    co_await refreshServers(false);
    startUpdateChecks();
    busy = false;
}

void AppModel::signOut() {
    clearRecovery();
    cancelTask(updateLoop);
    update = std::nullopt;
    spawn(tunnel.remove());
    try {
        store->clear();
    } catch (const std::exception&) {
    }
    panel.reset();
    servers = {};
    exits = {};
    selectedExitId = std::nullopt;
    quotaNotice = std::nullopt;
    quotaFallbackEntryId.reset();
    // Signing out goes on when the route cannot be forgotten on disk; the error says so.
    SettingValues route;
    route.emplace_back("quota_fallback_entry_id", std::nullopt);
    route.emplace_back("selected_exit_id", std::nullopt);
    storeOrReport(std::move(route));
    sites = {};
    siteStatuses = {};
    activeSites.clear();
    signedIn = false;
}

Async<bool> AppModel::refreshServers(bool forConnect) {
    if (!panel) co_return false;
    refreshing = true;
    // The client stays alive across the request even if a sign-out drops it meanwhile.
    const std::shared_ptr<PanelClient> client = panel;
    std::optional<double> timeout;
    if (forConnect) timeout = inSeconds(timings_.connectRefreshTimeout);

    std::optional<ServerListResponse> response;
    std::exception_ptr failure;
    for (int attempt = 1; attempt <= 2; ++attempt) {
        failure = nullptr;
        try {
            response = co_await client->serverList(timeout);
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
        // A connect tries an unreachable panel once more; there is no third try.
        if (!failure || !forConnect || !panelUnreachable(failure)) break;
    }
    if (panel != client) {
        // Signed out (or in again) meanwhile: the answer belongs to a session that is gone.
        refreshing = false;
        co_return false;
    }
    if (response) {
        servers = onePerVPS(response->servers);
        sites = response->sites;
        exits = response->exits;
        handleQuotaFallback(*response, forConnect);
        startSiteWatchIfNeeded();  // a session found running before the list came
        errorMessage = std::nullopt;
        if (recovery == Recovery::servers) clearRecovery();
        refreshing = false;
        co_return true;
    }
    try {
        std::rethrow_exception(failure);
    } catch (const PanelError& e) {
        if (e.kind() == PanelError::Case::unauthorized) {
            signOut();
            errorMessage = "Your session ended. Please sign in again.";
        } else {
            errorMessage = e.description();
            if (panelUnreachable(failure) && servers->empty()) recoverWhenNetworkReturns(Recovery::servers);
        }
    } catch (...) {
        errorMessage = userText(failure);
    }
    refreshing = false;
    co_return false;
}

std::vector<ServerListEntry> AppModel::onePerVPS(const std::vector<ServerListEntry>& entries) {
    std::vector<ServerListEntry> kept;
    std::set<std::int64_t> seen;
    for (const auto& entry : entries) {
        if (seen.insert(entry.vpsId).second) kept.push_back(entry);
    }
    return kept;
}

void AppModel::recoverWhenNetworkReturns(Recovery kind) {
    const std::optional<Recovery> previous = recovery;
    recovery = kind;
    waitingForNetwork = true;
    if (previous == kind) return;  // the same recovery keeps its deadline and timer
    recoveryDeadline = steadyNow() + (kind == Recovery::servers ? timings_.serversRecoveryWindow
                                                                : timings_.signInRecoveryWindow);
    cancelTask(backoff);
    backoff = spawn(recoveryTimer(kind));
}

Async<void> AppModel::recoveryTimer(Recovery kind) {
    const auto delays = kind == Recovery::servers ? timings_.serversRecoveryDelays : timings_.signInRecoveryDelays;
    for (auto delay : delays) {
        co_await sleepFor(delay);  // ends the timer when it is cancelled
        co_await runToItsEnd(networkMayBeBack());
    }
    co_await sleepFor(std::chrono::milliseconds(0));  // a timer cancelled during the last attempt ends here
    clearRecovery();
}

void AppModel::clearRecovery() {
    recovery.reset();
    waitingForNetwork = false;
    cancelTask(backoff);
}

Async<void> AppModel::networkMayBeBack() {
    if (recovery && !recoveryRunning) {
        if (steadyNow() >= recoveryDeadline) {
            clearRecovery();
            co_return;
        }
        const Recovery kind = *recovery;
        recoveryRunning = true;
        try {
            co_await sleepFor(timings_.recoveryPause);
        } catch (...) {
            recoveryRunning = false;
            throw;
        }
        if (recovery != kind) {
            recoveryRunning = false;
            co_return;
        }
        try {
            if (kind == Recovery::servers) {
                co_await refreshServers(false);
            } else {
                ++signInAutoAttempts;
                co_await signIn(true);
            }
        } catch (...) {
            recoveryRunning = false;
            throw;
        }
        recoveryRunning = false;
    } else if (signedIn && !refreshing && !working()) {
        co_await refreshServers(false);
    }
}

}  // namespace corvane
