// corvanectl connect, disconnect, status and watch: the tunnel session.
#include <algorithm>
#include <charconv>
#include <csignal>
#include <iostream>
#include <map>
#include <vector>

#include <boost/asio/signal_set.hpp>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "Corvane/CommandLine/WatchLive.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

// The reason a connect ended without a tunnel.
std::string failureText(const AppModel& m, int waited) {
    if (m.tunnel.lastError()) return *m.tunnel.lastError();
    if (m.errorMessage->has_value()) return **m.errorMessage;
    if (tunnelIsUp(m.tunnel.status())) return "The tunnel did not connect within " + std::to_string(waited) + " seconds.";
    return "The tunnel did not connect.";
}

int connect(CommandContext& ctx) {
    int wait = 30;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        int value = 0;
        if (ctx.args[i] == "--wait" && i + 1 < ctx.args.size()) {
            std::string_view text = ctx.args[++i];
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
            if (ec == std::errc() && end == text.data() + text.size() && value > 0) {
                wait = value;
                continue;
            }
        }
        ctx.err << "usage: corvanectl connect [--wait SECONDS]\n";
        return 2;
    }
    HeadlessModel headless({});
    AppModel& model = headless.model();
    if (!headless.startSignedIn(ctx.err)) return 1;
    if (model.tunnel.status() == NEVPNStatus::connected) {
        headless.awaitLiveValues(3s);
        ctx.out << "Already connected: " << routeText(model) << "\n";
        return 0;
    }
    headless.run(model.connect());
    const bool connected = headless.awaitConnected(std::chrono::seconds(wait));
    if (!connected) {
        ctx.err << failureText(model, wait) << "\n";
        return 1;
    }
    // The stale-list warning does not stop a connect; it is worth seeing.
    if (model.errorMessage->has_value()) ctx.err << **model.errorMessage << "\n";
    headless.awaitLiveValues(3s);
    ctx.out << "Connected: " << routeText(model) << "\n";
    return 0;
}

bool tunnelRequired(const AppModel& m) {
    const auto lockdown = m.tunnel.lockdown();
    return lockdown && lockdown->enabled;
}

constexpr std::string_view kStillRequired =
    "Traffic outside the tunnel stays blocked: the tunnel is always required (corvanectl lockdown off).";

int disconnect(CommandContext& ctx) {
    if (!ctx.args.empty()) {
        ctx.err << "usage: corvanectl disconnect\n";
        return 2;
    }
    HeadlessModel headless({});
    AppModel& model = headless.model();
    headless.run(model.tunnel.load());
    // The service's answer to the stop; a refusal is the last line of standard error.
    auto stop = [&] {
        headless.run(model.disconnect());
        if (!model.errorMessage->has_value()) return true;
        ctx.err << "corvanectl: " << **model.errorMessage << "\n";
        return false;
    };
    // With the tunnel always required the block stays; only the tunnel goes.
    const bool required = tunnelRequired(model);
    if (!tunnelIsUp(model.tunnel.status()) && model.tunnel.status() != NEVPNStatus::disconnecting) {
        if (!model.tunnel.trafficBlocked()) {
            // A session that failed is over once the user says so.
            if (model.tunnel.lastError() && !stop()) return 1;
            ctx.out << "Not connected.\n";
            return 0;
        }
        // The tunnel failed or the service restarted: the block outlived it until now.
        if (!stop()) return 1;
        if (required) {
            ctx.out << "Not connected. " << kStillRequired << "\n";
            return 0;
        }
        if (!headless.runUntil([&] { return !model.tunnel.trafficBlocked(); }, 15s)) {
            ctx.err << "corvanectl: traffic outside the tunnel is still blocked\n";
            return 1;
        }
        ctx.out << "Disconnected. Traffic outside the tunnel is no longer blocked.\n";
        return 0;
    }
    if (!stop()) return 1;
    const bool down = headless.runUntil(
        [&] {
            return !tunnelIsUp(model.tunnel.status()) && model.tunnel.status() != NEVPNStatus::disconnecting &&
                   (required || !model.tunnel.trafficBlocked());
        },
        15s);
    if (!down) {
        ctx.err << "corvanectl: the tunnel did not stop within 15 seconds\n";
        return 1;
    }
    ctx.out << "Disconnected." << (required ? " " + std::string(kStillRequired) : std::string()) << "\n";
    return 0;
}

