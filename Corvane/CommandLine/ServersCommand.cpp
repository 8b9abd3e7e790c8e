// corvanectl servers: the fleet of the signed-in user.
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"
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
    HeadlessModel headless({});
    AppModel& model = headless.model();
    if (!headless.startSignedIn(ctx.err, true)) return 1;

    if (asJSON) {
        json::object doc;
        json::array servers, exits, sites;
        for (const auto& s : *model.servers) servers.emplace_back(toJSON(s));
        for (const auto& e : *model.exits) exits.emplace_back(toJSON(e));
        for (const auto& s : *model.sites) sites.emplace_back(toJSON(s));
        doc["panelURL"] = model.panelURL.get();
        doc["servers"] = std::move(servers);
        doc["exits"] = std::move(exits);
        doc["sites"] = std::move(sites);
        if (model.selectedExitId.get()) doc["selectedExitId"] = *model.selectedExitId.get();
        ctx.out << toJSONText(doc, 2) << "\n";
        return 0;
    }

    if (model.servers->empty()) {
        ctx.out << "Your account has no servers yet. Ask an admin to assign one.\n";
    } else {
        std::vector<std::vector<std::string>> rows{{"NAME", "VPS", "PROTOCOLS", "EXITS"}};
        for (const auto& s : *model.servers) {
            std::vector<std::string> exits;
            for (const auto& e : *model.exits) {
                if (e.vpsId == s.vpsId) exits.push_back(exitText(e));
            }
            rows.push_back({s.name, std::to_string(s.vpsId), joined(protocols(s), ", "),
                            exits.empty() ? "-" : joined(exits, "; ")});
        }
        printTable(rows, ctx.out);
    }
    if (!model.sites->empty()) {
        ctx.out << "\nSites:\n";
        std::vector<std::vector<std::string>> rows;
        for (const auto& site : *model.sites) rows.push_back({"  " + site.name, joined(site.cidrs, ", ")});
        printTable(rows, ctx.out);
    }
    return 0;
}

const CommandRegistration registration{"servers", "servers [--json]", &servers};

}  // namespace

}  // namespace corvane::cli
