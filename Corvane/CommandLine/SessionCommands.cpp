// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl connect, disconnect, status and watch: the tunnel session.
#include <algorithm>
#include <charconv>
#include <csignal>
#include <iostream>
#include <map>
#include <vector>

#include "Corvane/CommandLine/AgentConnection.hpp"
#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/LogLines.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "Corvane/CommandLine/WatchLive.hpp"
#include "Corvane/Model/SnapshotRoutes.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

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
    AgentConnection agent;
    if (!agent.snapshot()->signedIn) {
        ctx.err << notSignedInText << "\n";
        return 1;
    }
    const json::object result = agent.callWaiting("connect", {}, std::chrono::seconds(wait));
    if (!result.at("connected").as_bool()) {
        ctx.err << terminalText(result.at("failure").as_string()) << "\n";
        return 1;
    }
    if (const auto* warning = result.if_contains("warning")) ctx.err << terminalText(warning->as_string()) << "\n";
    ctx.out << (result.contains("already") ? "Already connected: " : "Connected: ") << routeText(*agent.snapshot()) << "\n";
    return 0;
}

bool tunnelRequired(const AppSnapshot& s) { return s.lockdown && s.lockdown->enabled; }

constexpr std::string_view kStillRequired =
    "Traffic outside the tunnel stays blocked: the tunnel is always required (corvanectl lockdown off).";

int disconnect(CommandContext& ctx) {
    if (!ctx.args.empty()) {
        ctx.err << "usage: corvanectl disconnect\n";
        return 2;
    }
    AgentConnection agent;
    json::object result;
    try {
        result = agent.callWaiting("disconnect", {}, std::chrono::seconds(15));
    } catch (const AgentError& e) {
        ctx.err << "corvanectl: " << terminalText(e.what()) << "\n";  // the service refused the stop
        return 1;
    }
    const bool wasUp = result.at("wasUp").as_bool(), wasBlocked = result.at("wasBlocked").as_bool();
    const bool required = result.at("required").as_bool();
    const json::value* down = result.if_contains("down");
    if (down && !down->as_bool()) {
        ctx.err << (wasUp ? "corvanectl: the tunnel did not stop within 15 seconds\n"
                          : "corvanectl: traffic outside the tunnel is still blocked\n");
        return 1;
    }
    if (wasUp) {
        ctx.out << "Disconnected." << (required ? " " + std::string(kStillRequired) : std::string()) << "\n";
    } else if (!wasBlocked) {
        ctx.out << "Not connected.\n";
    } else if (required) {
        // The tunnel failed or the service restarted: the block outlived it, and stays.
        ctx.out << "Not connected. " << kStillRequired << "\n";
    } else {
        ctx.out << "Disconnected. Traffic outside the tunnel is no longer blocked.\n";
    }
    return 0;
}

