// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl update: ask the panel once for a newer version.
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"
#include "Corvane/Model/AppModel.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

int update(CommandContext& ctx) {
    bool asJSON = false;
    if (!ctx.flags({{"--json", &asJSON}})) return ctx.usageError();
    AgentConnection agent;
    if (!agent.signedIn(ctx.err, true)) return 1;
    if (!agent.call("checkForUpdate").at("answered").as_bool()) {
        ctx.err << "Could not ask the panel for the latest version.\n";
        return 1;
    }
    const auto state = agent.snapshot();
    const auto& status = state->update;
    if (asJSON) {
        boost::json::object doc;
        doc["appVersion"] = AppModel::appVersion();
        doc["selfUpdates"] = AppModel::selfUpdates();
        if (status) doc["update"] = toJSON(*status);
        if (state->updateURL) doc["updateURL"] = *state->updateURL;
        doc["updateBlocksConnecting"] = state->updateBlocksConnecting;
        ctx.out << toJSONText(doc, 2) << "\n";
        return 0;
    }
    if (!status) {
        ctx.out << "Corvane " << AppModel::appVersion() << " is up to date.\n";
        return 0;
    }
    ctx.out << "Installed: " << status->installed << "\nLatest: " << terminalText(status->latest) << "\n";
    ctx.out << (status->blocking ? "An update is required before connecting.\n" : "An update is available.\n");
    if (state->updateURL) ctx.out << "Download: " << terminalText(*state->updateURL) << "\n";
    if (!AppModel::selfUpdates()) ctx.out << "Update Corvane with your system's package manager.\n";
    return 0;
}

const CommandRegistration registration{"update", "update [--json]", &update};

}  // namespace

}  // namespace corvane::cli
