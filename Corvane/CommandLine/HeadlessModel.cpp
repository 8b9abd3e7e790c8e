#include "Corvane/CommandLine/HeadlessModel.hpp"

#include "Corvane/CommandLine/Commands.hpp"

#include <ostream>

namespace corvane::cli {

HeadlessModel::HeadlessModel(Options options) {
    AppModelParts parts = AppModelParts::system(io_.get_executor());
    if (!options.followNetwork) parts.pathMonitor.reset();
    parts.sleepMonitor.reset();
    // One command is one short run: the daily check is the app's; `corvanectl update` asks once.
    parts.selfUpdates = false;
    model_ = std::make_unique<AppModel>(io_.get_executor(), std::move(parts));
}

HeadlessModel::~HeadlessModel() {
    model_.reset();  // its tasks are not run again: the loop goes with this object
}

bool HeadlessModel::runUntil(const std::function<bool()>& done, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        io_.run_for(std::chrono::milliseconds(20));
        io_.restart();
    }
    return done();
}

bool HeadlessModel::startSignedIn(std::ostream& err, bool listLoaded) {
    run(model_->start());
    if (model_->signedIn && !(listLoaded && model_->errorMessage->has_value())) return true;
    err << terminalText(model_->errorMessage->value_or(notSignedInText)) << "\n";  // it may quote the panel
    return false;
}

void HeadlessModel::awaitLiveValues(std::chrono::steady_clock::duration limit) {
    AppModel& m = *model_;
    if (m.tunnel.status() != NEVPNStatus::connected) return;
    runUntil([&] { return m.tunnel.status() != NEVPNStatus::connected || (m.clash && m.activeOutbound->has_value()); },
             limit);
}

bool HeadlessModel::awaitConnected(std::chrono::steady_clock::duration limit) {
    AppModel& m = *model_;
    runUntil(
        [&] {
            const NEVPNStatus s = m.tunnel.status();
            return s == NEVPNStatus::connected ||
                   (!m.connectInFlight && s != NEVPNStatus::connecting && s != NEVPNStatus::reasserting);
        },
        limit);
    return m.tunnel.status() == NEVPNStatus::connected;
}

int HeadlessModel::finish(std::ostream& err, int success) {
    if (const auto& message = model_->errorMessage.get()) {
        err << terminalText(*message) << "\n";  // it may quote the panel
        return 1;
    }
    return success;
}

}  // namespace corvane::cli
