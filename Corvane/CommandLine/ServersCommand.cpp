// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl servers: the fleet of the signed-in user.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i ? std::string(separator) : "") + parts[i];
    return text;
}

// Display width of UTF-8 text, counting code points.
std::size_t width(const std::string& s) {
    return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

void printTable(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width(row[i]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += terminalText(row[i]);
            if (i + 1 < row.size()) line += std::string(widths[i] - width(row[i]) + 2, ' ');
        }
        out << line << "\n";
    }
}

std::string exitText(const ClientExit& exit) {
    std::string text = exit.name + " (exit " + std::to_string(exit.exitId) + ")";
    if (exit.traffic) {
        text += ": " + exit.traffic->summary();
    } else if (!exit.ready) {
        text += ": preparing";
    }
    return text;
}

int servers(CommandContext& ctx) {
    bool asJSON = false;
    if (!ctx.flags({{"--json", &asJSON}})) return ctx.usageError();
    AgentConnection agent;
    const auto state = agent.signedIn(ctx.err, true);
    if (!state) return 1;
    const AppSnapshot& model = *state;
    static const std::vector<ServerListEntry> noServers;
    static const std::vector<ClientExit> noExits;
    static const std::vector<SiteAccess> noSites;
    const auto& servers = model.servers ? *model.servers : noServers;
    const auto& exits = model.exits ? *model.exits : noExits;
    const auto& sites = model.sites ? *model.sites : noSites;

    if (asJSON) {
        json::object doc;
        json::array serverList, exitList, siteList;
        for (const auto& s : servers) serverList.emplace_back(toJSON(s));
        for (const auto& e : exits) exitList.emplace_back(toJSON(e));
        for (const auto& s : sites) siteList.emplace_back(toJSON(s));
        doc["panelURL"] = model.panelURL;
        doc["servers"] = std::move(serverList);
        doc["exits"] = std::move(exitList);
        doc["sites"] = std::move(siteList);
        if (model.selectedExitId) doc["selectedExitId"] = *model.selectedExitId;
        ctx.out << toJSONText(doc, 2) << "\n";
        return 0;
    }

    if (servers.empty()) {
        ctx.out << "Your account has no servers yet. Ask an admin to assign one.\n";
    } else {
        std::vector<std::vector<std::string>> rows{{"NAME", "VPS", "PROTOCOLS", "EXITS"}};
        for (const auto& s : servers) {
            std::vector<std::string> offered;
            for (const auto& e : exits) {
                if (e.vpsId == s.vpsId) offered.push_back(exitText(e));
            }
            rows.push_back({s.name, std::to_string(s.vpsId), joined(protocols(s), ", "),
                            offered.empty() ? "-" : joined(offered, "; ")});
        }
        printTable(rows, ctx.out);
    }
    if (!sites.empty()) {
        ctx.out << "\nSites:\n";
        std::vector<std::vector<std::string>> rows;
        for (const auto& site : sites) rows.push_back({"  " + site.name, joined(site.cidrs, ", ")});
        printTable(rows, ctx.out);
    }
    return 0;
}

const CommandRegistration registration{"servers", "servers [--json]", &servers};

}  // namespace

}  // namespace corvane::cli
