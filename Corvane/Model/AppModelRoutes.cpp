// SPDX-License-Identifier: GPL-3.0-or-later
// Routes: the names shown for engine tags, switching the pinned server inside
// the running engine, changing the whole route (which reconnects), and the
// fallback from a metered exit whose allowance ran out.
#include <charconv>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "Corvane/Model/ModelErrors.hpp"
#include "CorvaneCore/Panel/ExitSelection.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"

namespace corvane {

namespace {

namespace json = boost::json;

constexpr std::string_view tagPrefix = "proxy-";
constexpr const char* selectorGroup = "proxy";

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

// n of "proxy-<n>" (decimal digits only).
std::optional<std::size_t> shareIndex(std::string_view tag) {
    if (!tag.starts_with(tagPrefix) || tag.size() == tagPrefix.size()) return std::nullopt;
    std::string_view digits = tag.substr(tagPrefix.size());
    std::size_t n = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return n;
}

// Frees a session's selector writer however the writer ends (a cancelled one throws),
// unless the model is gone: a loop destroyed after it drops the writer's frame unrun.
struct WriterSlot {
    std::weak_ptr<AppModel*> model;
    std::optional<std::uint64_t>& writer;
    std::uint64_t generation;
    ~WriterSlot() {
        if (model.expired()) return;
        if (writer == generation) writer.reset();
    }
};

std::optional<json::value> encodedPin(const std::optional<PinPref>& pin) {
    if (!pin) return std::nullopt;
    return json::value(encodeJSON(*pin));
}

}  // namespace

std::string AppModel::pinChoice() const {
    if (selectedExitId->has_value()) return "proxy-0";
    if (!pin->has_value()) return "proxy-auto";
    const auto fleet = snapshot();
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        if (fleet[i].vpsId == (*pin)->vpsId) return "proxy-" + std::to_string(2 * i + ((*pin)->reality ? 1 : 0));
    }
    return "proxy-auto";
}

std::string AppModel::prettyTag(const std::string& tag) const {
    if (selectedExitId->has_value() && pin->has_value()) {
        for (const auto& s : *servers) {
            if (s.vpsId == (*pin)->vpsId) return "Reality on " + s.name;
        }
    }
    if (tag == "proxy-auto") return "Auto · pick fastest";
    if (auto n = shareIndex(tag)) {
        const std::string protocol = *n % 2 == 1 ? "Reality" : "Hysteria2";
        const std::size_t i = *n / 2;
        const auto fleet = snapshot();
        if (i < fleet.size()) return protocol + " on " + fleet[i].name;
        return protocol + " on VPS-" + std::to_string(i + 1);
    }
    return tag;
}

std::optional<ClientExit> AppModel::selectedExit() const {
    if (!selectedExitId->has_value()) return std::nullopt;
    for (const auto& e : *exits) {
        if (e.exitId == **selectedExitId) return e;
    }
    return std::nullopt;
}

std::string AppModel::entryName() const {
    if (pin->has_value()) {
        for (const auto& s : *servers) {
            if (s.vpsId == (*pin)->vpsId) return s.name;
        }
    }
    return selectedExitId->has_value() ? "Entry unavailable" : "Auto · fastest";
}

std::string AppModel::exitName() const {
    if (!selectedExitId->has_value()) return "Original VPS exit";
    if (auto e = selectedExit()) return e->name;
    return "Exit unavailable";
}

void AppModel::pinTag(const std::string& tag) {
    std::optional<PinPref> requested;
    if (tag != "proxy-auto") {
        const auto n = shareIndex(tag);
        const auto fleet = snapshot();
        if (!n || *n / 2 >= fleet.size()) return;  // not a tag of this fleet
        requested = PinPref{.vpsId = fleet[*n / 2].vpsId, .reality = *n % 2 == 1};
    }
    if (selectedExitId->has_value() || quotaFallbackEntryId) {
        // The running configuration holds the exit alone: only a new route can switch.
        if (requested) {
            spawn(applyRoute(requested->vpsId, std::nullopt, requested->reality, false));
        } else {
            spawn(applyRoute(std::nullopt, std::nullopt, false, false));
        }
        return;
    }
    writeSetting("pin_pref", encodedPin(requested));
    pin = requested;
    if (status() == UiStatus::connected && clash) {
        switchingTo = tag;
        restartHealthChecks(false);  // paused while the switch runs
        spawn(switchSelector());
    }
}

