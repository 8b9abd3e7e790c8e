// SPDX-License-Identifier: GPL-3.0-or-later
// The diagnostics upload of the panel client.
#include "CorvaneCore/Diagnostics/DiagnosticReport.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"

namespace corvane {

Async<DiagnosticPostResponse> PanelClient::uploadDiagnostics(const DiagnosticReport& report) {
    std::string body = encodeJSON(report);
    co_return co_await perform<DiagnosticPostResponse>("POST", "api/client/diagnostics", true, std::move(body));
}

}  // namespace corvane
