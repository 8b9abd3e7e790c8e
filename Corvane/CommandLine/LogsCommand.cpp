// corvanectl logs: the tunnel service's log, once or as it grows.
#include <csignal>
#include <iostream>

#include <boost/asio/signal_set.hpp>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"
#include "Corvane/CommandLine/LogLines.hpp"

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
    HeadlessModel headless({});
    AppModel& model = headless.model();
    headless.run(model.tunnel.load());

    auto poll = [&] {
        const std::int64_t before = model.lastLogSeq;
        headless.run(model.pollLogs());
        for (const auto& line : newLogLines(model.logLines, before, model.lastLogSeq)) {
            if (keeps(filter, line.line.level)) ctx.out << logLineText(line) << "\n";
        }
        ctx.out.flush();
    };
    poll();
    if (!follow) {
        if (model.logLines->empty()) ctx.err << "No log lines yet. They appear while the tunnel is running.\n";
        return 0;
    }
    bool interrupted = false;
    boost::asio::signal_set signals(headless.io(), SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) { interrupted = !ec; });
    while (!interrupted) {
        // As often as the app's own log view asks while a tunnel starts.
        headless.runUntil([&] { return interrupted; }, model.timings().logPollConnectingInterval);
        if (!interrupted) poll();
    }
    return 0;
}

const CommandRegistration registration{"logs", "logs [--follow] [--level all|warn|error]", &logs};

}  // namespace

}  // namespace corvane::cli