void AppModel::chooseProtocol(std::optional<bool> reality) {
    if (!pin->has_value()) return;  // the automatic entry picks among every share already
    PinPref next = **pin;
    next.anyProtocol = !reality.has_value();
    if (reality) {
        next.reality = *reality;
    } else {
        // The faster of the server's two shares by the last delays measured; none yet: as it is.
        const auto fleet = snapshot();
        for (std::size_t i = 0; i < fleet.size(); ++i) {
            if (fleet[i].vpsId != next.vpsId) continue;
            const auto known = [&](bool r) -> std::optional<std::int64_t> {
                const auto found = delays->find("proxy-" + std::to_string(2 * i + (r ? 1 : 0)));
                if (found == delays->end() || found->second <= 0) return std::nullopt;
                return found->second;
            };
            const auto hy2 = known(false), rt = known(true);
            if (hy2 && rt) next.reality = *rt < *hy2;
            else if (hy2 || rt) next.reality = rt.has_value();
            break;
        }
    }
    if (next == **pin) return;
    const std::string before = pinChoice();
    writeSetting("pin_pref", encodedPin(next));
    pin = next;
    // Through a metered exit (or the fallback's one entry) the running route has no other
    // protocol to switch to: the choice applies when the route next changes or reconnects.
    if (selectedExitId->has_value() || quotaFallbackEntryId) return;
    if (status() == UiStatus::connected && clash && pinChoice() != before) {
        switchingTo = pinChoice();
        restartHealthChecks(false);
        spawn(switchSelector());
    }
}

Async<std::optional<std::string>> AppModel::selectInEngine(std::shared_ptr<ClashClient> client, std::string tag,
                                                           bool* unreachable) {
    if (unreachable) *unreachable = false;
    if (!client) co_return "the tunnel's engine is not running.";
    // A 204 only says the engine read the request: the selector it then uses is what counts.
    std::optional<ClashClient::ProxiesResponse> table;
    try {
        co_await client->setSelector(selectorGroup, tag);
        table = co_await client->proxies();
    } catch (const boost::system::system_error& e) {
        if (e.code() == boost::asio::error::operation_aborted) throw;
        co_return userText(std::current_exception());
    } catch (const HttpError& e) {
        if (unreachable) *unreachable = e.kind() == HttpError::Kind::connect;
        co_return userText(std::current_exception());
    } catch (const std::exception&) {
        co_return userText(std::current_exception());
    }
    const auto selector = table->proxies.find(selectorGroup);
    if (selector == table->proxies.end() || !selector->second.now || selector->second.now->empty()) {
        co_return "the engine does not say which server it uses.";
    }
    if (*selector->second.now != tag) co_return "the engine uses " + prettyTag(*selector->second.now) + " instead.";
    co_return std::nullopt;
}

Async<void> AppModel::switchSelector() {
    const std::uint64_t generation = selectionGeneration;
    const std::shared_ptr<ClashClient> client = clash;
    // One writer per session, so that the engine takes the picks in the order they were made:
    // a pick made while it writes is written by it next.
    if (!client || selectorWriter_ == generation) co_return;
    std::optional<std::string> failure;
    bool unreachable = false;
    {
        selectorWriter_ = generation;
        const WriterSlot slot{self_, selectorWriter_, generation};
        std::string choice;
        do {
            choice = pinChoice();
            failure = co_await selectInEngine(client, choice, &unreachable);
        } while (selectionGeneration == generation && clash == client && pinChoice() != choice);
    }
    // A switch in a session that has ended since (its engine is gone) says nothing
    // about the session now running, nor about a pick made there.
    if (selectionGeneration != generation || clash != client) co_return;
    // An engine that cannot be reached has ended or moved: that is reported as what it is
    // (the session's end, or the live state following the new port), not as a failed switch.
    if (failure && !unreachable) {
        errorMessage = "Could not switch server: " + *failure;
    } else if (switchingTo->has_value()) {
        co_await pollProxies();  // the server a pick shows
    }
    if (selectionGeneration == generation && switchingTo->has_value()) {
        switchingTo = std::nullopt;
        restartHealthChecks(false);
    }
}