// corvanectl lockdown on|off [--allow-lan]: the system service blocks traffic
// outside the tunnel whenever none is up, for everyone on this computer.
int lockdown(CommandContext& ctx) {
    const bool valid = (ctx.args.size() == 1 && (ctx.args[0] == "on" || ctx.args[0] == "off")) ||
                       (ctx.args.size() == 2 && ctx.args[0] == "on" && ctx.args[1] == "--allow-lan");
    if (!valid) return ctx.usageError();
    const bool on = ctx.args[0] == "on", allowLAN = ctx.args.size() == 2;
    HeadlessModel headless({});
    AppModel& model = headless.model();
    headless.run(model.tunnel.load());
    std::optional<std::string> failure;
    try {
        headless.run(model.setLockdown(on, allowLAN));
    } catch (const TunnelPlatformError& e) {
        failure = e.description();
    }
    if (failure) {
        ctx.err << "corvanectl: " << *failure << "\n";
        return 1;
    }
    if (on) {
        ctx.out << "The tunnel is always required: traffic outside it is blocked whenever no tunnel is up, for every "
                   "user of this computer, also after a restart, until corvanectl lockdown off.\n";
        if (allowLAN) ctx.out << "The local network stays reachable.\n";
    } else {
        ctx.out << "The tunnel is no longer always required."
                << (model.tunnel.trafficBlocked() ? " Traffic outside it stays blocked until you disconnect." : "") << "\n";
    }
    return 0;
}

std::string killSwitchText(KillSwitchState state) {
    switch (state) {
    case KillSwitchState::blocking: return "blocking traffic outside the tunnel until you disconnect";
    case KillSwitchState::armed: return "armed (blocks traffic outside the tunnel from connect until disconnect)";
    case KillSwitchState::off: return "off (the tunnel service runs without one)";
    case KillSwitchState::unavailable:
        return "not available in user mode: without privileges nothing outside the tunnel is blocked, "
               "and applications may ignore the proxy";
    case KillSwitchState::unknown: break;
    }
    return "unknown (the tunnel service did not answer)";
}

std::string bytesText(std::int64_t bytes, bool rate) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1000 && unit < 4) value /= 1000, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s%s" : "%.1f %s%s", value, units[unit], rate ? "/s" : "");
    return text;
}

// The fleet's shares in its own order ("proxy-2" before "proxy-10"), then the
// automatic choice and anything else by name.
std::vector<std::pair<std::string, std::int64_t>> delaysInFleetOrder(const std::map<std::string, std::int64_t>& delays) {
    auto rank = [](const std::string& tag) {
        constexpr std::string_view prefix = "proxy-";
        std::size_t n = 0;
        const char* end = tag.data() + tag.size();
        const char* digits = tag.starts_with(prefix) ? tag.data() + prefix.size() : end;
        const bool share = digits != end && std::from_chars(digits, end, n).ptr == end;
        return std::pair(share ? n : SIZE_MAX, share ? std::string() : tag);
    };
    std::vector<std::pair<std::string, std::int64_t>> ordered(delays.begin(), delays.end());
    std::stable_sort(ordered.begin(), ordered.end(), [&](const auto& a, const auto& b) { return rank(a.first) < rank(b.first); });
    return ordered;
}

// The selector group's delay is its current member's.
std::string delayName(const AppModel& m, const std::string& tag) { return tag == "proxy" ? "Current route" : m.prettyTag(tag); }

void printStatus(const AppModel& m, std::ostream& out) {
    out << "Status:    " << statusTitle(m.status(), m.tunnel.trafficBlocked(), tunnelRequired(m)) << "\n";
    out << "Route:     " << routeText(m) << "\n";
    out << "Entry:     " << m.entryName() << "\n";
    out << "Exit:      " << m.exitName() << "\n";
    if (m.tunnelReachable->has_value()) {
        out << "Reachable: " << (**m.tunnelReachable ? "yes" : "no") << "\n";
    }
    if (m.tunnel.status() == NEVPNStatus::connected || m.trafficTotal->up || m.trafficTotal->down) {
        out << "Traffic:   " << bytesText(m.trafficNow->up, true) << " up, " << bytesText(m.trafficNow->down, true)
            << " down; total " << bytesText(m.trafficTotal->up, false) << " up, "
            << bytesText(m.trafficTotal->down, false) << " down\n";
    }
    if (!m.delays->empty()) {
        out << "Delays:\n";
        for (const auto& [tag, ms] : delaysInFleetOrder(*m.delays)) out << "  " << delayName(m, tag) << ": " << ms << " ms\n";
    }
    if (m.sharingOn->has_value()) out << "Sharing:   on " << **m.sharingOn << "\n";
    out << "Kill switch: " << killSwitchText(m.tunnel.killSwitch()) << "\n";
    if (const auto lockdown = m.tunnel.lockdown(); lockdown && lockdown->enabled) {
        out << "Lockdown:  on, the tunnel is always required" << (lockdown->allowLAN ? " (the LAN stays reachable)" : "") << "\n";
    }
    if (m.localProxy->has_value()) out << "Proxy:     " << **m.localProxy << " (HTTP and SOCKS5, for every local user)\n";
    if (m.update->has_value() && (*m.update)->updateAvailable && !m.updateDismissed) {
        out << "Update:    version " << (*m.update)->latest << " is available"
            << ((*m.update)->blocking ? " and required to connect" : "") << "\n";
    }
    if (m.quotaNotice->has_value()) out << **m.quotaNotice << "\n";
    if (m.errorMessage->has_value()) {
        out << "Error:     " << **m.errorMessage << "\n";
    } else if (m.status() == UiStatus::failed && m.tunnel.lastError()) {
        out << "Error:     " << *m.tunnel.lastError() << "\n";
    }
}

