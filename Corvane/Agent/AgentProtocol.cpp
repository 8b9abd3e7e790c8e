// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Agent/AgentProtocol.hpp"

#include <cstdlib>

#include "CorvaneCore/Support/JSONReader.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"

namespace corvane {

std::filesystem::path AgentEndpoint::socketPath() {
    if (const char* path = std::getenv("CORVANE_AGENT_SOCKET"); path && *path) return path;
    return xdgRuntimeDir() / "corvane" / "agent.sock";
}

std::filesystem::path AgentEndpoint::instanceLockPath(const std::filesystem::path& socket) {
    return socket.parent_path() / (socket.filename().string() + ".lock");
}

std::filesystem::path AgentEndpoint::startLockPath(const std::filesystem::path& socket) {
    return socket.parent_path() / (socket.filename().string() + ".start");
}

std::optional<AgentRequest> parseAgentRequest(std::string_view line, boost::json::value& id) {
    boost::system::error_code ec;
    boost::json::value parsed = readJSON(line, ec);
    const boost::json::object* request = !ec && parsed.is_object() ? &parsed.as_object() : nullptr;
    const boost::json::value* op = request ? request->if_contains("op") : nullptr;
    const boost::json::value* foundId = request ? request->if_contains("id") : nullptr;
    const boost::json::value* args = request ? request->if_contains("args") : nullptr;
    id = foundId ? *foundId : boost::json::value();
    if (!op || !op->is_string() || (args && !args->is_object())) return std::nullopt;
    return AgentRequest{id, std::string(op->as_string()), args ? args->as_object() : boost::json::object{}};
}

}  // namespace corvane
