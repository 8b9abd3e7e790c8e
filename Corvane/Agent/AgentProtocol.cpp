// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Agent/AgentProtocol.hpp"

#include <cstdlib>

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

}  // namespace corvane
