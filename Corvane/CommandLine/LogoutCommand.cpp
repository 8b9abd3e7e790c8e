// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl logout: forget the session, the token and the VPN profile.
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;

int logout(CommandContext& ctx) {
    if (!ctx.args.empty()) {
        return ctx.usageError();
    }
    AgentConnection agent;
    const boost::json::object result = agent.callWaiting("signOut", {}, std::chrono::seconds(10));
    if (!result.at("profileRemoved").as_bool()) ctx.err << "corvanectl: the tunnel service did not remove the VPN profile\n";
    ctx.out << "Signed out.\n";
    if (const auto* error = result.if_contains("errorMessage")) {
        ctx.err << terminalText(error->as_string()) << "\n";
        return 1;
    }
    return 0;
}

const CommandRegistration registration{"logout", "logout", &logout};

}  // namespace

}  // namespace corvane::cli
