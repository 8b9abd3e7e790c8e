// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl pin, route, exits and smart-routing: how traffic leaves.
#include <charconv>
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "Corvane/Model/SnapshotRoutes.hpp"
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

template <class T>
const std::vector<T>& listOf(const std::shared_ptr<const std::vector<T>>& list) {
    static const std::vector<T> empty;
    return list ? *list : empty;
}

// A VPS by its id or its name, as `corvanectl servers` prints them.
std::optional<std::int64_t> findServer(const AppSnapshot& s, std::string_view word) {
    const auto id = number(word);
    for (const auto& server : listOf(s.servers)) {
        if ((id && server.vpsId == *id) || server.name == word) return server.vpsId;
    }
    for (const auto& slot : listOf(s.snapshot)) {
        if ((id && slot.vpsId == *id) || slot.name == word) return slot.vpsId;
    }
    return std::nullopt;
}

std::optional<std::int64_t> findExit(const AppSnapshot& s, std::string_view word) {
    const auto id = number(word);
    for (const auto& e : listOf(s.exits)) {
        if ((id && e.exitId == *id) || e.name == word) return e.exitId;
    }
    return std::nullopt;
}

// The outcome of a change that reconnects, as the agent reported it.
int reportReconnect(AgentConnection& agent, const json::object& result, CommandContext& ctx) {
    if (!result.at("connected").as_bool()) {
        ctx.err << terminalText(result.at("failure").as_string()) << "\n";
        return 1;
    }
    ctx.out << "Connected: " << routeText(*agent.snapshot()) << "\n";
    return 0;
}

int pin(CommandContext& ctx) {
    const auto& a = ctx.args;
    if (a.empty() || a.size() > 2 || (a[0] == "auto" && a.size() == 2) ||
        (a.size() == 2 && a[1] != "reality" && a[1] != "hysteria2")) {
        return ctx.usageError();
    }
    AgentConnection agent;
    const auto state = agent.signedIn(ctx.err, true);
    if (!state) return 1;
    json::object args{{"tag", "proxy-auto"}};
    std::optional<std::size_t> slot;
    if (a[0] != "auto") {
        const auto vpsId = findServer(*state, a[0]);
        const auto& fleet = listOf(state->snapshot);
        for (std::size_t i = 0; vpsId && i < fleet.size(); ++i) {
            if (fleet[i].vpsId == *vpsId) slot = i;
        }
        if (!slot) {
            ctx.err << "corvanectl: no server \"" << a[0] << "\" (see corvanectl servers)\n";
            return 1;
        }
        args = {{"vpsId", *vpsId}, {"reality", a.size() == 2 && a[1] == "reality"}};
    }
    const json::object result = agent.callWaiting("pinTag", std::move(args), connectWait);
    const std::string_view applied = result.at("applied").as_string();
    if (applied == "reconnected") return reportReconnect(agent, result, ctx);
    const auto after = agent.snapshot();
    const std::string pinned = SnapshotRoutes::prettyTag(*after, after->pinChoice);
    ctx.out << "Pinned: " << pinned << (applied == "nextConnect" ? " (from the next connect).\n" : "\n");
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
    AgentConnection agent;
    const auto state = agent.signedIn(ctx.err, true);
    if (!state) return 1;
    std::optional<std::int64_t> entryId, exitId;
    if (*entry != "auto") {
        entryId = findServer(*state, *entry);
        if (!entryId) {
            ctx.err << "corvanectl: no server \"" << *entry << "\" (see corvanectl servers)\n";
            return 1;
        }
    }
    if (exit && *exit != "original") {
        exitId = findExit(*state, *exit);
        if (!exitId) {
            ctx.err << "corvanectl: no exit \"" << *exit << "\" (see corvanectl exits)\n";
            return 1;
        }
    }
    // A metered exit is reached over Reality alone; "auto" keeps the first share of the entry.
    const bool reality = protocol ? *protocol == "reality" : exitId.has_value();
    json::object args{{"reality", reality}};
    args["entryId"] = entryId ? json::value(*entryId) : json::value(nullptr);
    args["exitId"] = exitId ? json::value(*exitId) : json::value(nullptr);
    return reportReconnect(agent, agent.callWaiting("applyRoute", std::move(args), connectWait), ctx);
}

int exits(CommandContext& ctx) {
    bool asJSON = false;
    if (!ctx.flags({{"--json", &asJSON}})) return ctx.usageError();
    AgentConnection agent;
    const auto state = agent.signedIn(ctx.err, true);
    if (!state) return 1;
    const AppSnapshot& model = *state;
    json::array entries;
    for (const auto& s : listOf(model.servers)) {
        json::array offered;
        for (const auto& e : listOf(model.exits)) {
            if (e.vpsId == s.vpsId) offered.emplace_back(toJSON(e));
        }
        entries.emplace_back(json::object{{"vpsId", s.vpsId}, {"name", s.name}, {"exits", std::move(offered)}});
    }
    if (asJSON) {
        json::object doc{{"servers", std::move(entries)}};
        if (model.selectedExitId.has_value()) doc["selectedExitId"] = *model.selectedExitId;
        ctx.out << toJSONText(doc, 2) << "\n";
        return 0;
    }
    if (listOf(model.exits).empty()) {
        ctx.out << "No metered exits. Traffic leaves through each server's own exit.\n";
        return 0;
    }
    for (const auto& s : listOf(model.servers)) {
        ctx.out << s.name << " (VPS " << s.vpsId << "):\n";
        ctx.out << "  original  Original VPS exit" << (model.selectedExitId.has_value() ? "" : "  [in use]") << "\n";
        for (const auto& e : listOf(model.exits)) {
            if (e.vpsId != s.vpsId) continue;
            ctx.out << "  " << e.exitId << "  " << e.name;
            if (e.traffic) {
                ctx.out << "  " << e.traffic->summary();
            } else if (!e.ready) {
                ctx.out << "  preparing";
            }
            if (model.selectedExitId == e.exitId) ctx.out << "  [in use]";
            ctx.out << "\n";
        }
    }
    return 0;
}

int smartRouting(CommandContext& ctx) {
    if (ctx.args.size() != 1 || (ctx.args[0] != "on" && ctx.args[0] != "off")) {
        return ctx.usageError();
    }
    AgentConnection agent;
    // The running configuration was built with the old setting: the agent reconnects with the new one.
    const json::object result = agent.callWaiting("setSmartRouting", {{"on", ctx.args[0] == "on"}}, connectWait);
    if (!result.at("restarted").as_bool()) {
        ctx.out << "Smart routing " << ctx.args[0] << "; it applies from the next connect.\n";
        return 0;
    }
    return reportReconnect(agent, result, ctx);
}

const CommandRegistration pinRegistration{"pin", "pin auto|SERVER [reality|hysteria2]", &pin};
const CommandRegistration routeRegistration{
    "route", "route --entry auto|SERVER [--exit original|EXIT] [--protocol auto|reality|hysteria2]", &route};
const CommandRegistration exitsRegistration{"exits", "exits [--json]", &exits};
const CommandRegistration smartRoutingRegistration{"smart-routing", "smart-routing on|off", &smartRouting};

}  // namespace

}  // namespace corvane::cli
