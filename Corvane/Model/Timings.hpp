// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Every interval, window, delay and timeout of the application model, and the
// clock it reads. The defaults are the product's; tests shorten them so the
// real flows run in milliseconds.

#include <chrono>
#include <functional>
#include <vector>

namespace corvane {

using namespace std::chrono_literals;

struct Timings {
    using Duration = std::chrono::steady_clock::duration;

    // Sign-in, server refresh and recovery.
    Duration connectRefreshTimeout = 10s;              // server list asked for by a connect
    Duration serversRecoveryWindow = 300s;
    std::vector<Duration> serversRecoveryDelays = {2s, 5s, 10s};
    Duration signInRecoveryWindow = 60s;
    std::vector<Duration> signInRecoveryDelays = {3s, 8s};
    Duration recoveryPause = 700ms;                    // before each recovery attempt
    Duration updateCheckInterval = 86400s;

    // Connecting and health checks.
    Duration restartPollInterval = 200ms;
    int restartPollCount = 50;
    Duration healthCheckPeriod = 5s;

    // Routes and exits.
    Duration exitWaitInterval = 3s;
    int exitWaitAttempts = 15;
    Duration exitWaitTimeout = 10s;

    // Live state.
    Duration endpointAttemptInterval = 500ms;
    int endpointAttempts = 20;
    Duration proxyPollFastInterval = 3s;
    int proxyPollFastPasses = 4;
    Duration proxyPollInterval = 10s;
    Duration historySpacing = 300ms;
    Duration trafficReconnectDelay = 500ms;
    Duration trafficBackoffStart = 500ms;
    Duration trafficBackoffMax = 5000ms;
    Duration logPollConnectingInterval = 400ms;
    Duration logPollInterval = 2s;

    // Sites and diagnostics.
    Duration siteWatchPeriod = 60s;
    Duration siteWatchListTimeout = 20s;
    Duration diagnosticsNoteDuration = 4s;
};

// Seconds as the panel client takes them.
inline double inSeconds(Timings::Duration d) { return std::chrono::duration<double>(d).count(); }

// The wall clock: when something happened, as shown and stored; tests move it by hand.
using ModelClock = std::function<std::chrono::system_clock::time_point()>;
// Deadlines, spacing and the health policy: time that passes, whatever the wall
// clock is set to meanwhile; tests move it by hand.
using ModelSteadyClock = std::function<std::chrono::steady_clock::time_point()>;

}  // namespace corvane
