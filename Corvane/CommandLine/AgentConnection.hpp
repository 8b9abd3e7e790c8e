// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <iosfwd>
#include <memory>
#include <string>

#include <boost/json/object.hpp>

#include "Corvane/Agent/AgentClient.hpp"
#include "Corvane/Model/AppSnapshot.hpp"

namespace corvane::cli {

// corvanectl's line to the user's agent, which holds the one model: every
// command reads its state and asks it to act. Starts the agent when none runs.
class AgentConnection {
public:
    AgentConnection();

    // One operation's result (an empty object when it has none); AgentError with
    // the agent's text when it failed.
    boost::json::object call(const std::string& op, boost::json::object args = {},
                             std::chrono::milliseconds limit = std::chrono::seconds(120));
    // An operation that waits (its "wait" argument) up to `wait` for its outcome.
    boost::json::object callWaiting(const std::string& op, boost::json::object args, std::chrono::seconds wait);
    // The model's state as of now.
    std::shared_ptr<const AppSnapshot> snapshot();
    // The state of a signed-in model; nothing (after printing why) when it is
    // signed out, or with `listLoaded` when it has no server list and the
    // panel could not give one. The list the agent holds is not asked for again.
    std::shared_ptr<const AppSnapshot> signedIn(std::ostream& err, bool listLoaded = false);

    AgentClient& client() { return client_; }

private:
    AgentClient client_;
};

bool tunnelIsUp(NEVPNStatus s);

// "Not signed in. Run corvanectl login." and 1 when the model is signed out.
inline constexpr const char* notSignedInText = "Not signed in. Run corvanectl login.";

}  // namespace corvane::cli
