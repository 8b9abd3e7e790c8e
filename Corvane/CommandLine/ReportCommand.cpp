// corvanectl report: a diagnostic report by hand, or a preview of exactly what would leave the machine.
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"

namespace corvane::cli {

namespace {

using namespace std::chrono_literals;

int report(CommandContext& ctx) {
    bool preview = false;
    if (!ctx.flags({{"--preview", &preview}})) return ctx.usageError();
    HeadlessModel headless({});
    AppModel& model = headless.model();
    headless.run(model.start());  // signed out, the report is kept for later
    headless.run(model.pollLogs());
    headless.awaitLiveValues(5s);

    if (preview) {
        // What the reporter would queue and send, after sanitising; nothing is written.
        ctx.out << model.diagnosticsPreview() << "\n";
        return 0;
    }
    model.diagnosticsNote = std::nullopt;
    auto sending = spawnTask(headless.io().get_executor(), model.sendDiagnostics("manual", std::nullopt));
    headless.runUntil([&] { return model.diagnosticsNote->has_value() || sending.isFinished(); }, 10min);
    const std::string note = model.diagnosticsNote->value_or("Could not save the report");
    sending.cancel();
    ctx.out << note << "\n";
    return note == "Could not save the report" ? 1 : 0;
}

const CommandRegistration registration{"report", "report [--preview]", &report};

}  // namespace

}  // namespace corvane::cli