// corvanectl lockdown on|off [--allow-lan]: the system service blocks traffic
// outside the tunnel whenever none is up, for everyone on this computer.
int lockdown(CommandContext& ctx) {
    const bool valid = (ctx.args.size() == 1 && (ctx.args[0] == "on" || ctx.args[0] == "off")) ||
                       (ctx.args.size() == 2 && ctx.args[0] == "on" && ctx.args[1] == "--allow-lan");
    if (!valid) return ctx.usageError();
    const bool on = ctx.args[0] == "on", allowLAN = ctx.args.size() == 2;
    AgentConnection agent;
    try {
        agent.call("setLockdown", {{"enabled", on}, {"allowLAN", allowLAN}});
    } catch (const AgentError& e) {
        ctx.err << "corvanectl: " << terminalText(e.what()) << "\n";
        return 1;
    }
    if (on) {
        ctx.out << "The tunnel is always required: traffic outside it is blocked whenever no tunnel is up, for every "
                   "user of this computer, also after a restart, until corvanectl lockdown off.\n";
        if (allowLAN) ctx.out << "The local network stays reachable.\n";
    } else {
        ctx.out << "The tunnel is no longer always required."
                << (agent.snapshot()->trafficBlocked ? " Traffic outside it stays blocked until you disconnect." : "") << "\n";
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
std::string delayName(const AppSnapshot& s, const std::string& tag) {
    return tag == "proxy" ? "Current route" : SnapshotRoutes::prettyTag(s, tag);
}

void printStatus(const AppSnapshot& s, std::ostream& out) {
    out << "Status:    " << statusTitle(s.status, s.trafficBlocked, tunnelRequired(s)) << "\n";
    out << "Route:     " << routeText(s) << "\n";
    out << "Entry:     " << s.entryName << "\n";
    out << "Exit:      " << s.exitName << "\n";
    if (s.tunnelReachable) out << "Reachable: " << (*s.tunnelReachable ? "yes" : "no") << "\n";
    if (s.tunnelStatus == NEVPNStatus::connected || s.trafficTotal.up || s.trafficTotal.down) {
        out << "Traffic:   " << bytesText(s.trafficNow.up, true) << " up, " << bytesText(s.trafficNow.down, true)
            << " down; total " << bytesText(s.trafficTotal.up, false) << " up, " << bytesText(s.trafficTotal.down, false)
            << " down\n";
    }
    if (s.delays && !s.delays->empty()) {
        out << "Delays:\n";
        for (const auto& [tag, ms] : delaysInFleetOrder(*s.delays)) out << "  " << delayName(s, tag) << ": " << ms << " ms\n";
    }
    if (s.sharingOn) out << "Sharing:   on " << *s.sharingOn << "\n";
    out << "Kill switch: " << killSwitchText(s.killSwitch) << "\n";
    if (tunnelRequired(s)) {
        out << "Lockdown:  on, the tunnel is always required" << (s.lockdown->allowLAN ? " (the LAN stays reachable)" : "") << "\n";
    }
    if (s.localProxy) out << "Proxy:     " << *s.localProxy << " (HTTP and SOCKS5, for every local user)\n";
    if (s.update && s.update->updateAvailable && !s.updateDismissed) {
        out << "Update:    version " << terminalText(s.update->latest) << " is available"
            << (s.update->blocking ? " and required to connect" : "") << "\n";
    }
    if (s.quotaNotice) out << terminalText(*s.quotaNotice) << "\n";
    if (s.errorMessage) {
        out << "Error:     " << terminalText(*s.errorMessage) << "\n";
    } else if (s.status == UiStatus::failed && s.tunnelLastError) {
        out << "Error:     " << terminalText(*s.tunnelLastError) << "\n";
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
    // The agent's state as it is: no panel request, nothing changes.
    AgentConnection agent;
    const auto snapshot = agent.snapshot();
    if (asJSON) {
        ctx.out << toJSONText(statusJSON(*snapshot), 2) << "\n";
    } else {
        printStatus(*snapshot, ctx.out);
    }
    return 0;
}

// The values `watch` reports a change of.
json::object watched(const AppSnapshot& s) {
    json::object o;
    o["status"] = rawValue(s.status);
    o["trafficBlocked"] = s.trafficBlocked;
    o["route"] = routeText(s);
    if (s.activeOutbound && !s.activeOutbound->empty()) o["activeOutbound"] = *s.activeOutbound;
    if (s.tunnelReachable) o["tunnelReachable"] = *s.tunnelReachable;
    if (s.errorMessage) o["errorMessage"] = *s.errorMessage;
    if (s.quotaNotice) o["quotaNotice"] = *s.quotaNotice;
    return o;
}

std::string watchLine(const AppSnapshot& s) {
    std::string line = statusTitle(s.status, s.trafficBlocked, tunnelRequired(s)) + " \u00b7 " + routeText(s);
    if (s.tunnelReachable) line += *s.tunnelReachable ? " \u00b7 reachable" : " \u00b7 unreachable";
    if (s.errorMessage) line += " \u00b7 " + *s.errorMessage;
    if (s.quotaNotice) line += " \u00b7 " + *s.quotaNotice;
    return terminalText(line);
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
    json::object last;
    // Follows the agent's stream until interrupted; the tunnel stays as it is.
    Following following;
    following.changed = [&](const AppSnapshot& s) {
        json::object now = watched(s);
        if (now == last) return;
        last = now;
        if (asJSON) {
            ctx.out << toJSONText(now) << std::endl;
        } else {
            ctx.out << watchLine(s) << std::endl;
        }
    };
    following.everySecond = [&](const AppSnapshot& s) { printTraffic(s, ctx.out, asJSON); };
    following.logged = [&](const std::vector<TunnelIPC::SequencedLine>& lines) {
        for (const auto& line : lines) {
            if (!keeps(LogLevelFilter::warn, line.line.level)) continue;
            if (asJSON) {
                ctx.out << toJSONText(json::object{{"logLine", encodeValue(line)}}) << std::endl;
            } else {
                ctx.out << "log: " << terminalText(logLineText(line)) << std::endl;
            }
        }
    };
    return followAgent(ctx.err, std::move(following));
}

const CommandRegistration connectRegistration{"connect", "connect [--wait SECONDS]", &connect};
const CommandRegistration disconnectRegistration{"disconnect", "disconnect", &disconnect};
const CommandRegistration statusRegistration{"status", "status [--json]", &status};
const CommandRegistration watchRegistration{"watch", "watch [--json]", &watch};
const CommandRegistration lockdownRegistration{"lockdown", "lockdown on [--allow-lan] | lockdown off", &lockdown};

}  // namespace

}  // namespace corvane::cli
