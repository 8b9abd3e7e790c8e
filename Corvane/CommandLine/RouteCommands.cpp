// corvanectl pin, route, exits and smart-routing: how traffic leaves.
#include <charconv>
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

constexpr auto connectWait = 30s;

std::optional<std::int64_t> number(std::string_view text) {
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A VPS by its id or its name, as `corvanectl servers` prints them.
std::optional<std::int64_t> findServer(const AppModel& m, std::string_view word) {
    const auto id = number(word);
    for (const auto& s : *m.servers) {
        if ((id && s.vpsId == *id) || s.name == word) return s.vpsId;
    }
    for (const auto& slot : m.snapshot()) {
        if ((id && slot.vpsId == *id) || slot.name == word) return slot.vpsId;
    }
    return std::nullopt;
}

std::optional<std::int64_t> findExit(const AppModel& m, std::string_view word) {
    const auto id = number(word);
    for (const auto& e : *m.exits) {
        if ((id && e.exitId == *id) || e.name == word) return e.exitId;
    }
    return std::nullopt;
}

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

std::string failureText(const AppModel& m) {
    if (m.tunnel.lastError()) return *m.tunnel.lastError();
    if (m.errorMessage->has_value()) return **m.errorMessage;
    return "The tunnel did not connect.";
}

// After a change that reconnects: waits for the connect and reports it.
int reportReconnect(HeadlessModel& headless, CommandContext& ctx) {
    AppModel& m = headless.model();
    if (!headless.awaitConnected(connectWait)) {
        ctx.err << failureText(m) << "\n";
        return 1;
    }
    headless.awaitLiveValues(3s);
    ctx.out << "Connected: " << routeText(m) << "\n";
    return 0;
}

int pin(CommandContext& ctx) {
    const auto& a = ctx.args;
    if (a.empty() || a.size() > 2 || (a[0] == "auto" && a.size() == 2) ||
        (a.size() == 2 && a[1] != "reality" && a[1] != "hysteria2")) {
        return ctx.usageError();
    }
    HeadlessModel headless({});
    AppModel& model = headless.model();
    if (!headless.startSignedIn(ctx.err)) return 1;
    headless.awaitLiveValues(5s);  // a running engine switches in place once its client is there
    std::string tag = "proxy-auto";
    if (a[0] != "auto") {
        const auto vpsId = findServer(model, a[0]);
        const auto fleet = model.snapshot();
        std::size_t index = fleet.size();
        for (std::size_t i = 0; vpsId && i < fleet.size(); ++i) {
            if (fleet[i].vpsId == *vpsId) index = i;
        }
        if (index == fleet.size()) {
            ctx.err << "corvanectl: no server \"" << a[0] << "\" (see corvanectl servers)\n";
            return 1;
        }
        const bool reality = a.size() == 2 && a[1] == "reality";
        tag = "proxy-" + std::to_string(2 * index + (reality ? 1 : 0));
    }
    const bool reroutes = model.selectedExitId->has_value() || model.quotaFallbackEntryId.has_value();
    model.errorMessage = std::nullopt;
    model.pinTag(tag);
    if (reroutes) {
        // Leaving a metered exit builds a new route, which reconnects.
        headless.runUntil([&] { return model.connectInFlight.get() || model.errorMessage->has_value(); }, 2s);
        if (model.errorMessage->has_value() && !model.connectInFlight) return headless.finish(ctx.err);
        return reportReconnect(headless, ctx);
    }
    const std::string pinned = model.prettyTag(model.pinChoice());
    if (!tunnelIsUp(model.tunnel.status())) {
        ctx.out << "Pinned: " << pinned << " (from the next connect).\n";
        return 0;
    }
    // Reported only once the running engine uses it: after the session's start and any
    // switch under way, whichever of them set the selector last.
    const bool live = headless.runUntil(
        [&] {
            return model.errorMessage->has_value() || !tunnelIsUp(model.tunnel.status()) ||
                   (model.tunnel.status() == NEVPNStatus::connected && model.clash && !model.switchingTo->has_value());
        },
        connectWait);
    if (model.errorMessage->has_value()) return headless.finish(ctx.err);
    if (!tunnelIsUp(model.tunnel.status())) {
        ctx.err << "The tunnel went down before the engine took the choice; it applies from the next connect.\n";
        return 1;
    }
    if (!live) {
        ctx.err << "The tunnel's engine did not answer in time; the choice applies from the next connect.\n";
        return 1;
    }
    if (const auto failure = headless.run(model.selectInEngine(model.clash, tag))) {
        ctx.err << "Could not switch server: " << terminalText(*failure) << "\n";
        return 1;
    }
    ctx.out << "Pinned: " << pinned << "\n";
    return 0;
}

int route(CommandContext& ctx) {
    std::optional<std::string_view> entry, exit, protocol;
    bool usage = false;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        auto& slot = ctx.args[i] == "--entry"      ? entry
                     : ctx.args[i] == "--exit"     ? exit
                     : ctx.args[i] == "--protocol" ? protocol
                                                   : (usage = true, entry);
        if (usage || i + 1 == ctx.args.size() || slot) {
            usage = true;
            break;
        }
        slot = ctx.args[++i];
    }
    if (usage || !entry || (protocol && *protocol != "auto" && *protocol != "reality" && *protocol != "hysteria2")) {
        return ctx.usageError();
    }
    HeadlessModel headless({});
    AppModel& model = headless.model();
    if (!headless.startSignedIn(ctx.err)) return 1;
    std::optional<std::int64_t> entryId, exitId;
    if (*entry != "auto") {
        entryId = findServer(model, *entry);
        if (!entryId) {
            ctx.err << "corvanectl: no server \"" << *entry << "\" (see corvanectl servers)\n";
            return 1;
        }
    }
    if (exit && *exit != "original") {
        exitId = findExit(model, *exit);
        if (!exitId) {
            ctx.err << "corvanectl: no exit \"" << *exit << "\" (see corvanectl exits)\n";
            return 1;
        }
    }
    // A metered exit is reached over Reality alone; "auto" keeps the first share of the entry.
    const bool reality = protocol ? *protocol == "reality" : exitId.has_value();
    model.errorMessage = std::nullopt;
    headless.run(model.applyRoute(entryId, exitId, reality, false));
    if (model.errorMessage->has_value() && !model.connectInFlight &&
        model.tunnel.status() != NEVPNStatus::connecting && model.tunnel.status() != NEVPNStatus::connected) {
        return headless.finish(ctx.err);
    }
    return reportReconnect(headless, ctx);
}

