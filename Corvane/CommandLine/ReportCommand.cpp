// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl report: a diagnostic report by hand, or a preview of exactly what would leave the machine.
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;

int report(CommandContext& ctx) {
    bool preview = false;
    if (!ctx.flags({{"--preview", &preview}})) return ctx.usageError();
    AgentConnection agent;
    if (preview) {
        // What the reporter would queue and send, after sanitising; nothing is written.
        ctx.out << agent.call("previewDiagnostics").at("report").as_string().c_str() << "\n";
        return 0;
    }
    // Signed out, the report is kept for later; the agent sends what stays queued.
    const boost::json::object result = agent.callWaiting("sendDiagnostics", {}, std::chrono::minutes(10));
    const std::string note = result.contains("note") ? std::string(result.at("note").as_string()) : "Could not save the report";
    ctx.out << note << "\n";
    return note == "Could not save the report" ? 1 : 0;
}

const CommandRegistration registration{"report", "report [--preview]", &report};

}  // namespace

}  // namespace corvane::cli
