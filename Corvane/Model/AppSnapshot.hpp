// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Corvane/Model/ModelTypes.hpp"
#include "CorvaneCore/Config/SiteStatus.hpp"
#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "CorvaneCore/Panel/UpdateChecker.hpp"
#include "CorvaneCore/Tunnel/TunnelIPC.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

namespace corvane {

// What the views read: every published field of the model and the values
// derived from them, as one immutable value. Collections are shared with the
// model and with earlier snapshots for as long as they do not change.
struct AppSnapshot {
    template <class T>
    using Shared = std::shared_ptr<const T>;

    std::uint64_t version = 0;  // increases with every publication

    std::string panelURL;
    std::string email;
    std::string password;
    bool signedIn = false;
    bool busy = false;
    std::optional<std::string> errorMessage;
    bool offerFileCredentialStore = false;
    Shared<std::vector<ServerListEntry>> servers;
    Shared<std::vector<ClientExit>> exits;
    std::optional<std::int64_t> selectedExitId;
    // The entry node a used-up metered exit fell back to: the route keeps to it.
    std::optional<std::int64_t> quotaFallbackEntryId;
    std::optional<std::string> quotaNotice;
    Shared<std::vector<SiteAccess>> sites;
    Shared<std::vector<SiteStatus>> siteStatuses;
    Shared<std::set<std::int64_t>> disabledSiteIds;
    Shared<std::vector<FleetSlot>> connectedFleet;
    bool refreshing = false;
    bool smartRouting = true;
    bool notifications = true;
    std::optional<PinPref> pin;
    bool lanShare = false;
    std::optional<std::string> sharingOn;
    std::optional<std::string> lanAddress;
    std::string lanSharePassword;
    Shared<std::map<std::string, std::int64_t>> delays;
    Shared<std::map<std::string, std::chrono::system_clock::time_point>> delayMeasuredAt;
    std::optional<std::string> activeOutbound;
    std::optional<std::string> switchingTo;
    std::optional<bool> tunnelReachable;
    TrafficSample trafficNow;
    TrafficSample trafficTotal;
    Shared<std::vector<TrafficSample>> trafficHistory;
    std::optional<UpdateStatus> update;
    bool updateDismissed = false;
    std::optional<std::string> updateURL;  // where the update dialog sends the user
    std::optional<std::string> diagnosticsNote;
    Shared<std::vector<TunnelIPC::SequencedLine>> logLines;
    bool connectInFlight = false;
    bool waitingForNetwork = false;

    // Derived.
    UiStatus status = UiStatus::disconnected;
    bool working = false;
    Shared<std::vector<FleetSlot>> snapshot;  // the servers to show as the fleet
    bool updateBlocksConnecting = false;
    NEVPNStatus tunnelStatus = NEVPNStatus::invalid;
    std::optional<std::string> tunnelLastError;
    // The tunnel service's kill switch (system mode): traffic outside the tunnel
    // is blocked, from a connect until the user disconnects, also while down.
    bool trafficBlocked = false;
    KillSwitchState killSwitch = KillSwitchState::unknown;
    // The service blocks whenever no tunnel is up, until turned off (nothing: it has not said, or cannot).
    std::optional<LockdownState> lockdown;
    // User mode: where the tunnel is offered as a local proxy, "127.0.0.1:2080".
    std::optional<std::string> localProxy;
    std::string pinChoice;                  // the engine tag of the current choice
    std::optional<ClientExit> selectedExit;
    std::string entryName;
    std::string exitName;
};

}  // namespace corvane
