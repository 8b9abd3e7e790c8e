// SPDX-License-Identifier: GPL-3.0-or-later
// corvanectl logs: the tunnel service's log, once or as it grows.
#include <csignal>
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/AgentConnection.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "Corvane/CommandLine/LogLines.hpp"
#include "Corvane/CommandLine/WatchLive.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;

int logs(CommandContext& ctx) {
    bool follow = false;
    LogLevelFilter filter = LogLevelFilter::all;
    for (std::size_t i = 0; i < ctx.args.size(); ++i) {
        if (ctx.args[i] == "--follow") {
            follow = true;
            continue;
        }
        if (ctx.args[i] == "--level" && i + 1 < ctx.args.size()) {
            if (auto f = logLevelFilter(ctx.args[++i])) {
                filter = *f;
                continue;
            }
        }
        return ctx.usageError();
    }
    auto print = [&](const std::vector<TunnelIPC::SequencedLine>& lines) {
        for (const auto& line : lines) {
            if (keeps(filter, line.line.level)) ctx.out << terminalText(logLineText(line)) << "\n";
        }
        ctx.out.flush();
    };
    AgentConnection agent;
    const auto lines = decodeValue<std::vector<TunnelIPC::SequencedLine>>(agent.call("logLines").at("lines"),
                                                                            CodingContext{"logLines", "lines"});
    print(lines);
    if (!follow) {
        if (lines.empty()) ctx.err << "No log lines yet. They appear while the tunnel is running.\n";
        return 0;
    }
    // New lines as the agent reads them from the tunnel service, until interrupted.
    return followAgent(ctx.err, {.logged = print, .shownLogSeq = lines.empty() ? 0 : lines.back().seq});
}

const CommandRegistration registration{"logs", "logs [--follow] [--level all|warn|error]", &logs};

}  // namespace

}  // namespace corvane::cli
