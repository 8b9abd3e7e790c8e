// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl autostart [on|off]: whether the desktop starts Corvane in the tray at
// login (the entry is the user's own file, so no agent is needed for it), and
// corvanectl notifications [on|off]: the model's desktop notifications setting.
#include <ostream>

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>

#include "Corvane/CommandLine/AgentConnection.hpp"
#include "Corvane/CommandLine/Commands.hpp"
#include "CorvaneCore/Support/AutostartEntry.hpp"

namespace corvane::cli {

namespace {

int autostart(CommandContext& ctx) {
    bool json = false;
    std::optional<bool> wanted;
    for (auto word : ctx.args) {
        if (word == "--json" && !json) {
            json = true;
        } else if ((word == "on" || word == "off") && !wanted) {
            wanted = word == "on";
        } else {
            return ctx.usageError();
        }
    }
    const AutostartEntry entry = AutostartEntry::forUser();
    AutostartStatus status;
    try {
        status = wanted ? entry.set(*wanted) : entry.status();
    } catch (const AutostartError& e) {
        ctx.err << "corvanectl: " << e.what() << "\n";
        return 1;
    }
    if (json) {
        ctx.out << boost::json::serialize(boost::json::object{
                       {"enabled", status.enabled}, {"edited", status.edited}, {"path", status.path.string()}})
                << "\n";
        return 0;
    }
    const std::string path = terminalText(status.path.string());
    if (status.enabled) {
        ctx.out << "Corvane starts in the tray at login (" << path << ").\n";
    } else {
        ctx.out << "Corvane does not start at login.\n";
    }
    if (status.edited) ctx.out << "The entry is your own and is kept: on and off only set its Hidden key.\n";
    return 0;
}

int notifications(CommandContext& ctx) {
    if (ctx.args.size() > 1 || (ctx.args.size() == 1 && ctx.args[0] != "on" && ctx.args[0] != "off")) {
        return ctx.usageError();
    }
    AgentConnection agent;
    if (!ctx.args.empty()) agent.call("setNotifications", {{"on", ctx.args[0] == "on"}});
    ctx.out << (agent.snapshot()->notifications
                    ? "Desktop notifications on: Corvane tells you when the connection is lost or fails, a metered exit "
                      "is used up, an update is required or the session ends.\n"
                    : "Desktop notifications off.\n");
    return 0;
}

const CommandRegistration autostartRegistration{"autostart", "autostart [on|off] [--json]", &autostart};
const CommandRegistration notificationsRegistration{"notifications", "notifications [on|off]", &notifications};

}  // namespace

}  // namespace corvane::cli
