// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl share: sharing the tunnel with other devices on the LAN.
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
namespace LanShare = ConfigBuilder::LanShare;

// Why there are no credentials to show, or nothing when the tunnel is sharing.
std::optional<std::string> notSharingText(const AppSnapshot& s) {
    if (!s.lanShare) return "LAN sharing is off. Turn it on with corvanectl share on.";
    if (s.tunnelStatus != NEVPNStatus::connected) return "Sharing starts when you connect.";
    if (s.sharingOn) return std::nullopt;
    if (!s.lanAddress) return "This device has no Wi-Fi or Ethernet address right now.";
    return "No Wi-Fi or Ethernet address was found when the tunnel started. Join a network, then turn this off and on "
           "again.";
}

void show(const AppSnapshot& s, bool asJSON, std::ostream& out) {
    const auto why = notSharingText(s);
    if (asJSON) {
        json::object o;
        o["lanShare"] = s.lanShare;
        if (s.sharingOn) o["sharingOn"] = *s.sharingOn;
        if (s.lanAddress) o["lanAddress"] = *s.lanAddress;
        o["lanSharePassword"] = s.lanSharePassword;
        o["port"] = LanShare::port;
        o["username"] = LanShare::username;
        if (!why) o["socks5URL"] = LanShare::proxyURL("socks5", *s.sharingOn, s.lanSharePassword);
        if (why) o["note"] = *why;
        out << toJSONText(o, 2) << "\n";
        return;
    }
    if (why) {
        out << *why << "\n";
        return;
    }
    out << "Proxy server: " << *s.sharingOn << "\n"
        << "Port:         " << LanShare::port << "\n"
        << "Username:     " << LanShare::username << "\n"
        << "Password:     " << s.lanSharePassword << "\n"
        << "URL:          " << LanShare::proxyURL("socks5", *s.sharingOn, s.lanSharePassword) << "\n"
        << "Works as HTTP and SOCKS5. Anyone with these credentials on this network can use your tunnel \u2014 share "
           "them only with your own devices.\n";
}

int share(CommandContext& ctx) {
    const auto usage = [&] { return ctx.usageError(); };
    if (ctx.args.empty() || ctx.args.size() > 2) return usage();
    const std::string_view action = ctx.args[0];
    const bool asJSON = ctx.args.size() == 2 && ctx.args[1] == "--json";
    if (ctx.args.size() == 2 && !asJSON) return usage();
    if (action != "on" && action != "off" && action != "new-password" && action != "show") return usage();

    AgentConnection agent;
    // A running tunnel reconnects so that the listener and password take effect; the agent answers after.
    if (action == "new-password") {
        agent.callWaiting("regenerateLanSharePassword", {}, std::chrono::seconds(60));
    } else if (action != "show") {
        agent.callWaiting("setLanShare", {{"on", action == "on"}}, std::chrono::seconds(60));
    }
    show(*agent.snapshot(), asJSON, ctx.out);
    return 0;
}

const CommandRegistration registration{"share", "share on|off|new-password|show [--json]", &share};

}  // namespace

}  // namespace corvane::cli
