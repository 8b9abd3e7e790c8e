// SPDX-License-Identifier: GPL-3.0-or-later
// The tunnel session as the model follows it: status changes, health checks,
// and the extension's log.
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/AppLog.hpp"
#include "Corvane/Tunnel/ClashClient.hpp"

namespace corvane {

namespace {

constexpr std::size_t logLinesKept = 1000;
constexpr const char* selectorGroup = "proxy";

}  // namespace

void AppModel::tunnelStatusChanged(NEVPNStatus status) {
    if (status == NEVPNStatus::reasserting) return;
    if (status == NEVPNStatus::connected) {
        if (!liveTasks.empty()) return;  // already live
        liveTasks.push_back(spawn(runLiveState()));
        startSiteWatchIfNeeded();
        return;
    }
    ++selectionGeneration;  // pending route and pin work gives up
    cancelTask(healthTask);
    healthPolicy.invalidate(true);
    for (auto& task : liveTasks) task.cancel();
    liveTasks.clear();
    siteWatchRunning = false;
    cancelTask(trafficTask);
    clash.reset();
    localProxy = std::nullopt;
    delays = {};
    delayMeasuredAt = {};
    activeOutbound = std::nullopt;
    switchingTo = std::nullopt;
    tunnelReachable = std::nullopt;
    trafficNow = TrafficSample{};
    trafficHistory = {};
    if (status == NEVPNStatus::connecting) {
        trafficTotal = TrafficSample{};
        sampledTotal_ = {};
        return;
    }
    if (status == NEVPNStatus::disconnecting) return;
    // A profile saved by the connect under way reports itself down before it
    // starts: the sharing address and sites already belong to that connect.
    if (connectInFlight) return;
    // Down: the last session's total stays on screen.
    dropSessionValues();
}

void AppModel::restartHealthChecks(bool newSession) {
    cancelTask(healthTask);
    healthPolicy.invalidate(newSession);
    tunnelReachable = std::nullopt;
    if (tunnel.status() == NEVPNStatus::connected && clash && networkAvailable && !deviceSleeping &&
        !switchingTo->has_value()) {
        healthTask = spawn(healthLoop());
    }
}

Async<void> AppModel::healthLoop() {
    for (;;) {
        co_await checkTunnelHealth();
        co_await sleepFor(timings_.healthCheckPeriod);
    }
}

Async<void> AppModel::checkTunnelHealth() {
    if (!clash || tunnel.status() != NEVPNStatus::connected || !networkAvailable || deviceSleeping) co_return;
    const auto token = healthPolicy.begin(steadyNow());
    if (!token) co_return;
    const std::shared_ptr<ClashClient> client = clash;
    const bool reachable = co_await client->probe(selectorGroup);
    // A restart of the checks or a session change has invalidated this probe meanwhile
    // (both also end its task), so its answer no longer counts.
    if (!healthPolicy.isCurrent(*token) || tunnel.status() != NEVPNStatus::connected) co_return;
    switch (healthPolicy.finish(*token, reachable, steadyNow())) {
    case TunnelHealthPolicy::Result::stale: break;
    case TunnelHealthPolicy::Result::reachable: tunnelReachable = true; break;
    case TunnelHealthPolicy::Result::unreachable: tunnelReachable = false; break;
    case TunnelHealthPolicy::Result::recover: {
        tunnelReachable = false;
        // Connections opened over a path that has gone keep failing; the service closes every
        // one through the engine, then the group measures its members afresh and may pick another.
        auto reply = co_await tunnel.send<TunnelIPC::ActionReply>(TunnelIPC::Request::recoverNetwork(client->port()));
        if (!reply || !reply->performed) {
            appLog("WARN", "health", "the tunnel service did not recover the network; testing the servers again");
        }
        co_await client->testGroup();
        break;
    }
    }
}

void AppModel::startLogPolling() {
    if (logPoll) return;
    logPoll = spawn(logPollLoop());
}

Async<void> AppModel::logPollLoop() {
    for (;;) {
        co_await pollLogs();
        co_await sleepFor(tunnel.status() == NEVPNStatus::connecting ? timings_.logPollConnectingInterval
                                                                     : timings_.logPollInterval);
    }
}

Async<void> AppModel::pollLogs() {
    auto reply = co_await tunnel.send<TunnelIPC::LogsReply>(TunnelIPC::Request::logs(lastLogSeq));
    if (!reply || reply->lines.empty()) co_return;
    lastLogSeq = reply->lines.back().seq;
    logLines.modify([&](std::vector<TunnelIPC::SequencedLine>& lines) {
        lines.insert(lines.end(), std::make_move_iterator(reply->lines.begin()),
                     std::make_move_iterator(reply->lines.end()));
        if (lines.size() > logLinesKept) lines.erase(lines.begin(), lines.end() - logLinesKept);
    });
}

}  // namespace corvane
