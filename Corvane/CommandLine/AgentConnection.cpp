// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/CommandLine/AgentConnection.hpp"

#include <ostream>

#include "Corvane/Agent/SnapshotCoding.hpp"
#include "Corvane/CommandLine/Commands.hpp"

namespace corvane::cli {

namespace json = boost::json;

AgentConnection::AgentConnection() = default;

json::object AgentConnection::call(const std::string& op, json::object args, std::chrono::milliseconds limit) {
    json::value result = client_.call(op, std::move(args), limit);
    return result.is_object() ? std::move(result.as_object()) : json::object{};
}

json::object AgentConnection::callWaiting(const std::string& op, json::object args, std::chrono::seconds wait) {
    args["wait"] = wait.count();
    // The agent answers by then; the margin covers what it does before and after waiting.
    return call(op, std::move(args), wait + std::chrono::seconds(30));
}

std::shared_ptr<const AppSnapshot> AgentConnection::snapshot() { return SnapshotCoding::decode(call("snapshot")); }

std::shared_ptr<const AppSnapshot> AgentConnection::signedIn(std::ostream& err, bool listLoaded) {
    auto s = snapshot();
    if (!s->signedIn) {
        err << notSignedInText << "\n";
        return nullptr;
    }
    if (!listLoaded || (s->servers && !s->servers->empty())) return s;
    const json::object refreshed = call("refreshServers");
    if (!refreshed.at("loaded").as_bool() && refreshed.contains("errorMessage")) {
        err << terminalText(refreshed.at("errorMessage").as_string()) << "\n";  // it may quote the panel
        return nullptr;
    }
    return snapshot();
}

bool tunnelIsUp(NEVPNStatus s) {
    return s == NEVPNStatus::connecting || s == NEVPNStatus::connected || s == NEVPNStatus::reasserting;
}

}  // namespace corvane::cli
