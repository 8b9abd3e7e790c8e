// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The per-user agent's local API: where it listens and the shape of its
// messages. One JSON object a line each way, at most maxMessageBytes a line:
//
//   request  {"id": 7, "op": "connect", "args": {...}}
//   reply    {"id": 7, "ok": true, "result": ...}   or   {"id": 7, "ok": false, "error": "text"}
//   events   {"event": "snapshot", "seq": 1, "snapshot": {...}}   the whole snapshot, first after "watch"
//            {"event": "changes", "seq": 2, "changes": {...}}     what changed since seq - 1
//            {"event": "log", "lines": [{"seq": 42, "line": {...}}, ...]}   with "watch" {"logs": true}
//
// Only the agent's own user may connect (the socket's folder is 0700 and the
// peer's uid is checked). Agent/README.md describes every operation.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "CorvaneCore/Tunnel/TunnelServiceProtocol.hpp"

namespace corvane {

namespace AgentEndpoint {
// $XDG_RUNTIME_DIR/corvane/agent.sock ($CORVANE_AGENT_SOCKET when set).
std::filesystem::path socketPath();
// Beside the socket: held by the running agent for its whole life.
std::filesystem::path instanceLockPath(const std::filesystem::path& socket);
// Beside the socket: held by a client while it starts the agent.
std::filesystem::path startLockPath(const std::filesystem::path& socket);
inline constexpr std::size_t maxMessageBytes = TunnelServiceEndpoint::maxMessageBytes;
}  // namespace AgentEndpoint

// One request line as the agent reads it.
struct AgentRequest {
    boost::json::value id;  // echoed in the reply; null when the line has none
    std::string op;
    boost::json::object args;
};

// The request a line holds, or nothing when it is not one (then `id` gets the
// line's id, when it has one, for the refusal).
std::optional<AgentRequest> parseAgentRequest(std::string_view line, boost::json::value& id);

// A request the agent refused or an operation that failed, with the text for people.
class AgentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace corvane
