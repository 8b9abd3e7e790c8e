// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/ExitSelection.hpp"

#include <algorithm>

namespace corvane::ExitSelection {

namespace {

bool hasServer(const std::vector<ServerListEntry>& servers, std::int64_t vpsId) {
    return std::any_of(servers.begin(), servers.end(), [&](const ServerListEntry& s) { return s.vpsId == vpsId; });
}

bool hasRealityUrl(const ClientExit& exit) { return exit.realityUrl && !exit.realityUrl->empty(); }

}  // namespace

const std::string& SelectionError::description() const noexcept {
    static const std::string texts[] = {
        "This exit is unavailable or its access was revoked. Refresh, or choose the original exit.",
        "This exit requires a different entry node. Choose the matching entry before connecting.",
        "Could not verify access to this exit. Refresh before connecting.",
    };
    return texts[static_cast<int>(case_)];
}

std::vector<ClientExit> available(std::optional<std::int64_t> entryId, const std::vector<ServerListEntry>& servers,
                                  const std::vector<ClientExit>& exits) {
    std::vector<ClientExit> out;
    if (!entryId || !hasServer(servers, *entryId)) return out;
    for (const auto& exit : exits) {
        if (exit.vpsId == *entryId && exit.ready && hasRealityUrl(exit)) out.push_back(exit);
    }
    return out;
}

std::vector<ServerListEntry> originalServers(const std::vector<ServerListEntry>& servers,
                                             std::optional<std::int64_t> restrictedEntryId) {
    if (!restrictedEntryId) return servers;
    auto it = std::find_if(servers.begin(), servers.end(),
                           [&](const ServerListEntry& s) { return s.vpsId == *restrictedEntryId; });
    if (it == servers.end()) throw SelectionError::unavailable();
    return {*it};
}

std::optional<ClientExit> quotaFallback(std::optional<std::int64_t> id, std::optional<std::int64_t> entryId,
                                        const ServerListResponse& list) {
    if (!id || !entryId || !hasServer(list.servers, *entryId)) return std::nullopt;
    auto it = std::find_if(list.exits.begin(), list.exits.end(),
                           [&](const ClientExit& e) { return e.exitId == *id && e.vpsId == *entryId; });
    if (it == list.exits.end() || !it->traffic) return std::nullopt;
    const ExitTraffic& traffic = *it->traffic;
    if (traffic.usingOriginal) return *it;
    if (!traffic.fallbackOnExhaustion) return std::nullopt;
    // Only a balance the panel actually checked and found empty switches the route.
    if (traffic.status == "exhausted" && traffic.checkedAt && traffic.remainingGb && *traffic.remainingGb == 0.0) {
        return *it;
    }
    return std::nullopt;
}

std::optional<ClientExit> resolve(std::optional<std::int64_t> id, std::optional<std::int64_t> entryId,
                                  const ServerListResponse& list, bool fresh) {
    if (!id) return std::nullopt;
    if (!fresh) throw SelectionError::needsFreshList();
    auto it = std::find_if(list.exits.begin(), list.exits.end(), [&](const ClientExit& e) { return e.exitId == *id; });
    if (it == list.exits.end() || !it->ready || !hasRealityUrl(*it)) throw SelectionError::unavailable();
    if (!hasServer(list.servers, it->vpsId)) throw SelectionError::unavailable();
    if (entryId && *entryId == it->vpsId) return *it;
    throw SelectionError::wrongEntry();
}

}  // namespace corvane::ExitSelection
