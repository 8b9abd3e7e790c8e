// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include "Corvane/Agent/AgentProtocol.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"

namespace corvane {

// A front end's connection to the user's agent, blocking, for programs that
// do one thing at a time (corvanectl, tests). Starts the agent when none runs.
class AgentClient {
public:
    struct Options {
        std::filesystem::path socket = AgentEndpoint::socketPath();
        // Start the agent when nothing answers (detached, under a lock, so that
        // two clients never start two agents).
        bool start = true;
        // The agent's program: $CORVANE_AGENT, else corvane-agent beside this program, else on PATH.
        std::optional<std::filesystem::path> program;
        std::chrono::milliseconds startWait{10'000};
        // A descriptor that becomes readable when the caller gives up (a window
        // that quits): a call, nextEvent() or a start waiting for the agent then
        // throws AgentError at once. -1: none.
        int interrupt = -1;
    };

    // Connects; throws AgentError saying why not.
    explicit AgentClient(Options options);
    AgentClient();

    // One operation; its result, or AgentError with the agent's text. Events
    // that arrive meanwhile are kept for nextEvent().
    boost::json::value call(const std::string& op, boost::json::object args = {},
                            std::chrono::milliseconds limit = std::chrono::seconds(120));
    // The next event after a "watch" call; nothing when none came within `limit`.
    // Throws AgentError when the agent went away.
    std::optional<boost::json::object> nextEvent(std::chrono::milliseconds limit);

    // The agent's program as a client would start it.
    static std::filesystem::path defaultProgram();

private:
    bool connectOnce();
    void startAgent();
    // Throws AgentError when the caller gave up.
    void checkInterrupt() const;
    // One line, or nothing by `deadline`; throws AgentError when the connection ended.
    std::optional<std::string> readLine(std::chrono::steady_clock::time_point deadline);

    Options options_;
    FileDescriptor fd_;
    std::string buffered_;
    std::deque<boost::json::object> events_;
    std::int64_t nextId_ = 1;
};

}  // namespace corvane
