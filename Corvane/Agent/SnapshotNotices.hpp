// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Corvane/Model/AppSnapshot.hpp"
#include "Corvane/Platform/DesktopNotifier.hpp"

namespace corvane {

// The events a user hears of by desktop notification, found in the model's
// snapshots: the connection lost or failed, a used-up metered exit's fallback,
// a required update, the session ended. The agent is the one place that sees
// every snapshot whether or not a window runs, so each event is told once.
class SnapshotNotices {
public:
    // The notices between the last snapshot and this one; none for the first,
    // which only sets what counts as a change.
    std::vector<DesktopNotice> next(const AppSnapshot& snapshot);

private:
    struct Seen {
        UiStatus status = UiStatus::disconnected;
        bool signedIn = false;
        std::optional<std::string> quotaNotice;
        bool updateRequired = false;
        std::optional<std::string> errorMessage;
    };
    std::optional<Seen> before_;
};

}  // namespace corvane
