// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl agent status|stop: the user's agent itself.
#include <chrono>
#include <ostream>
#include <thread>

#include "Corvane/Agent/AgentClient.hpp"
#include "Corvane/CommandLine/Commands.hpp"

namespace corvane::cli {

namespace {

int agentStatus(CommandContext& ctx) {
    if (!ctx.args.empty()) return ctx.usageError();
    try {
        AgentClient client({.start = false});
        const auto hello = client.call("hello").as_object();
        ctx.out << "The Corvane agent " << hello.at("version").as_string().c_str() << " runs (pid " << hello.at("pid").as_int64()
                << ") on " << AgentEndpoint::socketPath().string() << ".\n";
        return 0;
    } catch (const AgentError& e) {
        ctx.out << "The Corvane agent is not running.\n";
        return 3;
    }
}

int agentStop(CommandContext& ctx) {
    bool disconnect = false;
    if (!ctx.flags({{"--disconnect", &disconnect}})) return ctx.usageError();
    try {
        AgentClient client({.start = false});
        client.call("stopAgent", {{"disconnect", disconnect}});
    } catch (const AgentError&) {
        ctx.out << "The Corvane agent is not running.\n";
        return 0;
    }
    // It ends once its reply is out (after the disconnect, when asked): wait for that.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
        try {
            AgentClient({.start = false});
        } catch (const AgentError&) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ctx.err << "corvanectl: the Corvane agent did not stop within 15 seconds\n";
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ctx.out << (disconnect ? "Disconnected; the Corvane agent stopped.\n"
                           : "The Corvane agent stopped; the tunnel stays as it was.\n");
    return 0;
}

const CommandRegistration statusRegistration{"agent status", "agent status", &agentStatus};
const CommandRegistration stopRegistration{"agent stop", "agent stop [--disconnect]", &agentStop};

}  // namespace

}  // namespace corvane::cli