Async<void> AppModel::applyRoute(std::optional<std::int64_t> entryId, std::optional<std::int64_t> exitId, bool reality,
                                 bool quotaFallback) {
    if (working()) co_return;
    if (exitId) {
        const auto offered = ExitSelection::available(entryId, servers, exits);
        if (std::none_of(offered.begin(), offered.end(), [&](const ClientExit& e) { return e.exitId == *exitId; })) {
            errorMessage = "Refresh and choose an available exit for this entry node.";
            co_return;
        }
        std::optional<ExitTraffic> traffic;
        for (const auto& e : *exits) {
            if (e.exitId == *exitId) traffic = e.traffic;
        }
        if (traffic) {
            connectInFlight = true;
            const std::shared_ptr<PanelClient> client = panel;
            if (client) {
                try {
                    co_await client->selectMeteredExit(*exitId, traffic->fallbackOnExhaustion);
                } catch (const std::exception&) {
                    errorMessage = userText(std::current_exception());
                    connectInFlight = false;
                    co_return;
                }
            }
            if (traffic->usingOriginal) {
                // The entry node reroutes the exit's traffic to the exit again; wait until it says so.
                bool ready = false;
                for (int attempt = 1; client && attempt <= timings_.exitWaitAttempts && !ready; ++attempt) {
                    try {
                        ServerListResponse response = co_await client->serverList(inSeconds(timings_.exitWaitTimeout));
                        servers = onePerVPS(response.servers);
                        sites = response.sites;
                        exits = response.exits;
                        for (const auto& e : response.exits) {
                            if (e.exitId == *exitId && e.ready && (!e.traffic || !e.traffic->usingOriginal)) ready = true;
                        }
                        if (!ready) co_await sleepFor(timings_.exitWaitInterval);
                    } catch (const std::exception&) {
                        errorMessage = userText(std::current_exception());
                        connectInFlight = false;
                        co_return;
                    }
                }
                if (!ready) {
                    errorMessage = "The entry node is still preparing this exit. Refresh and try again.";
                    connectInFlight = false;
                    co_return;
                }
            }
            connectInFlight = false;
        }
    }
    if (tunnelIsUp(tunnel.status())) {
        if (!co_await stopAndWait()) {
            errorMessage = "Could not stop the previous connection. Disconnect before changing the route.";
            co_return;
        }
    }
    const std::optional<std::int64_t> fallbackEntryId = quotaFallback ? entryId : std::nullopt;
    std::optional<PinPref> newPin;
    if (entryId) newPin = PinPref{.vpsId = *entryId, .reality = reality};
    // A new entry or exit keeps "Automatic protocol" when the caller kept the protocol.
    if (newPin && pin->has_value() && (*pin)->anyProtocol && (*pin)->reality == reality) newPin->anyProtocol = true;
    // The route is stored whole or not at all.
    SettingValues route;
    route.emplace_back("selected_exit_id", exitId ? std::optional<json::value>(json::value(*exitId)) : std::nullopt);
    route.emplace_back("quota_fallback_entry_id",
                       fallbackEntryId ? std::optional<json::value>(json::value(*fallbackEntryId)) : std::nullopt);
    route.emplace_back("pin_pref", encodedPin(newPin));
    if (!storeOrReport(std::move(route))) co_return;
    selectedExitId = exitId;
    quotaFallbackEntryId = fallbackEntryId;
    quotaNotice = std::nullopt;
    pin = newPin;
    co_await connect();
}

void AppModel::handleQuotaFallback(const ServerListResponse& response, bool duringConnect) {
    std::optional<std::int64_t> entryId;
    if (pin->has_value()) entryId = (*pin)->vpsId;
    const auto exit = ExitSelection::quotaFallback(selectedExitId, entryId, response);
    if (!exit) return;
    std::string notice = exit->name +
                         " traffic was used up. Switched to Original VPS exit on the same entry node. No traffic was "
                         "purchased.";
    if (duringConnect || !tunnelIsUp(tunnel.status())) {
        // Switch the stored route; the connect that asked (or the next one) builds from that entry node alone.
        quotaFallbackEntryId = exit->vpsId;
        selectedExitId = std::nullopt;
        quotaNotice = std::move(notice);
        // The exit's traffic is gone, so the switch holds for this run even when it cannot be stored.
        SettingValues route;
        route.emplace_back("quota_fallback_entry_id", json::value(exit->vpsId));
        route.emplace_back("selected_exit_id", std::nullopt);
        storeOrReport(std::move(route));
        return;
    }
    if (quotaFallbackPending || working()) return;
    quotaFallbackPending = true;
    spawn(quotaFallbackTask(*exit, std::move(notice)));
}

Async<void> AppModel::quotaFallbackTask(ClientExit exit, std::string notice) {
    try {
        // The user may have picked another route since the list arrived.
        if (selectedExitId.get() == exit.exitId && pin->has_value() && (*pin)->vpsId == exit.vpsId) {
            co_await applyRoute(exit.vpsId, std::nullopt, (*pin)->reality, true);
            if (!selectedExitId->has_value()) quotaNotice = notice;
        }
    } catch (const std::exception&) {
    }
    quotaFallbackPending = false;
}

}  // namespace corvane
