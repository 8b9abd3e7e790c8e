// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "Corvane/Platform/AppLog.hpp"

#include "Corvane/Platform/FileSettingsStore.hpp"
#include "Corvane/Platform/LogindSleepMonitor.hpp"
#include "Corvane/Platform/NetlinkPathMonitor.hpp"
#include "Corvane/Platform/ServiceActivationPlatform.hpp"
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"

namespace corvane {

AppModelParts AppModelParts::system(const boost::asio::any_io_executor& executor) {
    AppModelParts parts;
    parts.store = std::make_shared<KeychainTokenStore>();
    parts.tunnelPlatform = std::make_shared<ServiceTunnelPlatform>(executor, preferredTunnelServiceSocket());
    parts.settings = std::make_shared<FileSettingsStore>();
    parts.pathMonitor = std::make_shared<NetlinkPathMonitor>();
    parts.sleepMonitor = std::make_shared<LogindSleepMonitor>();
    parts.configSnapshotFile = DiagnosticsReporter::configSnapshotPath();
    // An operator's file that cannot be used leaves the values before it in force.
    Deployment::Loaded loaded = Deployment::load(Deployment::standardFiles());
    for (const auto& problem : loaded.problems) appLog("WARN", "deployment", problem.description());
    parts.deployment = std::move(loaded.values);
    return parts;
}

}  // namespace corvane
