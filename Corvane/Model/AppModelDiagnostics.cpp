// SPDX-License-Identifier: GPL-3.0-or-later
// Diagnostic reports from the app: by hand, and by themselves when the tunnel fails.
#include <boost/url/parse.hpp>

#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/Platform/AppLog.hpp"
#include "CorvaneCore/Config/LocalAddresses.hpp"
#include "CorvaneCore/Diagnostics/Redact.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Diagnostics/ReportBuilder.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane {

ReportBuilder::Input AppModel::diagnosticsInput(std::string trigger, std::optional<std::string> error) const {
    const DiagnosticsReporter::Device device = DiagnosticsReporter::device();
    ReportBuilder::Input input;
    input.trigger = std::move(trigger);
    input.appVersion = appVersion_;
    input.now = now();
    input.os = device.os;
    input.osVersion = device.osVersion;
    input.arch = device.arch;
    input.locale = device.locale;
    input.timezone = device.timezone;
    for (auto& [name, address] : LocalAddresses::ipv4ByInterface()) input.interfaces.push_back({name, address});
    input.error = std::move(error);
    input.logs.reserve(logLines->size());
    for (const auto& line : *logLines) input.logs.push_back(line.line);
    // A model that did not connect itself describes the configuration another process last used.
    input.configJSON = lastConfigJSON;
    if (!input.configJSON && !configSnapshotFile_.empty()) {
        std::error_code ec;
        input.configJSON = readFileIfExists(configSnapshotFile_, ec);
    }
    if (auto url = boost::urls::parse_uri(panelURL.get()); url && url->has_authority() && !url->host().empty()) {
        input.panelHost = std::string(url->host());
    }
    input.activeTag = activeOutbound;
    input.tunnelUp = tunnel.status() == NEVPNStatus::connected;
    return input;
}

std::string AppModel::diagnosticsPreview() const {
    return toJSONText(encodeValue(ReportBuilder::build(diagnosticsInput("manual", std::nullopt))), 2);
}

Async<void> AppModel::sendDiagnostics(std::string trigger, std::optional<std::string> error) {
    const bool manual = trigger == "manual";
    ReportBuilder::Input input = diagnosticsInput(std::move(trigger), std::move(error));
    input.rejectedPackets = co_await tunnel.rejectedPackets();
    auto outcome = co_await diagnostics->report(std::move(input), panel);
    // Automatic reports say nothing to the user.
    if (!manual) co_return;
    diagnosticsNote = std::string(DiagnosticsReporter::message(outcome));
    co_await sleepFor(timings_.diagnosticsNoteDuration);
    diagnosticsNote = std::nullopt;
}

void AppModel::storeConfigSnapshot(const std::string& config) {
    if (configSnapshotFile_.empty()) return;
    try {
        // Masked before it touches the disk: the file never holds a secret.
        const std::optional<std::string> masked = Redact::configSnapshot(config);
        if (!masked) return;
        std::filesystem::create_directories(configSnapshotFile_.parent_path());
        writeFileAtomically(configSnapshotFile_, *masked, std::filesystem::perms(0600));
    } catch (const std::exception& e) {
        appLog("WARN", "diagnostics", std::string("cannot keep the configuration for reports: ") + e.what());
    }
}

void AppModel::lastErrorChanged() {
    const std::optional<std::string>& error = tunnel.lastError();
    if (error == lastSeenError_) return;
    lastSeenError_ = error;
    if (!error) return;
    // Only a drop the controller could name is reported (a failed start, the engine ending).
    if (const auto& trigger = tunnel.lastErrorTrigger()) spawn(sendDiagnostics(*trigger, *error));
}

}  // namespace corvane
