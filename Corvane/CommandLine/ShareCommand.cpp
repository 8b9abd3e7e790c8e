// corvanectl share: sharing the tunnel with other devices on the LAN.
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"
#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;
namespace LanShare = ConfigBuilder::LanShare;

// Why there are no credentials to show, or nothing when the tunnel is sharing.
std::optional<std::string> notSharingText(const AppModel& m) {
    if (!m.lanShare) return "LAN sharing is off. Turn it on with corvanectl share on.";
    if (m.tunnel.status() != NEVPNStatus::connected) return "Sharing starts when you connect.";
    if (m.sharingOn->has_value()) return std::nullopt;
    if (!m.lanAddress->has_value()) return "This device has no Wi-Fi or Ethernet address right now.";
    return "No Wi-Fi or Ethernet address was found when the tunnel started. Join a network, then turn this off and on "
           "again.";
}

void show(const AppModel& m, bool asJSON, std::ostream& out) {
    const auto why = notSharingText(m);
    if (asJSON) {
        json::object o;
        o["lanShare"] = m.lanShare.get();
        if (m.sharingOn->has_value()) o["sharingOn"] = **m.sharingOn;
        if (m.lanAddress->has_value()) o["lanAddress"] = **m.lanAddress;
        o["lanSharePassword"] = m.lanSharePassword.get();
        o["port"] = LanShare::port;
        o["username"] = LanShare::username;
        if (!why) o["socks5URL"] = LanShare::proxyURL("socks5", **m.sharingOn, m.lanSharePassword.get());
        if (why) o["note"] = *why;
        out << toJSONText(o, 2) << "\n";
        return;
    }
    if (why) {
        out << *why << "\n";
        return;
    }
    out << "Proxy server: " << **m.sharingOn << "\n"
        << "Port:         " << LanShare::port << "\n"
        << "Username:     " << LanShare::username << "\n"
        << "Password:     " << m.lanSharePassword.get() << "\n"
        << "URL:          " << LanShare::proxyURL("socks5", **m.sharingOn, m.lanSharePassword.get()) << "\n"
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

    HeadlessModel headless({});
    AppModel& model = headless.model();
    headless.run(model.start());
    if (action != "show") {
        const NEVPNStatus before = model.tunnel.status();
        const bool wasUp = before == NEVPNStatus::connecting || before == NEVPNStatus::connected ||
                           before == NEVPNStatus::reasserting;
        if (action == "new-password") {
            model.regenerateLanSharePassword();
        } else {
            model.setLanShare(action == "on");
        }
        // A running tunnel reconnects so that the listener and password take effect.
        if (wasUp && headless.runUntil([&] { return model.connectInFlight.get(); }, 2s)) {
            if (!headless.awaitConnected(60s)) {
                ctx.err << model.errorMessage->value_or(model.tunnel.lastError().value_or("The tunnel did not reconnect."))
                        << "\n";
                return 1;
            }
        }
    }
    show(model, asJSON, ctx.out);
    return 0;
}

const CommandRegistration registration{"share", "share on|off|new-password|show [--json]", &share};

}  // namespace

}  // namespace corvane::cli