int status(CommandContext& ctx) {
    bool asJSON = false;
    for (auto a : ctx.args) {
        if (a != "--json") {
            ctx.err << "usage: corvanectl status [--json]\n";
            return 2;
        }
        asJSON = true;
    }
    HeadlessModel headless({});
    AppModel& model = headless.model();
    headless.run(model.start());  // signed out, it still shows the tunnel
    headless.awaitLiveValues(5s);
    if (asJSON) {
        ctx.out << toJSONText(statusJSON(model), 2) << "\n";
    } else {
        printStatus(model, ctx.out);
    }
    return 0;
}

// The values `watch` reports a change of.
json::object watched(const AppModel& m) {
    json::object o;
    o["status"] = rawValue(m.status());
    o["trafficBlocked"] = m.tunnel.trafficBlocked();
    o["route"] = routeText(m);
    if (m.activeOutbound->has_value()) o["activeOutbound"] = **m.activeOutbound;
    if (m.tunnelReachable->has_value()) o["tunnelReachable"] = **m.tunnelReachable;
    if (m.errorMessage->has_value()) o["errorMessage"] = **m.errorMessage;
    if (m.quotaNotice->has_value()) o["quotaNotice"] = **m.quotaNotice;
    return o;
}

int watch(CommandContext& ctx) {
    bool asJSON = false;
    for (auto a : ctx.args) {
        if (a != "--json") {
            ctx.err << "usage: corvanectl watch [--json]\n";
            return 2;
        }
        asJSON = true;
    }
    HeadlessModel headless({.followNetwork = true});
    AppModel& model = headless.model();
    bool interrupted = false;
    boost::asio::signal_set signals(headless.io(), SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) { interrupted = !ec; });

    json::object last;
    auto report = [&] {
        json::object now = watched(model);
        if (now == last) return;
        last = now;
        if (asJSON) {
            ctx.out << toJSONText(now) << std::endl;
            return;
        }
        std::string line = statusTitle(model.status(), model.tunnel.trafficBlocked(), tunnelRequired(model)) + " · " + routeText(model);
        if (model.tunnelReachable->has_value()) line += **model.tunnelReachable ? " · reachable" : " · unreachable";
        if (model.errorMessage->has_value()) line += " · " + **model.errorMessage;
        if (model.quotaNotice->has_value()) line += " · " + **model.quotaNotice;
        ctx.out << line << std::endl;
    };
    Subscription subscription = model.observe([&](const std::shared_ptr<const AppSnapshot>&) { report(); });
    report();
    headless.run(model.start());
    const TaskHandle live = startLiveOutput(headless, ctx.out, asJSON);
    report();
    // Runs every loop of the model until interrupted; the tunnel stays as it is. A VPN
    // profile that another process (a connect) creates later is picked up once it exists.
    while (!interrupted) {
        headless.runUntil([&] { return interrupted; }, 1s);
        if (!interrupted && !model.tunnel.hasProfile()) headless.run(model.tunnel.load());
    }
    return 0;
}

const CommandRegistration connectRegistration{"connect", "connect [--wait SECONDS]", &connect};
const CommandRegistration disconnectRegistration{"disconnect", "disconnect", &disconnect};
const CommandRegistration statusRegistration{"status", "status [--json]", &status};
const CommandRegistration watchRegistration{"watch", "watch [--json]", &watch};
const CommandRegistration lockdownRegistration{"lockdown", "lockdown on [--allow-lan] | lockdown off", &lockdown};

}  // namespace

}  // namespace corvane::cli
