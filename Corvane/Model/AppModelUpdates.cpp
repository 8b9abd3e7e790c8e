// SPDX-License-Identifier: GPL-3.0-or-later
// The periodic check for a newer version of the app.
#include <boost/url/parse.hpp>

#include "Corvane/Model/AppModel.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"

namespace corvane {

void AppModel::startUpdateChecks() {
    // The checks ask the panel as the signed-in user: none while signed out (a refresh
    // that finds the session ended signs out before the caller gets here); signOut
    // stops them and the next sign-in starts them again.
    if (!selfUpdates_ || !signedIn || !panel) return;
    if (updateLoop && !updateLoop->isFinished()) return;
    updateLoop = spawn(updateCheckLoop());
}

Async<void> AppModel::updateCheckLoop() {
    for (;;) {
        co_await checkForUpdate();
        co_await sleepFor(timings_.updateCheckInterval);  // ends the loop when it is cancelled
    }
}

Async<bool> AppModel::checkForUpdate() {
    if (!panel || appVersion_.empty()) co_return false;
    const std::shared_ptr<PanelClient> client = panel;
    std::optional<VersionResponse> response;
    try {
        response = co_await client->version(UpdateChecker::platform());
    } catch (const std::exception&) {
        co_return false;  // a failed check changes nothing
    }
    const UpdateStatus status = UpdateChecker::evaluate(*response, appVersion_);
    if (auto url = boost::urls::parse_uri(response->downloadUrl); url && url->scheme() == "https") {
        updateURL = response->downloadUrl;
    }
    if (!update->has_value() || **update != status) updateDismissed = false;
    if (status.updateAvailable) {
        update = status;
    } else {
        update = std::nullopt;
    }
    co_return true;
}

}  // namespace corvane