int exits(CommandContext& ctx) {
    bool asJSON = false;
    if (!ctx.flags({{"--json", &asJSON}})) return ctx.usageError();
    HeadlessModel headless({});
    AppModel& model = headless.model();
    if (!headless.startSignedIn(ctx.err, true)) return 1;
    json::array entries;
    for (const auto& s : *model.servers) {
        json::array offered;
        for (const auto& e : *model.exits) {
            if (e.vpsId == s.vpsId) offered.emplace_back(toJSON(e));
        }
        entries.emplace_back(json::object{{"vpsId", s.vpsId}, {"name", s.name}, {"exits", std::move(offered)}});
    }
    if (asJSON) {
        json::object doc{{"servers", std::move(entries)}};
        if (model.selectedExitId->has_value()) doc["selectedExitId"] = **model.selectedExitId;
        ctx.out << toJSONText(doc, 2) << "\n";
        return 0;
    }
    if (model.exits->empty()) {
        ctx.out << "No metered exits. Traffic leaves through each server's own exit.\n";
        return 0;
    }
    for (const auto& s : *model.servers) {
        ctx.out << s.name << " (VPS " << s.vpsId << "):\n";
        ctx.out << "  original  Original VPS exit" << (model.selectedExitId->has_value() ? "" : "  [in use]") << "\n";
        for (const auto& e : *model.exits) {
            if (e.vpsId != s.vpsId) continue;
            ctx.out << "  " << e.exitId << "  " << e.name;
            if (e.traffic) {
                ctx.out << "  " << e.traffic->summary();
            } else if (!e.ready) {
                ctx.out << "  preparing";
            }
            if (model.selectedExitId.get() == e.exitId) ctx.out << "  [in use]";
            ctx.out << "\n";
        }
    }
    return 0;
}

int smartRouting(CommandContext& ctx) {
    if (ctx.args.size() != 1 || (ctx.args[0] != "on" && ctx.args[0] != "off")) {
        return ctx.usageError();
    }
    HeadlessModel headless({});
    AppModel& model = headless.model();
    headless.run(model.tunnel.load());
    model.setSmartRouting(ctx.args[0] == "on");
    const NEVPNStatus s = model.tunnel.status();
    if (s != NEVPNStatus::connecting && s != NEVPNStatus::connected && s != NEVPNStatus::reasserting) {
        ctx.out << "Smart routing " << ctx.args[0] << "; it applies from the next connect.\n";
        return 0;
    }
    // The running configuration was built with the old setting.
    if (!headless.startSignedIn(ctx.err)) return 1;
    headless.run(model.restartTunnel());
    return reportReconnect(headless, ctx);
}

const CommandRegistration pinRegistration{"pin", "pin auto|SERVER [reality|hysteria2]", &pin};
const CommandRegistration routeRegistration{
    "route", "route --entry auto|SERVER [--exit original|EXIT] [--protocol auto|reality|hysteria2]", &route};
const CommandRegistration exitsRegistration{"exits", "exits [--json]", &exits};
const CommandRegistration smartRoutingRegistration{"smart-routing", "smart-routing on|off", &smartRouting};

}  // namespace

}  // namespace corvane::cli
